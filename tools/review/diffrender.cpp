#include "diffrender.h"

#include <QDateTime>
#include <QJsonArray>
#include <QSet>
#include <QStringList>

namespace {

QString timeText(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC).toString(Qt::ISODate);
}

QString buildTimeOnlyText(const DiffOutcome& outcome)
{
    return QStringLiteral("only the build time stored in the firmware archive differs: %1 -> %2\n")
        .arg(timeText(outcome.before.built), timeText(outcome.after.built));
}

QStringList changeLines(QVector<DiffChange> changes, const QString& prefix)
{
    QStringList lines;
    for (DiffChange& change : changes) {
        change.name.prepend(prefix);
        lines << change.describe();
    }
    return lines;
}

// What a stage now flashes comes first; the stages that flash what they did, in one line.
QStringList stageLines(const QVector<StageChange>& stages)
{
    QStringList lines;
    QStringList same;
    for (const StageChange& stage : stages) {
        if (!stage.change.isEmpty())
            lines << QStringLiteral("%1: %2").arg(stage.stage, stage.change);
        else
            same << QStringLiteral("%1 (%2)").arg(
                stage.stage, stage.after.isEmpty() ? QStringLiteral("no file") : stage.after);
    }
    if (!lines.isEmpty() && !same.isEmpty())
        lines << QStringLiteral("unchanged: ") + same.join(QStringLiteral(", "));
    return lines;
}

// Models that change alike are one line: a changed firmware changes every model at once.
QStringList verdictLines(QVector<VerdictChange> rest, int models)
{
    QStringList lines;
    while (!rest.isEmpty()) {
        const QString before = rest.first().first.verdict;
        const QString after = rest.first().second.verdict;
        QStringList alike;
        QSet<QString> messages[2];
        for (int i = 0; i < rest.size();) {
            if (rest.at(i).first.verdict != before || rest.at(i).second.verdict != after) {
                ++i;
                continue;
            }
            alike << rest.at(i).first.model;
            messages[0].insert(rest.at(i).first.refusal);
            messages[1].insert(rest.at(i).second.refusal);
            rest.removeAt(i);
        }
        lines << QStringLiteral("%1 -> %2: %3")
                     .arg(before, after,
                          alike.size() == models && alike.size() > 1
                              ? QStringLiteral("every model")
                              : alike.join(QStringLiteral(", ")));
        for (int side = 0; side < 2; ++side) {
            if (messages[side].size() == 1 && !messages[side].begin()->isEmpty())
                lines << QStringLiteral("  %1: %2")
                             .arg(side ? QStringLiteral("NEW") : QStringLiteral("OLD"),
                                  *messages[side].begin());
        }
    }
    return lines;
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

QJsonArray changesJson(const QVector<DiffChange>& changes)
{
    QJsonArray array;
    for (const DiffChange& change : changes)
        array.append(QJsonObject{{QStringLiteral("name"), change.name},
                                 {QStringLiteral("change"), change.kind()},
                                 {QStringLiteral("old"), attributesJson(change.before)},
                                 {QStringLiteral("new"), attributesJson(change.after)}});
    return array;
}

} // namespace

QString diffText(const DiffOutcome& outcome)
{
    if (outcome.likeness == DiffLikeness::BuildTimeOnly)
        return buildTimeOnlyText(outcome);
    enum Heading { Header, Items, Archive, Stages, Devices, Headings };
    const QString titles[Headings] = {QStringLiteral("header"), QStringLiteral("carried items"),
                                      QStringLiteral("firmware archive"),
                                      QStringLiteral("stages, the file each takes"),
                                      QStringLiteral("devices, the verdict where it differs")};
    QStringList lines[Headings];
    if (outcome.unpackedOnce())
        lines[Archive] << QStringLiteral("the device unpacks a firmware archive from %1 only")
                              .arg(outcome.before.unpacked ? outcome.before.path
                                                           : outcome.after.path);
    for (const DiffSection& section : outcome.sections) {
        switch (section.part) {
        case DiffPart::Header:
            for (const DiffChange& change : section.changes)
                lines[Header] << QStringLiteral("%1: %2 -> %3")
                                     .arg(change.name,
                                          DiffChange::shown(change.before.value(0).second),
                                          DiffChange::shown(change.after.value(0).second));
            break;
        case DiffPart::Items:
            lines[Items] << changeLines(section.changes, QString());
            break;
        case DiffPart::Files:
            lines[Archive] << changeLines(section.changes, QString());
            break;
        case DiffPart::Manifest:
            lines[Archive] << changeLines(section.changes, QStringLiteral("manifest entry "));
            break;
        case DiffPart::Listing:
            for (const DiffChange& change : section.changes) {
                if (!change.before.isEmpty())
                    lines[Archive]
                        << QStringLiteral("OLD: %1 %2")
                               .arg(change.name, change.before.value(0).second.toString());
                if (!change.after.isEmpty())
                    lines[Archive]
                        << QStringLiteral("NEW: %1 %2")
                               .arg(change.name, change.after.value(0).second.toString());
            }
            break;
        case DiffPart::Stages:
            lines[Stages] << stageLines(section.stages);
            break;
        case DiffPart::Devices:
            lines[Devices] << verdictLines(section.verdicts, outcome.models);
            break;
        }
    }
    if (outcome.likeness == DiffLikeness::UnusedBytesOnly)
        lines[Header] << QStringLiteral("the same contents: the packages differ only in bytes the "
                                        "device does not use (padding, reserved fields, how the "
                                        "payload is chunked)");
    if (outcome.timesDiffer && outcome.before.built != outcome.after.built)
        lines[Archive] << QStringLiteral("the times stored in it differ too: built %1 -> %2")
                              .arg(timeText(outcome.before.built), timeText(outcome.after.built));
    else if (outcome.timesDiffer)
        lines[Archive] << QStringLiteral("the times some members carry differ too; both built %1")
                              .arg(timeText(outcome.before.built));
    if (outcome.likeness == DiffLikeness::StoredOnly)
        lines[Archive] << QStringLiteral("the same members, modes and times: only how the archive "
                                         "stores them differs");
    if (outcome.unpackedOnce())
        lines[Stages] = QStringList{
            QStringLiteral("none runs for %1: the device unpacks no "
                           "firmware archive from it")
                .arg(outcome.before.unpacked ? outcome.after.path : outcome.before.path)};

    QString text;
    for (int heading = 0; heading < Headings; ++heading) {
        if (lines[heading].isEmpty())
            continue;
        text += titles[heading] + QStringLiteral(":\n");
        for (const QString& line : qAsConst(lines[heading]))
            text += QStringLiteral("  ") + line + QLatin1Char('\n');
    }
    return text;
}

QString diffStat(const DiffOutcome& outcome)
{
    if (outcome.likeness == DiffLikeness::BuildTimeOnly)
        return buildTimeOnlyText(outcome);
    QString header = QStringLiteral("same");
    QString items = QStringLiteral("same");
    QStringList archive;
    if (outcome.unpackedOnce())
        archive << QStringLiteral("unpacked from one side only");
    QStringList stages;
    QString devices = QStringLiteral("same");
    for (const DiffSection& section : outcome.sections) {
        switch (section.part) {
        case DiffPart::Header:
            if (!section.changes.isEmpty())
                header = QStringLiteral("%1 changed").arg(section.changes.size());
            break;
        case DiffPart::Items:
            items = counted(section.changes);
            break;
        case DiffPart::Files:
            if (!section.changes.isEmpty())
                archive << QStringLiteral("files %1").arg(counted(section.changes));
            break;
        case DiffPart::Manifest:
            if (!section.changes.isEmpty())
                archive << QStringLiteral("manifest entries %1").arg(counted(section.changes));
            break;
        case DiffPart::Listing:
            if (!section.changes.isEmpty())
                archive << QStringLiteral("%1 listing mismatches").arg(section.changes.size());
            break;
        case DiffPart::Stages:
            for (const StageChange& stage : section.stages) {
                if (!stage.change.isEmpty())
                    stages << stage.stage;
            }
            break;
        case DiffPart::Devices:
            if (!section.verdicts.isEmpty())
                devices = QStringLiteral("%1 change verdict")
                              .arg(outcome.archives
                                       ? QStringLiteral("the device's")
                                       : QStringLiteral("%1 models").arg(section.verdicts.size()));
            break;
        }
    }
    if (outcome.likeness == DiffLikeness::UnusedBytesOnly)
        header = QStringLiteral("unused bytes differ");
    if (outcome.timesDiffer)
        archive << QStringLiteral("times differ");
    if (outcome.likeness == DiffLikeness::StoredOnly)
        archive << QStringLiteral("stored differently");
    const QString stagesText = outcome.unpackedOnce() ? QStringLiteral("none run for one side")
                               : stages.isEmpty()
                                   ? QStringLiteral("same")
                                   : stages.join(QStringLiteral(", ")) + QStringLiteral(" changed");
    return (outcome.archives
                ? QString()
                : QStringLiteral("header: %1\ncarried items: %2\n").arg(header, items)) +
           QStringLiteral("firmware archive: %1\nstages: %2\ndevices: %3\n")
               .arg(archive.isEmpty() ? QStringLiteral("same") : archive.join(QStringLiteral("; ")),
                    stagesText, devices);
}

QJsonObject diffJson(const DiffOutcome& outcome)
{
    QJsonArray stages;
    for (const StageChange& stage : outcome.section(DiffPart::Stages).stages)
        stages.append(QJsonObject{
            {QStringLiteral("stage"), stage.stage},
            {QStringLiteral("keyword"), stage.keyword},
            {QStringLiteral("old"), stage.before.isEmpty() ? QJsonValue() : stage.before},
            {QStringLiteral("new"), stage.after.isEmpty() ? QJsonValue() : stage.after},
            {QStringLiteral("change"), stage.change}});
    QJsonArray models;
    for (const VerdictChange& pair : outcome.section(DiffPart::Devices).verdicts)
        models.append(QJsonObject{{QStringLiteral("model"), pair.first.model},
                                  {QStringLiteral("old"), pair.first.verdict},
                                  {QStringLiteral("new"), pair.second.verdict},
                                  {QStringLiteral("oldRefusal"), pair.first.refusal},
                                  {QStringLiteral("newRefusal"), pair.second.refusal}});
    const auto changes = [&outcome](DiffPart part) {
        return changesJson(outcome.section(part).changes);
    };
    const bool built = outcome.before.unpacked && outcome.after.unpacked;
    return {
        {QStringLiteral("old"), outcome.before.path},
        {QStringLiteral("new"), outcome.after.path},
        {QStringLiteral("identical"), outcome.identical()},
        {QStringLiteral("buildTimeOnly"), outcome.likeness == DiffLikeness::BuildTimeOnly},
        {QStringLiteral("unusedBytesOnly"), outcome.likeness == DiffLikeness::UnusedBytesOnly},
        {QStringLiteral("header"), changes(DiffPart::Header)},
        {QStringLiteral("items"), changes(DiffPart::Items)},
        {QStringLiteral("archive"),
         QJsonObject{{QStringLiteral("unpacked"),
                      QJsonObject{{QStringLiteral("old"), outcome.before.unpacked},
                                  {QStringLiteral("new"), outcome.after.unpacked}}},
                     {QStringLiteral("files"), changes(DiffPart::Files)},
                     {QStringLiteral("manifest"), changes(DiffPart::Manifest)},
                     {QStringLiteral("listing"), changes(DiffPart::Listing)},
                     {QStringLiteral("built"),
                      built ? QJsonValue(QJsonObject{
                                  {QStringLiteral("old"), timeText(outcome.before.built)},
                                  {QStringLiteral("new"), timeText(outcome.after.built)}})
                            : QJsonValue()},
                     {QStringLiteral("storedOnly"), outcome.likeness == DiffLikeness::StoredOnly}}},
        {QStringLiteral("stages"), stages},
        {QStringLiteral("models"), models}};
}
