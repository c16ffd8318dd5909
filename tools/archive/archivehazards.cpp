#include "archivehazards.h"

#include "upgradescanner.h"

#include <QDir>
#include <QSet>

namespace {

const int kShownAlone = 3;

QString stageLabel(const st_otaStage& stage)
{
    return QStringLiteral("%1 stage (keyword \"%2\")")
        .arg(QLatin1String(stage.name), QLatin1String(stage.keyword));
}

// Where a name lands below /tmp/upgrade/, as tar makes it relative: without the leading "/"
// and "../" it strips.
QString landing(QString name)
{
    for (;;) {
        if (name.startsWith(QLatin1Char('/')))
            name.remove(0, 1);
        else if (name.startsWith(QLatin1String("./")) || name.startsWith(QLatin1String("../")))
            name.remove(0, name.indexOf(QLatin1Char('/')) + 1);
        else
            return name;
    }
}

bool insideOtaFile(const QString& relative)
{
    const QString cleaned = QDir::cleanPath(relative);
    return cleaned.startsWith(QLatin1String(kOtaTop)) &&
           !cleaned.split(QLatin1Char('/')).contains(QLatin1String(".."));
}

// A link's target, as the device resolves it, below /tmp/upgrade/.
QString linkTarget(const TarMember& member, const QString& name)
{
    const QString& target = member.linkName;
    if (member.type == '1')
        return landing(target);
    if (target.startsWith(QLatin1Char('/'))) {
        const QString cleaned = QDir::cleanPath(target);
        return cleaned.startsWith(QLatin1String(kUpgradeDir))
                   ? cleaned.mid(int(qstrlen(kUpgradeDir)))
                   : QStringLiteral("../") + cleaned;
    }
    return QDir::cleanPath(name.section(QLatin1Char('/'), 0, -2) + QLatin1Char('/') + target);
}

} // namespace

QVector<StageHazard> stageHazards(const QStringList& paths, const QString& shownFrom)
{
    QList<st_otaFiles> files;
    for (const QString& path : paths)
        files.append({path, QString()});
    const QVector<st_otaStage>& stages = UpgradeScanner::g_otaStages();

    QVector<StageHazard> hazards;
    for (const st_otaStage& stage : stages) {
        const QString taken = UpgradeScanner::g_stageFile(files, stage);
        if (taken.isEmpty()) {
            hazards.append(
                {StageHazard::NoFile,
                 QStringLiteral("no file for the %1: it is skipped").arg(stageLabel(stage))});
            continue;
        }
        if (!stage.matches(UpgradeScanner::g_getFilenameFromPath(taken)))
            hazards.append({StageHazard::KeywordInDirectory,
                            QStringLiteral("%1 is taken by the %2: the keyword is only in a "
                                           "directory name")
                                .arg(shownPath(taken, shownFrom), stageLabel(stage))});
        for (int i = paths.indexOf(taken) + 1; i < paths.size(); ++i) {
            if (stage.matches(paths.at(i)))
                hazards.append({StageHazard::SecondFile,
                                QStringLiteral("%1 also matches the %2, which takes %3 instead")
                                    .arg(shownPath(paths.at(i), shownFrom), stageLabel(stage),
                                         shownPath(taken, shownFrom))});
        }
    }
    for (const QString& path : paths) {
        QStringList matched;
        for (const st_otaStage& stage : stages) {
            if (stage.matches(path))
                matched << stageLabel(stage);
        }
        if (matched.size() > 1)
            hazards.append({StageHazard::TwoStages,
                            QStringLiteral("%1 matches the keywords of %2 stages: the %3")
                                .arg(shownPath(path, shownFrom))
                                .arg(matched.size())
                                .arg(matched.join(QStringLiteral(", the ")))});
    }
    return hazards;
}

QString shownPath(const QString& path, const QString& shownFrom)
{
    return path.startsWith(shownFrom) ? path.mid(shownFrom.size()) : path;
}

MemberHazard memberHazard(const TarMember& member)
{
    const QString name = landing(member.name);
    if (member.name.startsWith(QLatin1Char('/')))
        return MemberHazard::Absolute;
    if (!insideOtaFile(name) && QDir::cleanPath(name) + QLatin1Char('/') != QLatin1String(kOtaTop))
        return MemberHazard::Outside;
    if (member.type == '3' || member.type == '4')
        return MemberHazard::Device;
    if (member.type == '6')
        return MemberHazard::Fifo;
    if (member.mode & 06000)
        return MemberHazard::SetId;
    if ((member.type == '1' || member.type == '2') && !insideOtaFile(linkTarget(member, name)))
        return MemberHazard::LinkLeaves;
    return MemberHazard::None;
}

QStringList groupedLines(const QStringList& names, const QString& singular, const QString& plural)
{
    QStringList lines;
    if (names.size() <= kShownAlone) {
        for (const QString& name : names)
            lines << QStringLiteral("%1 %2").arg(name, singular);
        return lines;
    }
    return {QStringLiteral("%1 members %2; the first of them: %3")
                .arg(names.size())
                .arg(plural, names.mid(0, kShownAlone).join(QStringLiteral(", ")))};
}

QStringList memberHazards(const QVector<TarMember>& members)
{
    static const struct {
        MemberHazard kind;
        const char* singular;
        const char* plural;
    } texts[] = {
        {MemberHazard::Absolute, "is an absolute path: tar unpacks it below /tmp/upgrade/",
         "are absolute paths: tar unpacks them below /tmp/upgrade/"},
        {MemberHazard::Outside, "lies outside ota_file/: the device leaves it in /tmp/upgrade/",
         "lie outside ota_file/: the device leaves them in /tmp/upgrade/"},
        {MemberHazard::Device, "is a device node", "are device nodes"},
        {MemberHazard::Fifo, "is a FIFO", "are FIFOs"},
        {MemberHazard::SetId, "is setuid or setgid", "are setuid or setgid"},
        {MemberHazard::LinkLeaves, "is a link that leads out of ota_file/",
         "are links that lead out of ota_file/"},
    };
    QVector<QStringList> names(int(sizeof texts / sizeof texts[0]));
    for (const TarMember& member : members) {
        const MemberHazard kind = memberHazard(member);
        for (int i = 0; kind != MemberHazard::None && i < names.size(); ++i) {
            if (texts[i].kind == kind && names[i].size() <= kShownAlone)
                names[i] << member.name;
            else if (texts[i].kind == kind)
                names[i] << QString();
        }
    }
    QStringList lines;
    for (int i = 0; i < names.size(); ++i)
        lines << groupedLines(names.at(i), QLatin1String(texts[i].singular),
                              QLatin1String(texts[i].plural));
    return lines;
}

QStringList unlistedFiles(const QList<st_otaFiles>& listed, const QVector<TarMember>& members)
{
    QSet<QString> names;
    for (const st_otaFiles& entry : listed)
        names.insert(QDir::cleanPath(shownPath(entry.path, QLatin1String(kUpgradeDir))));
    QStringList unlisted;
    for (const TarMember& member : members) {
        const QString name = QDir::cleanPath(member.name);
        if (member.isRegular() && name.startsWith(QLatin1String(kOtaTop)) &&
            name != QLatin1String(kOtaManifestMember) && !names.contains(name))
            unlisted << name;
    }
    unlisted.sort();
    unlisted.removeDuplicates();
    return unlisted;
}

QStringList manifestHazards(const QList<st_otaFiles>& listed, const QStringList& unlisted)
{
    QStringList hazards;
    for (const st_otaFiles& entry : listed) {
        if (UpgradeScanner::g_isSideFile(entry.path))
            hazards << QStringLiteral("%1 is listed in the manifest but never checked (a side "
                                      "file)")
                           .arg(shownPath(entry.path, QLatin1String(kUpgradeDir)));
    }
    return hazards + groupedLines(unlisted,
                                  QStringLiteral("is in the archive but not in the manifest: "
                                                 "never verified, never flashed"),
                                  QStringLiteral("are in the archive but not in the manifest: "
                                                 "never verified, never flashed"));
}
