#ifndef DIFFOUTCOME_H
#define DIFFOUTCOME_H

#include "upgradeplanner.h"

#include <QJsonValue>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

/// What one thing is like, attribute by attribute, in the order they are shown. An attribute
/// without a name stands for the thing's whole value.
using DiffAttributes = QVector<QPair<QString, QJsonValue>>;

/// One thing that differs: a header field, an item, a member, a manifest entry.
struct DiffChange {
    QString name;
    DiffAttributes before; ///< empty: not in OLD
    DiffAttributes after;  ///< empty: not in NEW

    /// "added", "removed" or "changed".
    QString kind() const;
    /// One line, for people.
    QString describe() const;
    /// True when the thing is in both and differs in none but these attributes.
    bool changedOnlyIn(const QStringList& names) const;
    /// The attribute of this name; undefined when there is none.
    static QJsonValue attribute(const DiffAttributes& attributes, const QString& name);
    /// An attribute's value, for people.
    static QString shown(const QJsonValue& value);
};

/// The file one stage takes in OLD and in NEW.
struct StageChange {
    QString stage;
    QString keyword;
    QString before; ///< relative to /tmp/upgrade/; empty when the stage takes none
    QString after;
    QString change; ///< how it changed, for people; empty when it did not
};

/// A model whose verdict differs: what it makes of OLD, then of NEW.
using VerdictChange = QPair<ModelVerdict, ModelVerdict>;

/// What a section of a comparison covers, in the order the sections are shown.
enum class DiffPart {
    Header,   ///< the package's type, model, information and trailing bytes
    Items,    ///< the items the package carries
    Files,    ///< the members of the firmware archive
    Manifest, ///< the entries of the archive's manifest
    Listing,  ///< files in the archive or the manifest but not both
    Stages,   ///< the file each stage takes
    Devices,  ///< the verdict each device model reaches
};

/// One part of the inputs and what differs in it.
struct DiffSection {
    DiffPart part = DiffPart::Header;
    QVector<DiffChange> changes;     ///< the things that differ, OLD's order first
    QVector<StageChange> stages;     ///< Stages only: every stage, changed or not
    QVector<VerdictChange> verdicts; ///< Devices only: the models whose verdict differs

    /// True when something in this part differs.
    bool differs() const;
};

/// How two inputs compare as a whole; decides the exit status.
enum class DiffLikeness {
    Identical,       ///< the same bytes
    Different,       ///< the device reads them otherwise
    BuildTimeOnly,   ///< only the build time stored in the firmware archive differs
    StoredOnly,      ///< the same members, modes and times: only how the archive stores them
    UnusedBytesOnly, ///< packages that differ only in bytes the device does not use
};

/// One input as the comparison saw it.
struct DiffInput {
    QString path;
    bool unpacked = false; ///< the device unpacked a firmware archive from it
    qint64 built = 0;      ///< the newest time a member of that archive carries
};

/// Everything a comparison found, worked out once; the renderers only walk it.
struct DiffOutcome {
    DiffInput before;
    DiffInput after;
    bool archives = false; ///< two firmware archives rather than two packages
    DiffLikeness likeness = DiffLikeness::Different;
    bool timesDiffer = false; ///< a member of both archives carries another time in NEW
    int models = 0;           ///< how many models were asked for their verdict on OLD
    QVector<DiffSection> sections;

    /// True when the inputs are the same bytes.
    bool identical() const { return likeness == DiffLikeness::Identical; }
    /// True when the device unpacked a firmware archive from one input only.
    bool unpackedOnce() const { return before.unpacked != after.unpacked; }
    /// The section of this part; an empty one when the comparison has none.
    DiffSection section(DiffPart part) const;
};

#endif // DIFFOUTCOME_H
