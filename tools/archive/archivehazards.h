#ifndef ARCHIVEHAZARDS_H
#define ARCHIVEHAZARDS_H

#include "tarstream.h"
#include "upgradescanner.h"

#include <QString>
#include <QStringList>
#include <QVector>

/// A stage of the full-system upgrade that would take a file not meant for it, or none.
struct StageHazard {
    enum Kind { KeywordInDirectory, TwoStages, SecondFile, NoFile };
    Kind kind;
    QString text;
};

/// path without the prefix shownFrom, when it has it.
QString shownPath(const QString& path, const QString& shownFrom);

/// The hazards of the stage table for unpacked files listed in this order (device paths), each
/// path shown without the prefix shownFrom.
QVector<StageHazard> stageHazards(const QStringList& paths, const QString& shownFrom);

/// What a firmware archive should not hold: members the device's tar writes where no stage
/// looks, or that it makes as what no firmware is. A firmware archive built here holds none.
enum class MemberHazard {
    None,
    Absolute,   ///< a name from the root, which tar unpacks below its directory all the same
    Outside,    ///< a member outside ota_file/, left behind in /tmp/upgrade/
    Device,     ///< a device node
    Fifo,       ///< a FIFO
    SetId,      ///< setuid or setgid
    LinkLeaves, ///< a link, hard or symbolic, whose target lies outside ota_file/
};

/// The hazard of one member of an archive unpacked into /tmp/upgrade/; None when it has none.
MemberHazard memberHazard(const TarMember& member);

/// One line for each kind of hazard among members, in the order of the kinds: a member's own
/// line when few have it, otherwise their count and the first of them.
QStringList memberHazards(const QVector<TarMember>& members);

/// The regular files under ota_file/ among members that the manifest's entries (device paths)
/// leave out, the manifest itself aside; sorted.
QStringList unlistedFiles(const QList<st_otaFiles>& listed, const QVector<TarMember>& members);

/// What the manifest's entries and the archive do not agree on: side files listed but never
/// checked, and the unlisted files, never verified nor flashed.
QStringList manifestHazards(const QList<st_otaFiles>& listed, const QStringList& unlisted);

/// Lines telling that each of names is what the text says, a line each when they are few, one
/// line with their count and the first of them otherwise; plural says it of more than one.
QStringList groupedLines(const QStringList& names, const QString& singular, const QString& plural);

#endif // ARCHIVEHAZARDS_H
