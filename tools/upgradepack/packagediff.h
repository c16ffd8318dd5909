#ifndef PACKAGEDIFF_H
#define PACKAGEDIFF_H

#include "upgradeplanner.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

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
    /// The change as a JSON object, for scripts.
    QJsonObject toJson() const;
};

/// The file one stage takes in OLD and in NEW.
struct StageChange {
    QString stage;
    QString keyword;
    QString before; ///< relative to /tmp/upgrade/; empty when the stage takes none
    QString after;
    QString change; ///< how it changed, for people; empty when it did not
};

/// What a release engineer needs to know of what changed between two upgrade packages, or
/// two firmware archives: header, carried items, the archive's files and manifest, the file
/// each stage takes, and the verdict each device model reaches. Each input is read once: its
/// tables, then the device program's own run on a simulated appliance, which unpacks and
/// digests it.
class PackageDiff {
public:
    /// A comparison of the inputs at oldPath and newPath.
    PackageDiff(const QString& oldPath, const QString& newPath);
    /// Releases both sides.
    ~PackageDiff();

    /// Reads and compares both inputs; false with error() when one cannot be compared. When
    /// quick, it stops at the first difference the tables show.
    bool run(bool quick);
    /// The free space in the device's /tmp before a package arrives, for both runs.
    void setTmpFree(qint64 bytes) { m_tmpFree = bytes; }
    /// True when nothing differs.
    bool identical() const;
    /// The differences, most important first, for people; empty when there are none.
    QString describe() const;
    /// One line per section, for people.
    QString stat() const;
    /// The differences as one JSON object, for scripts.
    QJsonObject toJson() const;
    /// Why run() failed, naming the file.
    QString error() const { return m_error; }

private:
    struct Side;
    bool fail(const QString& why);
    bool readTables(Side& side);
    bool runDevice(Side& side);
    void compareTables();
    void compareArchives();
    void compareStages();
    void compareVerdicts();
    bool onlyArchiveBytesDiffer() const;
    bool sameBytes(bool& same);

    std::unique_ptr<Side> m_before;
    std::unique_ptr<Side> m_after;
    bool m_archives = false;
    QVector<DiffChange> m_header;
    QVector<DiffChange> m_items;
    QVector<DiffChange> m_files;
    QVector<DiffChange> m_manifest;
    QVector<DiffChange> m_listing; ///< files in the archive or the manifest but not both
    bool m_timesDiffer = false;
    bool m_buildTimeOnly = false;
    bool m_storedOnly = false; ///< the archives differ only in how their members are stored
    bool m_unusedOnly = false; ///< the packages differ only in bytes the device does not use
    QVector<StageChange> m_stages;
    QVector<QPair<ModelVerdict, ModelVerdict>> m_models;
    QString m_error;
    qint64 m_tmpFree = UpgradePlanner::kDefaultTmpFree;
};

#endif // PACKAGEDIFF_H
