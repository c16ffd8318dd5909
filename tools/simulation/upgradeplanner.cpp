#include "upgradeplanner.h"

#include "commandline.h"
#include "packprocess.h"
#include "scratchspace.h"
#include "statustexts.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>

namespace {

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

QString UpgradePlan::verdict() const
{
    return messages.isEmpty() ? QString() : messages.last().left(4);
}

QString UpgradePlan::describe() const
{
    QString text = QStringLiteral("device: product model %1, scanner type %2\n")
                       .arg(productModel.isEmpty() ? QStringLiteral("(none)") : productModel,
                            scannerType.isEmpty() ? QStringLiteral("(none)") : scannerType);
    if (modelAssumed)
        text += QStringLiteral("  assumed to be of the package's own model; --product-model, "
                               "--scanner-type, --issue or --scanner-config plan for another\n");
    text += QStringLiteral("package on the device: %1\n").arg(devicePath);
    text += QStringLiteral("verdict: %1\n").arg(messages.value(messages.size() - 1));
    text += QStringLiteral("\nstatus messages after the start-up message:\n");
    for (const QString& message : messages)
        text += QStringLiteral("  %1\n").arg(message);
    text += QStringLiteral("\ntool calls and copies, in order:\n");
    for (const ToolCall& tool : tools) {
        QString line;
        if (tool.call.commandLine.isEmpty()) {
            QStringList words;
            for (const QString& word : QStringList(tool.call.program) + tool.call.arguments)
                words << UpgradeScanner::g_shellWord(word);
            line = words.join(QLatin1Char(' '));
        } else {
            line = QStringLiteral("shell: ") + tool.call.commandLine;
        }
        if (!tool.landedAt.isEmpty())
            line += QStringLiteral("  (copies to %1)").arg(tool.landedAt);
        if (tool.detached)
            line += QStringLiteral("  (detached)");
        text += QStringLiteral("  %1\n").arg(line);
    }
    if (tools.isEmpty())
        text += QStringLiteral("  none\n");
    // A run that stopped short can leave a whole archive's tree: people see where it starts.
    const int shown = 100;
    text += QStringLiteral("\nleft in /tmp/upgrade: %1\n")
                .arg(left.isEmpty()         ? QStringLiteral("nothing")
                     : left.size() <= shown ? left.join(QLatin1Char(' '))
                                            : QStringLiteral("%1 entries; the first of them: %2 "
                                                             "(--json lists them all)")
                                                  .arg(left.size())
                                                  .arg(left.mid(0, shown).join(QLatin1Char(' '))));
    text += QStringLiteral("peak space in /tmp: %1 bytes (%2 MiB)%3\n")
                .arg(tmpPeakBytes)
                .arg(QString::number(double(tmpPeakBytes) / (1 << 20), 'f', 1),
                     tmpPeakStage.isEmpty() ? QString() : QStringLiteral(", ") + tmpPeakStage);
    text += QStringLiteral("/tmp held to %1 bytes, %2\n")
                .arg(tmpBytes)
                .arg(tmpKeptBy == QLatin1String("tmpfs")
                         ? QStringLiteral("by a tmpfs of that size")
                         : QStringLiteral("by counting what the files there hold (this system "
                                          "refuses the tool a tmpfs of its own)"));
    text += QStringLiteral("least time the waits impose: %1 s until the last message\n")
                .arg(QString::number(double(waitMs) / 1000, 'f', 2));
    text +=
        QStringLiteral("hazards:%1\n").arg(hazards.isEmpty() ? QStringLiteral(" none") : QString());
    for (const QString& hazard : hazards)
        text += QStringLiteral("  %1\n").arg(hazard);
    // Names and texts come from the package: what a terminal would act on is shown escaped.
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = escapedText(line);
    return lines.join(QLatin1Char('\n'));
}

QJsonObject UpgradePlan::toJson() const
{
    QJsonArray toolArray;
    for (const ToolCall& tool : tools) {
        if (tool.call.commandLine.isEmpty())
            toolArray.append(
                QJsonArray::fromStringList(QStringList(tool.call.program) + tool.call.arguments));
        else
            toolArray.append(tool.call.commandLine);
    }
    return QJsonObject{{QStringLiteral("verdict"), verdict()},
                       {QStringLiteral("devicePath"), devicePath},
                       {QStringLiteral("productModel"), productModel},
                       {QStringLiteral("scannerType"), scannerType},
                       {QStringLiteral("modelAssumed"), modelAssumed},
                       {QStringLiteral("messages"), QJsonArray::fromStringList(messages)},
                       {QStringLiteral("tools"), toolArray},
                       {QStringLiteral("leftInTmpUpgrade"), QJsonArray::fromStringList(left)},
                       {QStringLiteral("tmpBytes"), double(tmpBytes)},
                       {QStringLiteral("tmpKeptBy"), tmpKeptBy},
                       {QStringLiteral("tmpPeakBytes"), double(tmpPeakBytes)},
                       {QStringLiteral("tmpPeakStage"), tmpPeakStage},
                       {QStringLiteral("tmpRunsOut"), tmpRunsOut},
                       {QStringLiteral("waitMs"), double(waitMs)},
                       {QStringLiteral("hazards"), QJsonArray::fromStringList(hazards)}};
}

bool FleetPlan::anyInstalls() const
{
    for (const ModelVerdict& row : models) {
        if (row.refusal.isEmpty())
            return true;
    }
    return false;
}

QString FleetPlan::describe() const
{
    const auto line = [](const QString& model, const QString& verdict, const QString& refusal) {
        const QString start = model.leftJustified(16) + QLatin1Char(' ') + verdict;
        return (refusal.isEmpty() ? start : start.leftJustified(24) + QLatin1Char(' ') + refusal) +
               QLatin1Char('\n');
    };
    QString text =
        line(QStringLiteral("model"), QStringLiteral("verdict"), QStringLiteral("refusal"));
    for (const ModelVerdict& row : models)
        text += line(row.model, row.verdict, row.refusal);
    return text;
}

QJsonObject FleetPlan::toJson() const
{
    QJsonArray rows;
    for (const ModelVerdict& row : models)
        rows.append(QJsonObject{{QStringLiteral("model"), row.model},
                                {QStringLiteral("verdict"), row.verdict},
                                {QStringLiteral("refusal"), row.refusal}});
    return QJsonObject{{QStringLiteral("models"), rows}};
}

bool UpgradePlanner::read(const PlanSetup& setup, PackageTables& tables)
{
    // The package is read here and again by the device: a FIFO or a device cannot be read twice,
    // and opening a FIFO would wait for a writer.
    const QString& path = setup.packagePath;
    QFile package(path);
    if (QFileInfo::exists(path) && !QFileInfo(path).isFile())
        return fail(QStringLiteral("%1 is not a regular file").arg(path));
    if (!package.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open %1: %2").arg(path, package.errorString()));
    package.close();
    // Whatever the package is, the device decides what it makes of it. The tables are all
    // this needs: the device run reads the carried bytes.
    tables = PackageTables();
    if (!setup.firmwareArchive)
        PackProcess::instance().readPackage(path, tables.items, tables.type, tables.information,
                                            PackSink::g_skip(), tables.layout);
    return true;
}

// The appliance as the main application leaves it: the package copied into place, the
// device's files as given, and the directories the upgrade expects.
bool UpgradePlanner::prepare(const PlanSetup& setup, const QString& packageModel,
                             SimulatedAppliance& appliance, QFile& package)
{
    const QString placed = appliance.path(setup.devicePath);
    QMap<QString, QByteArray> files = setup.files;
    if (!files.contains(QLatin1String(kIssueFile)))
        files[QLatin1String(kIssueFile)] = UpgradeScanner::g_issueText(packageModel);
    bool written = QDir().mkpath(appliance.path(QLatin1String(kUpgradeDir))) &&
                   QDir().mkpath(appliance.path(QStringLiteral("/usr/scanner/config"))) &&
                   QDir().mkpath(appliance.path(QStringLiteral("/run/media/mmcblk2p1"))) &&
                   QDir().mkpath(QFileInfo(placed).path());
    for (auto it = files.cbegin(); written && it != files.cend(); ++it)
        written = writeFile(appliance.path(it.key()), it.value());
    if (!written)
        return fail(QStringLiteral("cannot write in the scratch directory %1")
                        .arg(appliance.scratch().root()));
    // The main application copies the package in before it starts the device program: one
    // that does not fit never reaches it.
    const ScratchSpace& scratch = appliance.scratch();
    if (appliance.onTmp(placed) &&
        (package.size() + 4095) / 4096 * 4096 > scratch.tmpBytes() - scratch.tmpUsed())
        return fail(QStringLiteral("the package does not fit into the %1 bytes free in /tmp")
                        .arg(setup.tmpFree));
    QFile copy(placed);
    bool copied = copy.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    for (QByteArray piece; copied && !(piece = package.read(1 << 20)).isEmpty();)
        copied = copy.write(piece) == piece.size();
    if (!copied)
        return fail(QStringLiteral("cannot copy %1 into the scratch directory: %2")
                        .arg(setup.packagePath, copy.errorString()));
    for (auto it = setup.toolResults.cbegin(); it != setup.toolResults.cend(); ++it)
        appliance.setResult(it.key(), it.value());
    appliance.setDigestMembers(setup.digestMembers);
    return true;
}

bool UpgradePlanner::plan(const PlanSetup& setup, UpgradePlan& result)
{
    result = UpgradePlan();
    return read(setup, result.tables) && run(setup, result);
}

bool UpgradePlanner::run(const PlanSetup& setup, UpgradePlan& result)
{
    // A package placed outside /tmp lies, with what it carries, beside the appliance's files.
    QFile package(setup.packagePath);
    if (!package.open(QIODevice::ReadOnly))
        return fail(
            QStringLiteral("cannot open %1: %2").arg(setup.packagePath, package.errorString()));
    const qint64 packageBytes = package.size();
    const bool packageOnTmp = QDir::cleanPath(setup.devicePath).startsWith(QLatin1String("/tmp/"));
    ScratchSpace scratch;
    if (!scratch.create(setup.tmpFree, packageOnTmp ? 0 : 2 * packageBytes))
        return fail(scratch.errorString());
    SimulatedAppliance appliance(scratch);
    const QString packageModel = result.tables.model();
    if (!prepare(setup, packageModel, appliance, package))
        return false;

    UpgradeScanner scanner(appliance);
    if (setup.firmwareArchive)
        scanner.FirmwareUpgradeT0(setup.devicePath);
    else
        scanner.initSetMainOrder({setup.devicePath});
    if (!appliance.errorString().isEmpty())
        return fail(appliance.errorString());

    result.devicePath = setup.devicePath;
    result.productModel = scanner.productModel();
    result.scannerType = scanner.scannerType();
    result.messages = appliance.messages().mid(1);
    result.tools = appliance.calls();
    result.waitMs = appliance.lastMessageMs();
    result.tmpBytes = scratch.tmpBytes();
    result.tmpKeptBy = ScratchSpace::kindName(scratch.kind());
    result.tmpPeakBytes = appliance.tmpPeak();
    result.tmpPeakStage = appliance.tmpPeakStage();
    result.unpacked = appliance.unpacked();
    result.listed = scanner.otaFiles();
    result.extracted = appliance.extracted();
    result.unlisted = unlistedFiles(result.listed, result.unpacked);

    const QString workDir = appliance.path(QLatin1String(kUpgradeDir));
    QDirIterator it(workDir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        result.left << info.filePath().mid(workDir.size()) +
                           (info.isDir() && !info.isSymLink() ? QStringLiteral("/") : QString());
    }
    result.left.sort();

    bool byGroup = false;
    if (UpgradeScanner::g_modelRefusal(result.productModel, result.scannerType,
                                       UpgradeScanner::g_builtInModel(), packageModel, &byGroup)
            .isEmpty() &&
        byGroup &&
        std::any_of(result.messages.cbegin(), result.messages.cend(),
                    [](const QString& message) { return message.startsWith(kCodeAccepted); }))
        result.hazards << QStringLiteral("the package model %1 is not the device's own: only a "
                                         "compatibility group accepts it")
                              .arg(packageModel);
    if (!result.listed.isEmpty() || !result.unpacked.isEmpty()) {
        QStringList paths;
        for (const st_otaFiles& entry : qAsConst(result.listed))
            paths << entry.path;
        for (const StageHazard& hazard : stageHazards(paths, QLatin1String(kUpgradeDir)))
            result.hazards << hazard.text;
        result.hazards << manifestHazards(result.listed, result.unlisted);
        result.hazards << memberHazards(result.unpacked);
    }
    if (!appliance.tmpFullStage().isEmpty()) {
        result.tmpRunsOut = true;
        result.hazards << QStringLiteral("/tmp runs out %1: %2 bytes were free before the "
                                         "package arrived")
                              .arg(appliance.tmpFullStage())
                              .arg(setup.tmpFree);
    }
    return true;
}

bool UpgradePlanner::planFleet(const PlanSetup& setup, FleetPlan& result)
{
    result = FleetPlan();
    if (!read(setup, result.accepted.tables))
        return false;
    // Once a device has taken the package's model, nothing it does depends on its model: one
    // run of a device that accepts the package tells what every accepting model does, and the
    // device's own model check tells which models refuse it.
    QStringList models = UpgradeScanner::g_compatibleModels();
    if (!models.contains(UpgradeScanner::g_builtInModel()))
        models << UpgradeScanner::g_builtInModel();
    const QString builtIn = UpgradeScanner::g_builtInModel();
    const QString packageModel = result.accepted.tables.model();
    QString accepting = packageModel;
    if (accepting.contains(QLatin1Char('\n')) || accepting.contains(QChar(0))) {
        accepting.clear();
        for (const QString& model : qAsConst(models)) {
            if (UpgradeScanner::g_modelRefusal(model, QString(), builtIn, packageModel).isEmpty()) {
                accepting = model;
                break;
            }
        }
    }
    PlanSetup device = setup;
    device.files[QLatin1String(kIssueFile)] = UpgradeScanner::g_issueText(accepting);
    device.files.remove(QLatin1String(kScannerConfigFile));
    if (!run(device, result.accepted))
        return false;
    const QStringList& messages = result.accepted.messages;
    // The model accepted or refused: the device got as far as its model check.
    const bool modelChecked = std::any_of(messages.cbegin(), messages.cend(), g_isModelVerdict);
    for (const QString& model : qAsConst(models)) {
        const QString refusal =
            modelChecked ? UpgradeScanner::g_modelRefusal(model, QString(), builtIn, packageModel)
                         : QString();
        const QString last = refusal.isEmpty() ? messages.value(messages.size() - 1) : refusal;
        const QString verdict = last.left(4);
        result.models.append({model, verdict, g_isSuccess(verdict) ? QString() : last});
    }
    return true;
}
