// The verbs that run the device's own code on a simulated appliance: plan and diff.
#include "commandline.h"
#include "diffrender.h"
#include "frontend.h"
#include "packagediff.h"
#include "statustexts.h"
#include "upgradeplanner.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

namespace Cli {

namespace {

// The device reads only regular files; a FIFO would hang the read.
bool readOption(const QString& path, QByteArray& content, QString& why)
{
    QFile file(path);
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        why = QStringLiteral("cannot read %1: %2")
                  .arg(path, info.isDir() ? QStringLiteral("is a directory")
                                          : QStringLiteral("not a regular file"));
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    content = file.readAll();
    return true;
}

// TOOL=N, TOOL=crash or TOOL=missing, for a tool the appliance runs.
bool parseToolResult(const QString& text, QString& tool, ToolResult& result)
{
    tool = text.section(QLatin1Char('='), 0, 0);
    const QString value = text.section(QLatin1Char('='), 1);
    bool ok = false;
    result.code = value.toInt(&ok);
    result.kind = ToolResult::Exit;
    if (value == QLatin1String("crash"))
        result.kind = ToolResult::Crash;
    else if (value == QLatin1String("missing"))
        result.kind = ToolResult::Missing;
    else if (!ok || result.code < 0 || result.code > 255)
        return false;
    return text.contains(QLatin1Char('=')) && UpgradeScanner::g_applianceTools().contains(tool);
}

// The one size option of plan and diff, checked alike.
bool tmpFreeValue(const QCommandLineParser& parser, const QCommandLineOption& option,
                  const QString& verb, qint64& bytes, int& status)
{
    bytes = PlanSetup::kDefaultTmpFree;
    if (!parser.isSet(option))
        return true;
    bytes = parseSize(parser.value(option));
    if (bytes < 0)
        status = failed(verb,
                        QStringLiteral("--tmp-free %1 is not a size: %2")
                            .arg(parser.value(option), sizeForms()),
                        UsageError);
    else if (bytes < 4096)
        status = failed(verb,
                        QStringLiteral("--tmp-free %1 is less than one page of 4096 bytes, the "
                                       "least a tmpfs holds")
                            .arg(parser.value(option)),
                        UsageError);
    return status < 0;
}

QCommandLineOption tmpFreeOption()
{
    return QCommandLineOption(
        QStringLiteral("tmp-free"),
        QStringLiteral("Free space in the device's /tmp before the package and its parameter "
                       "files arrive: bytes, or a number with K, M, G, KiB, MiB or GiB "
                       "(1024-based), such as 512M or 1.5G (default: %1 MiB, what a tmpfs holds "
                       "by default on the smallest appliance, of 1 GiB); a write past it fails, "
                       "as on the device.")
            .arg(PlanSetup::kDefaultTmpFree >> 20),
        QStringLiteral("SIZE"));
}

} // namespace

int runPlan(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs the device program's own upgrade on a simulated appliance and tells what a "
        "scanner will do with the package: the verdict (its last status message), every "
        "status message after the start-up message, the tool calls and copies, what stays in "
        "/tmp/upgrade, the peak space in /tmp, the least time the waits impose, and hazards. "
        "Every tool succeeds unless --tool-result says otherwise. Exit status 0 when the "
        "verdict is UB99, 1 for a UC message."));
    const QCommandLineOption json = jsonOption();
    const QCommandLineOption productModel(QStringLiteral("product-model"),
                                          QStringLiteral("The device's product model."),
                                          QStringLiteral("M"));
    const QCommandLineOption scannerType(QStringLiteral("scanner-type"),
                                         QStringLiteral("The device's scanner type."),
                                         QStringLiteral("T"));
    const QCommandLineOption issue(QStringLiteral("issue"),
                                   QStringLiteral("A copy of the device's /etc/issue."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption scannerConfig(
        QStringLiteral("scanner-config"),
        QStringLiteral("A copy of the device's /usr/scanner/config/scannerConfig.json."),
        QStringLiteral("FILE"));
    const QCommandLineOption savePara(
        QStringLiteral("savepara"),
        QStringLiteral("The savepara.txt the device finds beside the package (default: none)."),
        QStringLiteral("FILE"));
    const QCommandLineOption tmpSavePara(
        QStringLiteral("tmp-savepara"),
        QStringLiteral("The /tmp/savepara.txt the device finds (default: none)."),
        QStringLiteral("FILE"));
    const QCommandLineOption devicePath(
        QStringLiteral("device-path"),
        QStringLiteral("The package's path on the device (default: /tmp/upgrade/<file name>)."),
        QStringLiteral("PATH"));
    const QCommandLineOption tmpFree = tmpFreeOption();
    const QCommandLineOption toolResult(
        QStringLiteral("tool-result"),
        QStringLiteral("What a tool does on the device: TOOL=N ends every run of it with exit "
                       "status N, TOOL=crash crashes it, TOOL=missing has it missing, such as "
                       "ota_update=3. A tool handed a file that is not there ends with 1."),
        QStringLiteral("TOOL=RESULT"));
    const QCommandLineOption everyModel(
        QStringLiteral("every-model"),
        QStringLiteral("One line per known model: the verdict a device of that product model "
                       "reaches, and its refusal."));
    parser.addOptions({json, productModel, scannerType, issue, scannerConfig, savePara, tmpSavePara,
                       devicePath, tmpFree, toolResult, everyModel});
    const QString verb = QStringLiteral("plan");
    const int early = parse(parser, verb, QStringLiteral("[options] PKG"), arguments,
                            packageArgument(), {}, {toolResult});
    if (early >= 0)
        return early;
    const bool identityGiven = parser.isSet(productModel) || parser.isSet(scannerType) ||
                               parser.isSet(issue) || parser.isSet(scannerConfig);
    if (parser.isSet(productModel) && parser.isSet(issue))
        return failed(verb,
                      QStringLiteral("--product-model and --issue both name the product "
                                     "model"),
                      UsageError);
    if (parser.isSet(scannerType) && parser.isSet(scannerConfig))
        return failed(verb,
                      QStringLiteral("--scanner-type and --scanner-config both name the "
                                     "scanner type"),
                      UsageError);
    if (parser.isSet(everyModel) && identityGiven)
        return failed(verb, QStringLiteral("--every-model plans for every model itself"),
                      UsageError);
    if (parser.value(productModel).contains(QLatin1Char('\n')))
        return failed(verb, QStringLiteral("--product-model cannot hold a line end"), UsageError);
    const QString path = parser.positionalArguments().constFirst();
    const QString onDevice = parser.isSet(devicePath)
                                 ? parser.value(devicePath)
                                 : QLatin1String(kUpgradeDir) + QFileInfo(path).fileName();
    if (!onDevice.startsWith(QLatin1Char('/')))
        return failed(verb, QStringLiteral("--device-path must be absolute"), UsageError);
    if (onDevice.endsWith(QLatin1Char('/')) ||
        QFileInfo(onDevice).fileName() == QLatin1String("..") ||
        QFileInfo(onDevice).fileName() == QLatin1String("."))
        return failed(verb, QStringLiteral("--device-path %1 names no file").arg(onDevice),
                      UsageError);
    if (parser.isSet(savePara) && UpgradeScanner::g_saveParaPath(onDevice) == onDevice)
        return failed(
            verb, QStringLiteral("--savepara would stand where the package does, %1").arg(onDevice),
            UsageError);
    qint64 freeBytes = 0;
    int status = -1;
    if (!tmpFreeValue(parser, tmpFree, verb, freeBytes, status))
        return status;

    const QString what = QStringLiteral("plan %1").arg(path);
    PlanSetup setup;
    setup.packagePath = path;
    setup.devicePath = onDevice;
    setup.tmpFree = freeBytes;
    for (const QString& text : parser.values(toolResult)) {
        QString tool;
        ToolResult result;
        if (!parseToolResult(text, tool, result))
            return failed(
                verb,
                QStringLiteral("--tool-result %1: say TOOL=N (0 to 255), TOOL=crash or "
                               "TOOL=missing, for a tool the appliance runs: %2")
                    .arg(text, UpgradeScanner::g_applianceTools().join(QStringLiteral(", "))),
                UsageError);
        setup.toolResults[tool] = result;
    }
    // The device's files as given; each is read here, where the reason it cannot be is known.
    const struct {
        const QCommandLineOption& option;
        QString devicePath;
    } files[] = {{savePara, setup.saveParaPath()},
                 {tmpSavePara, QLatin1String(kTmpSavePara)},
                 {issue, QLatin1String(kIssueFile)},
                 {scannerConfig, QLatin1String(kScannerConfigFile)}};
    for (const auto& file : files) {
        if (!parser.isSet(file.option))
            continue;
        QString why;
        QByteArray content;
        if (!readOption(parser.value(file.option), content, why))
            return failed(what, why);
        setup.files[file.devicePath] = content;
    }
    if (parser.isSet(productModel))
        setup.files[QLatin1String(kIssueFile)] =
            UpgradeScanner::g_issueText(parser.value(productModel));
    if (parser.isSet(scannerType))
        setup.files[QLatin1String(kScannerConfigFile)] =
            UpgradeScanner::g_scannerConfigText(parser.value(scannerType));

    UpgradePlanner planner;
    if (parser.isSet(everyModel)) {
        FleetPlan fleet;
        if (!planner.planFleet(setup, fleet))
            return failed(what, planner.errorString());
        if (parser.isSet(json))
            printJson(fleet.toJson());
        else
            writeOutput(fleet.describe().toUtf8());
        return fleet.anyInstalls() ? Success : JobFailed;
    }

    UpgradePlan plan;
    if (!planner.plan(setup, plan))
        return failed(what, planner.errorString());
    plan.modelAssumed = !identityGiven;
    // Status texts can hold characters beyond ASCII: they are printed as UTF-8 whatever the
    // locale, as the JSON is.
    if (parser.isSet(json))
        printJson(plan.toJson());
    else
        writeOutput(plan.describe().toUtf8());
    return g_isSuccess(plan.verdict()) && !plan.tmpRunsOut ? Success : JobFailed;
}

int runDiff(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Tells what changed between two upgrade packages, or two firmware archives, most "
        "important first: the package header (type, model, information), the carried items, "
        "the firmware archive's files, manifest entries and files the archive and the manifest "
        "do not both hold, the file each stage takes, and the verdict of each device model "
        "where it differs, from the device program's own run on a simulated appliance. Two "
        "inputs that differ only in the build time stored in the firmware archive are reported "
        "in one line. Exit status 0 when they are the same, 1 when they differ, 2 for trouble."));
    const QCommandLineOption json = jsonOption();
    const QCommandLineOption stat(QStringLiteral("stat"),
                                  QStringLiteral("One line per section, for a glance."));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Print nothing: the exit status says it."));
    const QCommandLineOption tmpFree = tmpFreeOption();
    parser.addOptions({json, stat, quiet, tmpFree});
    const QString verb = QStringLiteral("diff");
    const int early =
        parse(parser, verb, QStringLiteral("[--json | --stat | --quiet] [--tmp-free SIZE] OLD NEW"),
              arguments,
              {{QStringLiteral("OLD"), QStringLiteral("The earlier release.")},
               {QStringLiteral("NEW"), QStringLiteral("The later release.")}});
    if (early >= 0)
        return early;
    if (int(parser.isSet(json)) + int(parser.isSet(stat)) + int(parser.isSet(quiet)) > 1)
        return failed(verb, QStringLiteral("--json, --stat and --quiet exclude each other"),
                      UsageError);
    qint64 freeBytes = 0;
    int status = -1;
    if (!tmpFreeValue(parser, tmpFree, verb, freeBytes, status))
        return status;
    const QStringList paths = parser.positionalArguments();
    PackageDiff diff(paths.at(0), paths.at(1));
    diff.setTmpFree(freeBytes);
    if (!diff.run(parser.isSet(quiet)))
        return failed(verb, diff.errorString(), Trouble);
    // Status texts can hold characters beyond ASCII: UTF-8 whatever the locale, as plan's.
    if (parser.isSet(json))
        printJson(diffJson(diff.outcome()));
    else if (parser.isSet(stat))
        writeOutput(diffStat(diff.outcome()).toUtf8());
    else if (!parser.isSet(quiet))
        writeOutput(diffText(diff.outcome()).toUtf8());
    return diff.outcome().identical() ? Success : JobFailed;
}

} // namespace Cli
