#include "packagediff.h"

#include "statustexts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

namespace {

const int kTarBlock = 512;
const qint64 kComparePiece = 1 << 20;
const char kInArchiveOnly[] = "is in the archive but not in the manifest";
const char kInManifestOnly[] = "is in the manifest but not in the archive";
const QStringList kContent{QStringLiteral("size"), QStringLiteral("md5")};

/// Things by name, in the order of their input.
using Keyed = QVector<QPair<QString, DiffAttributes>>;

// What OLD has and NEW lacks or holds otherwise comes in OLD's order, then what NEW adds.
QVector<DiffChange> compareKeyed(const Keyed& before, const Keyed& after)
{
    QHash<QString, int> afterAt;
    for (int i = 0; i < after.size(); ++i)
        afterAt.insert(after.at(i).first, i);
    QSet<QString> seen;
    QVector<DiffChange> changes;
    for (const auto& entry : before) {
        seen.insert(entry.first);
        const int at = afterAt.value(entry.first, -1);
        if (at < 0)
            changes.append({entry.first, entry.second, {}});
        else if (after.at(at).second != entry.second)
            changes.append({entry.first, entry.second, after.at(at).second});
    }
    for (const auto& entry : after) {
        if (!seen.contains(entry.first))
            changes.append({entry.first, {}, entry.second});
    }
    return changes;
}

/// Adds or replaces a thing by name: of two members of one name, tar keeps the later.
void setKeyed(Keyed& keyed, QHash<QString, int>& at, const QString& name,
              const DiffAttributes& attributes)
{
    if (at.contains(name)) {
        keyed[at.value(name)].second = attributes;
        return;
    }
    at.insert(name, keyed.size());
    keyed.append({name, attributes});
}

QString memberType(char type)
{
    switch (type) {
    case '0':
    case '\0':
    case '7':
        return QStringLiteral("file");
    case '1':
        return QStringLiteral("hard link");
    case '2':
        return QStringLiteral("symbolic link");
    case '3':
    case '4':
        return QStringLiteral("device");
    case '5':
        return QStringLiteral("directory");
    case '6':
        return QStringLiteral("FIFO");
    default:
        return QStringLiteral("type %1").arg(QLatin1Char(type));
    }
}

QString manifestPath(const st_otaFiles& entry)
{
    return entry.path.mid(int(sizeof kOtaFileDir) - 1);
}

} // namespace

/// One input: what its tables say and what the device made of it.
struct PackageDiff::Side {
    QString path;
    bool archive = false;
    PlanSetup setup;
    PackageTables tables;
    QVector<TarMember> members;
    QList<st_otaFiles> listed;
    QStringList unlisted;
    QVector<ExtractedFile> extracted;
    QVector<ModelVerdict> verdicts;
    Keyed files; ///< the members by their cleaned names, as tar leaves them
    QHash<QString, int> fileAt;
    QHash<QString, qint64> times;

    bool unpacked() const { return !members.isEmpty() || !listed.isEmpty(); }
    /// What the member of this name holds; empty when there is none.
    DiffAttributes file(const QString& name) const
    {
        return files.value(fileAt.value(QDir::cleanPath(name), -1)).second;
    }
    void indexMembers()
    {
        for (const TarMember& member : qAsConst(members)) {
            DiffAttributes attributes{{QStringLiteral("type"), memberType(member.type)}};
            if (member.isRegular())
                attributes << qMakePair(QStringLiteral("size"), QJsonValue(double(member.size)))
                           << qMakePair(QStringLiteral("md5"), QJsonValue(member.md5));
            if (member.type == '1' || member.type == '2')
                attributes.append({QStringLiteral("link"), member.linkName});
            attributes.append(
                {QStringLiteral("mode"), QString::number(member.mode, 8).rightJustified(4, '0')});
            const QString name = QDir::cleanPath(member.name);
            setKeyed(files, fileAt, name, attributes);
            times.insert(name, member.mtime);
        }
    }
    /// The newest time a member carries: when the archive was built.
    qint64 built() const
    {
        qint64 newest = 0;
        for (const qint64 time : times)
            newest = qMax(newest, time);
        return newest;
    }
};

PackageDiff::PackageDiff(const QString& oldPath, const QString& newPath)
    : m_before(std::make_unique<Side>()), m_after(std::make_unique<Side>())
{
    m_before->path = oldPath;
    m_after->path = newPath;
}

PackageDiff::~PackageDiff() = default;

bool PackageDiff::readTables(Side& side)
{
    const QFileInfo info(side.path);
    if (info.exists() && !info.isFile())
        return fail(QStringLiteral("%1: not a regular file").arg(side.path));
    QFile file(side.path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open %1: %2").arg(side.path, file.errorString()));
    const QByteArray head = file.read(kTarBlock);
    file.close();
    side.archive = head.startsWith("BZh") || head.mid(257, 5) == "ustar";
    if (!side.archive && !head.startsWith(kPackageMagic))
        return fail(
            QStringLiteral("%1: neither an upgrade package nor a firmware archive").arg(side.path));

    side.setup.packagePath = side.path;
    side.setup.devicePath = QLatin1String(kUpgradeDir) + info.fileName();
    side.setup.firmwareArchive = side.archive;
    side.setup.digestMembers = true;
    side.setup.tmpFree = m_tmpFree;
    UpgradePlanner planner;
    if (!planner.read(side.setup, side.tables))
        return fail(planner.errorString());
    // A package cut short says nothing true of what its maker meant to ship.
    const st_packRead& layout = side.tables.layout;
    if (layout.tablesTruncated)
        return fail(QStringLiteral("%1: truncated: it ends inside its information or item table")
                        .arg(side.path));
    for (int i = 0; i < layout.payloads.size(); ++i) {
        const st_packPayload& payload = layout.payloads.at(i);
        if (payload.truncated)
            return fail(QStringLiteral("%1: truncated: item %2 (%3) %4")
                            .arg(side.path)
                            .arg(i + 1)
                            .arg(side.tables.items.value(i).name(),
                                 payload.size.isEmpty() ? QStringLiteral("ends before its size")
                                                        : QStringLiteral("holds %1 of %2 bytes")
                                                              .arg(payload.bytes)
                                                              .arg(payload.size)));
    }
    return true;
}

bool PackageDiff::runDevice(Side& side)
{
    UpgradePlanner planner;
    UpgradePlan plan;
    if (side.archive) {
        if (!planner.plan(side.setup, plan))
            return fail(QStringLiteral("%1: %2").arg(side.path, planner.errorString()));
        const QString last = plan.messages.value(plan.messages.size() - 1);
        side.verdicts = {{QStringLiteral("any model"), plan.verdict(),
                          g_isSuccess(plan.verdict()) ? QString() : last}};
    } else {
        FleetPlan fleet;
        if (!planner.planFleet(side.setup, fleet))
            return fail(QStringLiteral("%1: %2").arg(side.path, planner.errorString()));
        side.verdicts = fleet.models;
        plan = fleet.accepted;
    }
    side.members = plan.unpacked;
    side.listed = plan.listed;
    side.unlisted = plan.unlisted;
    side.extracted = plan.extracted;
    side.indexMembers();
    return true;
}

bool PackageDiff::run(bool quick)
{
    if (!readTables(*m_before) || !readTables(*m_after))
        return false;
    if (m_before->archive != m_after->archive)
        return fail(QStringLiteral("%1 is %2 and %3 %4: compare two of a kind")
                        .arg(m_before->path,
                             m_before->archive ? QStringLiteral("a firmware archive")
                                               : QStringLiteral("an upgrade package"),
                             m_after->path,
                             m_after->archive ? QStringLiteral("a firmware archive")
                                              : QStringLiteral("an upgrade package")));
    m_outcome.archives = m_before->archive;
    m_outcome.before.path = m_before->path;
    m_outcome.after.path = m_after->path;
    if (quick) {
        m_outcome.sections = compareTables();
        for (const DiffSection& section : qAsConst(m_outcome.sections)) {
            if (section.differs())
                return true;
        }
    }
    // One input at a time: only one unpacked archive is ever on disk.
    if (!runDevice(*m_before) || !runDevice(*m_after))
        return false;
    m_outcome.before.unpacked = m_before->unpacked();
    m_outcome.after.unpacked = m_after->unpacked();
    m_outcome.before.built = m_before->built();
    m_outcome.after.built = m_after->built();
    m_outcome.timesDiffer = timesDiffer();
    m_outcome.models = m_before->verdicts.size();
    m_outcome.sections = compareTables() + compareArchives();
    const QVector<StageChange> stages = compareStages();
    if (!stages.isEmpty())
        m_outcome.sections.append({DiffPart::Stages, {}, stages, {}});
    m_outcome.sections.append({DiffPart::Devices, {}, {}, compareVerdicts()});
    return judge();
}

bool PackageDiff::judge()
{
    QVector<DiffChange>* items = nullptr;
    bool restSame = true;
    for (DiffSection& section : m_outcome.sections) {
        if (section.part == DiffPart::Items)
            items = &section.changes;
        else
            restSame = restSame && !section.differs();
    }
    const bool noItemChanges = !items || items->isEmpty();
    // The archive's bytes alone differ when every member the device reads is the same: a
    // package then differs in the one item that carries it, by its size and md5.
    const bool archiveBytesOnly =
        restSame && m_outcome.before.unpacked && m_outcome.after.unpacked &&
        (m_outcome.archives
             ? noItemChanges
             : items && items->size() == 1 && items->first().changedOnlyIn(kContent));
    if (archiveBytesOnly && m_outcome.timesDiffer) {
        m_outcome.likeness = DiffLikeness::BuildTimeOnly;
        // The item carrying the archive differs by those times alone: it tells nothing more.
        if (items)
            items->clear();
    } else if (archiveBytesOnly && !m_outcome.archives) {
        m_outcome.likeness = DiffLikeness::StoredOnly;
    } else if (restSame && noItemChanges && !m_outcome.unpackedOnce() && !m_outcome.timesDiffer) {
        // What the device reads is the same: only the bytes themselves can still tell the
        // inputs apart, and "identical" must mean the same bytes.
        bool same = true;
        if (!sameBytes(same))
            return false;
        m_outcome.likeness = same                 ? DiffLikeness::Identical
                             : m_outcome.archives ? DiffLikeness::StoredOnly
                                                  : DiffLikeness::UnusedBytesOnly;
    } else {
        m_outcome.likeness = DiffLikeness::Different;
    }
    return true;
}

bool PackageDiff::sameBytes(bool& same)
{
    QFile files[] = {QFile(m_before->path), QFile(m_after->path)};
    for (QFile& file : files) {
        if (!file.open(QIODevice::ReadOnly))
            return fail(
                QStringLiteral("cannot open %1: %2").arg(file.fileName(), file.errorString()));
    }
    same = files[0].size() == files[1].size();
    while (same && !files[0].atEnd()) {
        const QByteArray piece = files[0].read(kComparePiece);
        same = !piece.isEmpty() && files[1].read(piece.size()) == piece;
    }
    return true;
}

QVector<DiffSection> PackageDiff::compareTables() const
{
    if (m_outcome.archives)
        return {};
    const auto header = [](const Side& side) {
        const PackageTables& tables = side.tables;
        Keyed fields{{QStringLiteral("type"), {{QString(), tables.type}}}};
        for (int i = 0; i < 5; ++i)
            fields.append(
                {i == 0 ? QStringLiteral("model") : QStringLiteral("information %1").arg(i + 1),
                 {{QString(), tables.information.value(i)}}});
        fields.append(
            {QStringLiteral("trailing bytes"), {{QString(), double(tables.layout.trailingBytes)}}});
        return fields;
    };
    const auto items = [](const Side& side) {
        const PackageTables& tables = side.tables;
        Keyed keyed;
        QHash<QString, int> at;
        for (int i = 0; i < tables.items.size(); ++i) {
            const PackItemInfo& item = tables.items.at(i);
            DiffAttributes attributes{
                {QStringLiteral("target"), item.target()},
                {QStringLiteral("size"), double(tables.layout.payloads.value(i).bytes)},
                {QStringLiteral("md5"), item.md5()}};
            // The device extracts the items in table order.
            const QString content = side.extracted.value(i).md5;
            if (!content.isEmpty() && content != item.md5())
                attributes.append({QStringLiteral("content md5"), content});
            setKeyed(keyed, at, item.name(), attributes);
        }
        return keyed;
    };
    return {{DiffPart::Header, compareKeyed(header(*m_before), header(*m_after)), {}, {}},
            {DiffPart::Items, compareKeyed(items(*m_before), items(*m_after)), {}, {}}};
}

bool PackageDiff::timesDiffer() const
{
    if (!m_before->unpacked() || !m_after->unpacked())
        return false;
    for (auto it = m_before->times.cbegin(); it != m_before->times.cend(); ++it) {
        if (m_after->times.value(it.key(), it.value()) != it.value())
            return true;
    }
    return false;
}

QVector<DiffSection> PackageDiff::compareArchives() const
{
    if (!m_before->unpacked() || !m_after->unpacked())
        return {};
    QVector<DiffChange> files = compareKeyed(m_before->files, m_after->files);

    const auto manifest = [](const Side& side) {
        Keyed keyed;
        QHash<QString, int> at;
        for (const st_otaFiles& entry : side.listed) {
            const QString path = manifestPath(entry);
            // A path listed twice is checked twice: its digests stand side by side.
            const QJsonValue listed = DiffChange::attribute(keyed.value(at.value(path, -1)).second,
                                                            QStringLiteral("md5"));
            setKeyed(keyed, at, path,
                     {{QStringLiteral("md5"), listed.isString()
                                                  ? listed.toString() + QLatin1Char(' ') + entry.md5
                                                  : entry.md5}});
        }
        return keyed;
    };
    const QVector<DiffChange> manifestChanges =
        compareKeyed(manifest(*m_before), manifest(*m_after));
    // The entries tell how the manifest changed better than its digest does.
    for (int i = 0; !manifestChanges.isEmpty() && i < files.size(); ++i) {
        if (files.at(i).name == QLatin1String(kOtaManifestMember) &&
            files.at(i).changedOnlyIn(kContent))
            files.remove(i);
    }

    const auto listing = [](const Side& side) {
        Keyed keyed;
        for (const QString& name : side.unlisted)
            keyed.append({name, {{QString(), QLatin1String(kInArchiveOnly)}}});
        for (const st_otaFiles& entry : side.listed) {
            const QString name = QLatin1String(kOtaTop) + manifestPath(entry);
            if (side.file(name).isEmpty())
                keyed.append(
                    {QDir::cleanPath(name), {{QString(), QLatin1String(kInManifestOnly)}}});
        }
        return keyed;
    };
    return {{DiffPart::Files, files, {}, {}},
            {DiffPart::Manifest, manifestChanges, {}, {}},
            {DiffPart::Listing, compareKeyed(listing(*m_before), listing(*m_after)), {}, {}}};
}

QVector<StageChange> PackageDiff::compareStages() const
{
    QVector<StageChange> stages;
    if (!m_before->unpacked() && !m_after->unpacked())
        return stages;
    const auto taken = [](const Side& side, const st_otaStage& stage) {
        return UpgradeScanner::g_stageFile(side.listed, stage).mid(int(sizeof kUpgradeDir) - 1);
    };
    for (const st_otaStage& stage : UpgradeScanner::g_otaStages()) {
        StageChange row{QLatin1String(stage.name), QLatin1String(stage.keyword),
                        taken(*m_before, stage), taken(*m_after, stage), QString()};
        if (row.before == row.after && !row.before.isEmpty()) {
            const DiffChange content{row.before, m_before->file(row.before),
                                     m_after->file(row.after)};
            if (content.before != content.after)
                row.change = content.describe();
        } else if (row.before.isEmpty() && !row.after.isEmpty()) {
            row.change = QStringLiteral("now takes %1").arg(row.after);
        } else if (row.after.isEmpty() && !row.before.isEmpty()) {
            row.change =
                QStringLiteral("now takes no file and is skipped (took %1)").arg(row.before);
        } else if (row.before != row.after) {
            row.change = QStringLiteral("now takes %1 instead of %2").arg(row.after, row.before);
        }
        stages.append(row);
    }
    return stages;
}

QVector<VerdictChange> PackageDiff::compareVerdicts() const
{
    QVector<VerdictChange> changes;
    const QVector<ModelVerdict>& before = m_before->verdicts;
    const QVector<ModelVerdict>& after = m_after->verdicts;
    for (int i = 0; i < qMin(before.size(), after.size()); ++i) {
        if (before.at(i).verdict != after.at(i).verdict)
            changes.append({before.at(i), after.at(i)});
    }
    return changes;
}
