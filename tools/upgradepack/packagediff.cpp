#include "packagediff.h"

#include "statustexts.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QSet>

namespace {

const int kTarBlock = 512;
const qint64 kComparePiece = 1 << 20;
const char kInArchiveOnly[] = "is in the archive but not in the manifest";
const char kInManifestOnly[] = "is in the manifest but not in the archive";
const QStringList kContent{QStringLiteral("size"), QStringLiteral("md5")};

/// Things by name, in the order of their input.
using Keyed = QVector<QPair<QString, DiffAttributes>>;

QJsonValue attribute(const DiffAttributes& attributes, const QString& name)
{
    for (const auto& pair : attributes) {
        if (pair.first == name)
            return pair.second;
    }
    return QJsonValue(QJsonValue::Undefined);
}

QString shown(const QJsonValue& value)
{
    if (value.isDouble())
        return QString::number(qint64(value.toDouble()));
    if (value.isUndefined())
        return QStringLiteral("(none)");
    return value.toString().isEmpty() ? QStringLiteral("(empty)") : value.toString();
}

/// The attributes' names, OLD's first, then those NEW adds.
QStringList attributeNames(const DiffAttributes& before, const DiffAttributes& after)
{
    QStringList names;
    for (const auto& pair : before + after) {
        if (!names.contains(pair.first))
            names << pair.first;
    }
    return names;
}

QJsonValue attributesJson(const DiffAttributes& attributes)
{
    if (attributes.isEmpty())
        return QJsonValue(QJsonValue::Null);
    if (attributes.size() == 1 && attributes.first().first.isEmpty())
        return attributes.first().second;
    QJsonObject object;
    for (const auto& pair : attributes)
        object.insert(pair.first, pair.second);
    return object;
}

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

QString timeText(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC).toString(Qt::ISODate);
}

/// "2 added, 1 changed", or "same".
QString counted(const QVector<DiffChange>& changes)
{
    QStringList parts;
    for (const char* kind : {"added", "removed", "changed"}) {
        int n = 0;
        for (const DiffChange& change : changes)
            n += change.kind() == QLatin1String(kind);
        if (n > 0)
            parts << QStringLiteral("%1 %2").arg(n).arg(QLatin1String(kind));
    }
    return parts.isEmpty() ? QStringLiteral("same") : parts.join(QStringLiteral(", "));
}

QJsonArray changesJson(const QVector<DiffChange>& changes)
{
    QJsonArray array;
    for (const DiffChange& change : changes)
        array.append(change.toJson());
    return array;
}

/// True when the change is of a thing in both, in none but these attributes.
bool changedOnlyIn(const DiffChange& change, const QStringList& names)
{
    if (change.before.isEmpty() || change.after.isEmpty())
        return false;
    for (const QString& name : attributeNames(change.before, change.after)) {
        if (!names.contains(name) &&
            attribute(change.before, name) != attribute(change.after, name))
            return false;
    }
    return true;
}

QString manifestPath(const st_otaFiles& entry)
{
    return entry.path.mid(int(sizeof kOtaFileDir) - 1);
}

} // namespace

QString DiffChange::kind() const
{
    return before.isEmpty()  ? QStringLiteral("added")
           : after.isEmpty() ? QStringLiteral("removed")
                             : QStringLiteral("changed");
}

QString DiffChange::describe() const
{
    QStringList parts;
    const auto part = [](const QString& label, const QString& text) {
        return label.isEmpty() ? text : label + QLatin1Char(' ') + text;
    };
    if (before.isEmpty()) {
        for (const auto& pair : after)
            parts << part(pair.first, shown(pair.second));
    } else if (!after.isEmpty()) {
        for (const QString& label : attributeNames(before, after)) {
            const QJsonValue was = attribute(before, label);
            const QJsonValue is = attribute(after, label);
            if (was != is)
                parts << part(label, shown(was) + QStringLiteral(" -> ") + shown(is));
        }
    }
    return kind() + QLatin1Char(' ') + name +
           (parts.isEmpty() ? QString() : QStringLiteral(": ") + parts.join(QStringLiteral(", ")));
}

QJsonObject DiffChange::toJson() const
{
    return {{QStringLiteral("name"), name},
            {QStringLiteral("change"), kind()},
            {QStringLiteral("old"), attributesJson(before)},
            {QStringLiteral("new"), attributesJson(after)}};
}

/// One input: what its tables say and what the device made of it.
struct PackageDiff::Side {
    QString path;
    bool archive = false;
    std::unique_ptr<UpgradePlanner> planner;
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

bool PackageDiff::fail(const QString& why)
{
    m_error = why;
    return false;
}

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

    side.planner =
        std::make_unique<UpgradePlanner>(side.path, QLatin1String(kUpgradeDir) + info.fileName());
    side.planner->setFirmwareArchive(side.archive);
    side.planner->setDigestMembers(true);
    side.planner->setTmpFree(m_tmpFree);
    if (!side.planner->read())
        return fail(side.planner->error());
    // A package cut short says nothing true of what its maker meant to ship.
    const st_packRead& layout = side.planner->layout();
    if (layout.tablesTruncated)
        return fail(QStringLiteral("%1: truncated: it ends inside its information or item table")
                        .arg(side.path));
    for (int i = 0; i < layout.payloads.size(); ++i) {
        const st_packPayload& payload = layout.payloads.at(i);
        if (payload.truncated)
            return fail(QStringLiteral("%1: truncated: item %2 (%3) %4")
                            .arg(side.path)
                            .arg(i + 1)
                            .arg(side.planner->items().value(i).name(),
                                 payload.size.isEmpty() ? QStringLiteral("ends before its size")
                                                        : QStringLiteral("holds %1 of %2 bytes")
                                                              .arg(payload.bytes)
                                                              .arg(payload.size)));
    }
    return true;
}

bool PackageDiff::runDevice(Side& side)
{
    UpgradePlanner& planner = *side.planner;
    if (side.archive) {
        UpgradePlan plan;
        if (!planner.plan(plan))
            return fail(QStringLiteral("%1: %2").arg(side.path, planner.error()));
        const QString last = plan.messages.value(plan.messages.size() - 1);
        side.verdicts = {{QStringLiteral("any model"), plan.verdict(),
                          g_isSuccess(plan.verdict()) ? QString() : last}};
    } else {
        FleetPlan fleet;
        if (!planner.planFleet(fleet))
            return fail(QStringLiteral("%1: %2").arg(side.path, planner.error()));
        side.verdicts = fleet.models;
    }
    side.members = planner.unpacked();
    side.listed = planner.listed();
    side.unlisted = planner.unlisted();
    side.extracted = planner.extracted();
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
    m_archives = m_before->archive;
    compareTables();
    if (quick && (!m_header.isEmpty() || !m_items.isEmpty()))
        return true;
    // One input at a time: only one unpacked archive is ever on disk.
    if (!runDevice(*m_before) || !runDevice(*m_after))
        return false;
    compareTables();
    compareArchives();
    compareStages();
    compareVerdicts();
    if (onlyArchiveBytesDiffer()) {
        m_buildTimeOnly = m_timesDiffer;
        m_storedOnly = !m_timesDiffer && !m_archives;
        if (m_buildTimeOnly)
            m_items.clear();
    }
    // What the device reads is the same: only the bytes themselves can still tell the inputs
    // apart, and "identical" must mean the same bytes.
    bool same = true;
    if (identical() && !sameBytes(same))
        return false;
    (m_archives ? m_storedOnly : m_unusedOnly) = !same;
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

void PackageDiff::compareTables()
{
    if (m_archives)
        return;
    const auto header = [](const Side& side) {
        const UpgradePlanner& planner = *side.planner;
        Keyed fields{{QStringLiteral("type"), {{QString(), planner.type()}}}};
        for (int i = 0; i < 5; ++i)
            fields.append(
                {i == 0 ? QStringLiteral("model") : QStringLiteral("information %1").arg(i + 1),
                 {{QString(), planner.information().value(i)}}});
        fields.append({QStringLiteral("trailing bytes"),
                       {{QString(), double(planner.layout().trailingBytes)}}});
        return fields;
    };
    m_header = compareKeyed(header(*m_before), header(*m_after));

    const auto items = [](const Side& side) {
        const UpgradePlanner& planner = *side.planner;
        Keyed keyed;
        QHash<QString, int> at;
        for (int i = 0; i < planner.items().size(); ++i) {
            const PackItemInfo& item = planner.items().at(i);
            DiffAttributes attributes{
                {QStringLiteral("target"), item.target()},
                {QStringLiteral("size"), double(planner.layout().payloads.value(i).bytes)},
                {QStringLiteral("md5"), item.md5()}};
            // The device extracts the items in table order.
            const QString content = side.extracted.value(i).md5;
            if (!content.isEmpty() && content != item.md5())
                attributes.append({QStringLiteral("content md5"), content});
            setKeyed(keyed, at, item.name(), attributes);
        }
        return keyed;
    };
    m_items = compareKeyed(items(*m_before), items(*m_after));
}

void PackageDiff::compareArchives()
{
    if (!m_before->unpacked() || !m_after->unpacked())
        return;
    m_files = compareKeyed(m_before->files, m_after->files);
    for (auto it = m_before->times.cbegin(); it != m_before->times.cend(); ++it)
        m_timesDiffer = m_timesDiffer || m_after->times.value(it.key(), it.value()) != it.value();

    const auto manifest = [](const Side& side) {
        Keyed keyed;
        QHash<QString, int> at;
        for (const st_otaFiles& entry : side.listed) {
            const QString path = manifestPath(entry);
            // A path listed twice is checked twice: its digests stand side by side.
            const QJsonValue listed =
                attribute(keyed.value(at.value(path, -1)).second, QStringLiteral("md5"));
            setKeyed(keyed, at, path,
                     {{QStringLiteral("md5"), listed.isString()
                                                  ? listed.toString() + QLatin1Char(' ') + entry.md5
                                                  : entry.md5}});
        }
        return keyed;
    };
    m_manifest = compareKeyed(manifest(*m_before), manifest(*m_after));
    // The entries tell how the manifest changed better than its digest does.
    for (int i = 0; !m_manifest.isEmpty() && i < m_files.size(); ++i) {
        if (m_files.at(i).name == QLatin1String(kOtaManifestMember) &&
            changedOnlyIn(m_files.at(i), kContent))
            m_files.remove(i);
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
    m_listing = compareKeyed(listing(*m_before), listing(*m_after));
}

void PackageDiff::compareStages()
{
    if (!m_before->unpacked() && !m_after->unpacked())
        return;
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
        m_stages.append(row);
    }
}

void PackageDiff::compareVerdicts()
{
    const QVector<ModelVerdict>& before = m_before->verdicts;
    const QVector<ModelVerdict>& after = m_after->verdicts;
    for (int i = 0; i < qMin(before.size(), after.size()); ++i) {
        if (before.at(i).verdict != after.at(i).verdict)
            m_models.append({before.at(i), after.at(i)});
    }
}

bool PackageDiff::onlyArchiveBytesDiffer() const
{
    if (!m_header.isEmpty() || !m_files.isEmpty() || !m_manifest.isEmpty() ||
        !m_listing.isEmpty() || !m_models.isEmpty() || !m_before->unpacked() ||
        !m_after->unpacked())
        return false;
    for (const StageChange& stage : m_stages) {
        if (!stage.change.isEmpty())
            return false;
    }
    if (m_archives)
        return m_items.isEmpty();
    return m_items.size() == 1 && changedOnlyIn(m_items.first(), kContent);
}

bool PackageDiff::identical() const
{
    for (const StageChange& stage : m_stages) {
        if (!stage.change.isEmpty())
            return false;
    }
    return m_header.isEmpty() && m_items.isEmpty() && m_files.isEmpty() && m_manifest.isEmpty() &&
           m_listing.isEmpty() && m_models.isEmpty() && !m_timesDiffer && !m_storedOnly &&
           !m_unusedOnly && m_before->unpacked() == m_after->unpacked();
}

QString PackageDiff::describe() const
{
    if (m_buildTimeOnly)
        return QStringLiteral("only the build time stored in the firmware archive differs: %1 -> "
                              "%2\n")
            .arg(timeText(m_before->built()), timeText(m_after->built()));
    QString text;
    const auto section = [&text](const QString& title, const QStringList& lines) {
        if (lines.isEmpty())
            return;
        text += title + QStringLiteral(":\n");
        for (const QString& line : lines)
            text += QStringLiteral("  ") + line + QLatin1Char('\n');
    };
    const auto lines = [](QVector<DiffChange> changes, const QString& prefix) {
        QStringList out;
        for (DiffChange& change : changes) {
            change.name.prepend(prefix);
            out << change.describe();
        }
        return out;
    };

    QStringList header;
    for (const DiffChange& change : m_header)
        header << QStringLiteral("%1: %2 -> %3")
                      .arg(change.name, shown(change.before.value(0).second),
                           shown(change.after.value(0).second));
    if (m_unusedOnly)
        header << QStringLiteral("the same contents: the packages differ only in bytes the device "
                                 "does not use (padding, reserved fields, how the payload is "
                                 "chunked)");
    section(QStringLiteral("header"), header);
    section(QStringLiteral("carried items"), lines(m_items, QString()));

    QStringList archive;
    if (m_before->unpacked() != m_after->unpacked())
        archive << QStringLiteral("the device unpacks a firmware archive from %1 only")
                       .arg(m_before->unpacked() ? m_before->path : m_after->path);
    archive << lines(m_files, QString()) << lines(m_manifest, QStringLiteral("manifest entry "));
    for (const DiffChange& change : m_listing) {
        if (!change.before.isEmpty())
            archive << QStringLiteral("OLD: %1 %2")
                           .arg(change.name, change.before.value(0).second.toString());
        if (!change.after.isEmpty())
            archive << QStringLiteral("NEW: %1 %2")
                           .arg(change.name, change.after.value(0).second.toString());
    }
    if (m_timesDiffer && m_before->built() != m_after->built())
        archive << QStringLiteral("the times stored in it differ too: built %1 -> %2")
                       .arg(timeText(m_before->built()), timeText(m_after->built()));
    else if (m_timesDiffer)
        archive << QStringLiteral("the times some members carry differ too; both built %1")
                       .arg(timeText(m_before->built()));
    if (m_storedOnly)
        archive << QStringLiteral("the same members, modes and times: only how the archive stores "
                                  "them differs");
    section(QStringLiteral("firmware archive"), archive);

    // What a stage now flashes comes first; the stages that flash what they did, in one line.
    QStringList stages;
    QStringList same;
    for (const StageChange& stage : m_stages) {
        if (!stage.change.isEmpty())
            stages << QStringLiteral("%1: %2").arg(stage.stage, stage.change);
        else
            same << QStringLiteral("%1 (%2)").arg(
                stage.stage, stage.after.isEmpty() ? QStringLiteral("no file") : stage.after);
    }
    if (!stages.isEmpty() && !same.isEmpty())
        stages << QStringLiteral("unchanged: ") + same.join(QStringLiteral(", "));
    if (m_before->unpacked() != m_after->unpacked())
        stages = QStringList{QStringLiteral("none runs for %1: the device unpacks no firmware "
                                            "archive from it")
                                 .arg(m_before->unpacked() ? m_after->path : m_before->path)};
    section(QStringLiteral("stages, the file each takes"), stages);

    // Models that change alike are one line: a changed firmware changes every model at once.
    QStringList devices;
    QVector<QPair<ModelVerdict, ModelVerdict>> rest = m_models;
    while (!rest.isEmpty()) {
        const QString before = rest.first().first.verdict;
        const QString after = rest.first().second.verdict;
        QStringList models;
        QSet<QString> messages[2];
        for (int i = 0; i < rest.size();) {
            if (rest.at(i).first.verdict != before || rest.at(i).second.verdict != after) {
                ++i;
                continue;
            }
            models << rest.at(i).first.model;
            messages[0].insert(rest.at(i).first.refusal);
            messages[1].insert(rest.at(i).second.refusal);
            rest.removeAt(i);
        }
        devices << QStringLiteral("%1 -> %2: %3")
                       .arg(before, after,
                            models.size() == m_before->verdicts.size() && models.size() > 1
                                ? QStringLiteral("every model")
                                : models.join(QStringLiteral(", ")));
        for (int side = 0; side < 2; ++side) {
            if (messages[side].size() == 1 && !messages[side].begin()->isEmpty())
                devices << QStringLiteral("  %1: %2")
                               .arg(side ? QStringLiteral("NEW") : QStringLiteral("OLD"),
                                    *messages[side].begin());
        }
    }
    section(QStringLiteral("devices, the verdict where it differs"), devices);
    return text;
}

QString PackageDiff::stat() const
{
    if (m_buildTimeOnly)
        return describe();
    QString text;
    if (!m_archives)
        text += QStringLiteral("header: %1\ncarried items: %2\n")
                    .arg(m_unusedOnly         ? QStringLiteral("unused bytes differ")
                         : m_header.isEmpty() ? QStringLiteral("same")
                                              : QStringLiteral("%1 changed").arg(m_header.size()),
                         counted(m_items));
    QStringList archive;
    if (m_before->unpacked() != m_after->unpacked())
        archive << QStringLiteral("unpacked from one side only");
    if (!m_files.isEmpty())
        archive << QStringLiteral("files %1").arg(counted(m_files));
    if (!m_manifest.isEmpty())
        archive << QStringLiteral("manifest entries %1").arg(counted(m_manifest));
    if (!m_listing.isEmpty())
        archive << QStringLiteral("%1 listing mismatches").arg(m_listing.size());
    if (m_timesDiffer)
        archive << QStringLiteral("times differ");
    if (m_storedOnly)
        archive << QStringLiteral("stored differently");
    QStringList stages;
    for (const StageChange& stage : m_stages) {
        if (!stage.change.isEmpty())
            stages << stage.stage;
    }
    const QString stagesText =
        m_before->unpacked() != m_after->unpacked() ? QStringLiteral("none run for one side")
        : stages.isEmpty()                          ? QStringLiteral("same")
                           : stages.join(QStringLiteral(", ")) + QStringLiteral(" changed");
    return text +
           QStringLiteral("firmware archive: %1\nstages: %2\ndevices: %3\n")
               .arg(archive.isEmpty() ? QStringLiteral("same") : archive.join(QStringLiteral("; ")),
                    stagesText,
                    m_models.isEmpty()
                        ? QStringLiteral("same")
                        : QStringLiteral("%1 change verdict")
                              .arg(m_archives ? QStringLiteral("the device's")
                                              : QStringLiteral("%1 models").arg(m_models.size())));
}

QJsonObject PackageDiff::toJson() const
{
    QJsonArray stages;
    for (const StageChange& stage : m_stages)
        stages.append(QJsonObject{
            {QStringLiteral("stage"), stage.stage},
            {QStringLiteral("keyword"), stage.keyword},
            {QStringLiteral("old"), stage.before.isEmpty() ? QJsonValue() : stage.before},
            {QStringLiteral("new"), stage.after.isEmpty() ? QJsonValue() : stage.after},
            {QStringLiteral("change"), stage.change}});
    QJsonArray models;
    for (const auto& pair : m_models)
        models.append(QJsonObject{{QStringLiteral("model"), pair.first.model},
                                  {QStringLiteral("old"), pair.first.verdict},
                                  {QStringLiteral("new"), pair.second.verdict},
                                  {QStringLiteral("oldRefusal"), pair.first.refusal},
                                  {QStringLiteral("newRefusal"), pair.second.refusal}});
    const bool built = m_before->unpacked() && m_after->unpacked();
    return {{QStringLiteral("old"), m_before->path},
            {QStringLiteral("new"), m_after->path},
            {QStringLiteral("identical"), identical()},
            {QStringLiteral("buildTimeOnly"), m_buildTimeOnly},
            {QStringLiteral("unusedBytesOnly"), m_unusedOnly},
            {QStringLiteral("header"), changesJson(m_header)},
            {QStringLiteral("items"), changesJson(m_items)},
            {QStringLiteral("archive"),
             QJsonObject{{QStringLiteral("unpacked"),
                          QJsonObject{{QStringLiteral("old"), m_before->unpacked()},
                                      {QStringLiteral("new"), m_after->unpacked()}}},
                         {QStringLiteral("files"), changesJson(m_files)},
                         {QStringLiteral("manifest"), changesJson(m_manifest)},
                         {QStringLiteral("listing"), changesJson(m_listing)},
                         {QStringLiteral("built"),
                          built ? QJsonValue(QJsonObject{
                                      {QStringLiteral("old"), timeText(m_before->built())},
                                      {QStringLiteral("new"), timeText(m_after->built())}})
                                : QJsonValue()},
                         {QStringLiteral("storedOnly"), m_storedOnly}}},
            {QStringLiteral("stages"), stages},
            {QStringLiteral("models"), models}};
}
