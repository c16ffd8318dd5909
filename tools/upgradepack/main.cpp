// upgrade-pack: the release engineers' tool for upgrade packages. This file only parses the
// command line and reports; the work is done by the classes beside it.
#include "commandline.h"
#include "diffrender.h"
#include "directories.h"
#include "firmwarebuilder.h"
#include "packagechecker.h"
#include "packagecreator.h"
#include "packagediff.h"
#include "packiteminfo.h"
#include "progressmeter.h"
#include "signalcleanup.h"
#include "statustexts.h"
#include "upgradeplanner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTextCodec>

#include <cstdio>

namespace {

enum ExitCode { Success = 0, JobFailed = 1, UsageError = 2, Trouble = 2 };

void print(std::FILE* stream, const QString& text)
{
    if (stream == stdout)
        writeOutput(text.toLocal8Bit());
    else
        std::fputs(text.toLocal8Bit().constData(), stream);
}

/// Tells the user on stderr, in the tool's form "upgrade-pack: <what>: <text>".
void report(const QString& what, const QString& text)
{
    print(stderr, QStringLiteral("upgrade-pack: %1: %2\n").arg(what, text));
}

int failed(const QString& what, const QString& why, int code = JobFailed)
{
    report(what, why);
    return code;
}

/// A positional argument of a verb; a name ending in "..." stands for one or more.
struct Argument {
    QString name;
    QString description;
};

/// An option's name as it is written on the command line: "-o", "--output".
QString dashed(const QString& name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

/// Parses a verb's arguments and checks that none is missing, empty where required, given twice
/// unless repeatable, or too many; returns -1 to go on, or the exit code to end with.
int parse(QCommandLineParser& parser, const QString& verb, const QString& usage,
          const QStringList& arguments, const QVector<Argument>& positionals,
          const QList<QCommandLineOption>& required = {},
          const QList<QCommandLineOption>& repeatable = {})
{
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    parser.addOption(help);
    for (const Argument& argument : positionals)
        parser.addPositionalArgument(argument.name, argument.description);
    if (!parser.parse(arguments))
        return failed(verb, commandLineError(parser), UsageError);
    if (parser.isSet(help)) {
        // Qt's own usage line names the program path and not the verb.
        QString text = parser.helpText();
        text = QStringLiteral("Usage: upgrade-pack %1 %2").arg(verb, usage) +
               text.mid(text.indexOf(QLatin1Char('\n')));
        print(stdout, text);
        return Success;
    }
    // The parser would silently take the last of two values, and "-o a -o b" is a slip.
    QStringList many;
    for (const QCommandLineOption& option : repeatable)
        many << option.names();
    for (const QString& name : parser.optionNames()) {
        if (!many.contains(name) && parser.values(name).size() > 1)
            return failed(
                verb,
                QStringLiteral("%1 given more than once: it takes one value").arg(dashed(name)),
                UsageError);
    }
    QStringList missing;
    for (const QCommandLineOption& option : required) {
        if (!parser.isSet(option))
            missing << dashed(option.names().constLast());
        else if (parser.value(option).isEmpty())
            return failed(
                verb, QStringLiteral("%1 cannot be empty").arg(dashed(option.names().constLast())),
                UsageError);
    }
    const QStringList given = parser.positionalArguments();
    for (int i = given.size(); i < positionals.size(); ++i)
        missing << QString(positionals.at(i).name).remove(QLatin1String("..."));
    if (!missing.isEmpty())
        return failed(verb,
                      QStringLiteral("missing %1; see upgrade-pack %2 --help")
                          .arg(missing.join(QStringLiteral(", ")), verb),
                      UsageError);
    const bool open =
        !positionals.isEmpty() && positionals.constLast().name.endsWith(QLatin1String("..."));
    if (!open && given.size() > positionals.size())
        return failed(verb,
                      QStringLiteral("unexpected argument %1").arg(given.at(positionals.size())),
                      UsageError);
    return -1;
}

/// The option of the verbs that can print their result for scripts.
QCommandLineOption jsonOption()
{
    return QCommandLineOption(QStringLiteral("json"), QStringLiteral("Print JSON, for scripts."));
}

void printJson(const QJsonObject& object)
{
    writeOutput(QJsonDocument(object).toJson());
}

/// The one positional argument of the verbs that read a package.
QVector<Argument> packageArgument()
{
    return {{QStringLiteral("PKG"), QStringLiteral("The package.")}};
}

// The types in the device's own words: which one it carries out and what it refuses the others
// with, consecutive types of one code named together.
QString typeHelp()
{
    const QStringList types = UpgradeTypeValMap.values();
    QString run;
    QVector<QPair<QStringList, QString>> refusals;
    for (const QString& type : types) {
        const QString code = g_typeVerdictCode(g_upgradeTypeVerdict(type));
        if (code.isEmpty())
            run = type;
        else if (!refusals.isEmpty() && refusals.constLast().second == code)
            refusals.last().first << type;
        else
            refusals.append({{type}, code});
    }
    QStringList refused;
    for (const auto& refusal : qAsConst(refusals))
        refused << QStringLiteral("%1 (%2)").arg(refusal.first.join(QStringLiteral(" and ")),
                                                 refusal.second);
    const QString last = refused.takeLast();
    return QStringLiteral("Upgrade type, %1 to %2. The device carries out %3 only, with one "
                          "firmware archive; it refuses %4 and %5.")
        .arg(types.constFirst(), types.constLast(), run, refused.join(QStringLiteral(", ")), last);
}

int runCreate(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes an upgrade package carrying FILE... in the order given."));
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The package to write."), QStringLiteral("OUT"));
    const QCommandLineOption type(QStringLiteral("type"), typeHelp(), QStringLiteral("T"));
    const QCommandLineOption model(QStringLiteral("model"),
                                   QStringLiteral("Device model the package is built for."),
                                   QStringLiteral("MODEL"));
    const QCommandLineOption info(QStringLiteral("info"),
                                  QStringLiteral("Further information entry, up to four times."),
                                  QStringLiteral("TEXT"));
    const QCommandLineOption target(QStringLiteral("target"),
                                    QStringLiteral("Installation target of every file."),
                                    QStringLiteral("DIR"));
    parser.addOptions({output, type, model, info, target});
    const QString verb = QStringLiteral("create");
    const int early =
        parse(parser, verb, QStringLiteral("-o OUT --type T --model MODEL [options] FILE..."),
              arguments, {{QStringLiteral("FILE..."), QStringLiteral("Files to carry.")}},
              {output, type, model}, {info});
    if (early >= 0)
        return early;
    if (!UpgradeTypeValMap.values().contains(parser.value(type)))
        return failed(
            verb,
            QStringLiteral("unknown type %1; one of: %2")
                .arg(parser.value(type), UpgradeTypeValMap.values().join(QStringLiteral(", "))),
            UsageError);
    if (parser.values(info).size() > 4)
        return failed(verb, QStringLiteral("at most four --info entries"), UsageError);

    PackageRequest request;
    request.output = parser.value(output);
    request.type = parser.value(type);
    request.model = parser.value(model);
    request.information = parser.values(info);
    request.target = parser.value(target);
    request.files = parser.positionalArguments();
    PackageCreator creator(request);
    ProgressMeter meter(QStringLiteral("upgrade-pack: create"), true);
    if (!creator.run(meter.callback()))
        return failed(QStringLiteral("create %1").arg(request.output), creator.errorString());
    return Success;
}

int runInfo(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows a package's type, information entries and items, and whether each carried file "
        "matches its md5."));
    const QCommandLineOption json = jsonOption();
    parser.addOption(json);
    const int early = parse(parser, QStringLiteral("info"), QStringLiteral("[--json] PKG"),
                            arguments, packageArgument());
    if (early >= 0)
        return early;
    const QString path = parser.positionalArguments().constFirst();
    PackageChecker inspector(path);
    ProgressMeter meter(QStringLiteral("upgrade-pack: info"), !parser.isSet(json));
    if (!inspector.inspect(meter.callback()))
        return failed(QStringLiteral("info %1").arg(path), inspector.errorString());
    meter.finish();
    if (parser.isSet(json))
        printJson(inspector.toJson());
    else
        print(stdout, inspector.describe());
    return Success;
}

int runExtract(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes the files a package carries into DIR under their file names, as the device "
        "writes them beside the package. Nothing is written unless the device reads the "
        "package as its table says and every file is whole and matches its md5."));
    const QCommandLineOption dir(
        {QStringLiteral("C"), QStringLiteral("directory")},
        QStringLiteral("Directory to write into (default: the current one)."),
        QStringLiteral("DIR"), QStringLiteral("."));
    const QCommandLineOption force(
        QStringLiteral("force"),
        QStringLiteral("Write the files without checking their md5, and replace files that are "
                       "not writable (a truncated package is still refused)."));
    parser.addOptions({dir, force});
    const int early = parse(parser, QStringLiteral("extract"),
                            QStringLiteral("PKG [-C DIR] [--force]"), arguments, packageArgument());
    if (early >= 0)
        return early;
    const QString path = parser.positionalArguments().constFirst();
    const QString what = QStringLiteral("extract %1").arg(path);
    // Made here, where the reason it cannot be made is still known.
    RemovedOnSignal removal;
    SignalsHeld held;
    QStringList made;
    const QString problem = makeDirectory(parser.value(dir), &made);
    removal.set(made.value(0));
    held.release();
    if (!problem.isEmpty()) {
        removeDirectories(made);
        return failed(what, problem);
    }
    PackageChecker inspector(path);
    ProgressMeter meter(QStringLiteral("upgrade-pack: extract"), true);
    if (!inspector.extractTo(parser.value(dir), parser.isSet(force), meter.callback())) {
        removeDirectories(made);
        return failed(what, inspector.errorString());
    }
    return Success;
}

int runVerify(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Succeeds only when the package is well formed, the device reads it as its table says "
        "and every carried file matches its md5. "
        "Whether a scanner will install it, and how: upgrade-pack plan. "
        "With --json the findings go to stdout as {\"ok\": ..., \"problems\": [...]}."));
    const QCommandLineOption json = jsonOption();
    parser.addOption(json);
    const int early = parse(parser, QStringLiteral("verify"), QStringLiteral("[--json] PKG"),
                            arguments, packageArgument());
    if (early >= 0)
        return early;
    const QString path = parser.positionalArguments().constFirst();
    const QString what = QStringLiteral("verify %1").arg(path);
    PackageChecker inspector(path);
    ProgressMeter meter(QStringLiteral("upgrade-pack: verify"), !parser.isSet(json));
    if (!inspector.inspect(meter.callback()))
        return failed(what, inspector.errorString());
    meter.finish();
    const QStringList problems = inspector.problems();
    if (parser.isSet(json)) {
        printJson({{QStringLiteral("ok"), problems.isEmpty()},
                   {QStringLiteral("problems"), QJsonArray::fromStringList(problems)}});
    } else {
        for (const QString& problem : problems)
            failed(what, problem);
        if (problems.isEmpty())
            print(stdout, QStringLiteral("%1: OK\n").arg(path));
    }
    return problems.isEmpty() ? Success : JobFailed;
}

int runFirmware(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Builds a firmware archive holding the files of DIR under ota_file/ with their manifest "
        "ota_file/fileMd5s, its last member. The archive depends only on the files' paths, "
        "contents and executable bits, and on one time: SOURCE_DATE_EPOCH when it is set, "
        "otherwise the newest modification time among the files. Every member carries that "
        "time, owner and group 0, and mode 0755 (directories, and files their owner can "
        "execute) or 0644; members stand in the byte order of their paths. OUT ending in .tar "
        "is a plain tar archive; any other name is compressed with bzip2, as the device "
        "expects: by lbzip2 on every core when it is on PATH, to the same bytes whatever the "
        "number of threads, otherwise by bzip2 on one core, to other bytes. Names of other "
        "compressions (.gz, .xz, ...) are refused. OUT cannot lie inside DIR. Dot files "
        "(.gitkeep) are left out; names that are not UTF-8 or hold white space, links and "
        "special files are refused."));
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The archive to write."), QStringLiteral("OUT"));
    const QCommandLineOption force(
        QStringLiteral("force"),
        QStringLiteral("Build it even when a stage would take a file not meant for it."));
    const QCommandLineOption jobs(
        QStringLiteral("jobs"),
        QStringLiteral("Compress on at most N threads (default: all cores)."), QStringLiteral("N"));
    parser.addOptions({output, force, jobs});
    const QString verb = QStringLiteral("firmware");
    const int early =
        parse(parser, verb, QStringLiteral("-o OUT [--force] [--jobs N] DIR"), arguments,
              {{QStringLiteral("DIR"), QStringLiteral("The firmware files.")}}, {output});
    if (early >= 0)
        return early;
    bool ok = true;
    const int threads = parser.isSet(jobs) ? parser.value(jobs).toInt(&ok) : 0;
    if (parser.isSet(jobs) && (!ok || threads < 1))
        return failed(
            verb, QStringLiteral("--jobs %1 is not a number of threads").arg(parser.value(jobs)),
            UsageError);
    // The reproducible-builds convention: an empty value stands for none.
    const QString epoch = qEnvironmentVariable("SOURCE_DATE_EPOCH");
    const qint64 time = epoch.isEmpty() ? -1 : epoch.toLongLong(&ok);
    if (!epoch.isEmpty() && (!ok || time < 0))
        return failed(
            verb,
            QStringLiteral("SOURCE_DATE_EPOCH=%1 is not a number of seconds since 1970").arg(epoch),
            UsageError);

    const QString what = QStringLiteral("firmware %1").arg(parser.value(output));
    FirmwareBuilder builder(parser.value(output), parser.positionalArguments().constFirst());
    builder.setForce(parser.isSet(force));
    builder.setJobs(threads);
    builder.setTime(time);
    if (QFileInfo(builder.compressor()).fileName() == QLatin1String("bzip2"))
        report(what, QStringLiteral("lbzip2 is not on PATH: compressing with bzip2, on one core"));
    ProgressMeter meter(QStringLiteral("upgrade-pack: firmware"), true);
    const bool built = builder.run(meter.callback());
    meter.finish();
    for (const QString& skipped : builder.skipped())
        report(what, QStringLiteral("skipped %1: dot files are not archived").arg(skipped));
    if (!built) {
        for (const QString& why : builder.errorString().split(QLatin1Char('\n')))
            failed(what, why);
        return JobFailed;
    }
    for (const QString& warning : builder.warnings())
        report(what, QStringLiteral("warning: ") + warning);
    return Success;
}

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

/// One verb of the tool: its name, what it does in a line, how it runs, and the exit status
/// when what it printed was lost.
struct Verb {
    QString name;
    QString summary;
    int (*run)(const QStringList& arguments);
    int outputLost = JobFailed;
};

/// Every verb, in the order the help lists them; dispatch and help both read this table.
const QVector<Verb>& verbs()
{
    static const QVector<Verb> table = {
        {QStringLiteral("create"), QStringLiteral("write a package from files"), runCreate},
        {QStringLiteral("info"), QStringLiteral("show a package's type, information and items"),
         runInfo},
        {QStringLiteral("extract"),
         QStringLiteral("write a package's carried files into a directory"), runExtract},
        {QStringLiteral("verify"),
         QStringLiteral("check that a package is whole and every file matches its md5"), runVerify},
        {QStringLiteral("plan"), QStringLiteral("tell what a scanner will do with a package"),
         runPlan},
        {QStringLiteral("firmware"), QStringLiteral("build a firmware archive from a directory"),
         runFirmware},
        // As with diff(1), 1 means "they differ": a lost output is trouble.
        {QStringLiteral("diff"),
         QStringLiteral("tell what changed between two releases, stage by stage"), runDiff,
         Trouble},
    };
    return table;
}

const Verb* findVerb(const QString& name)
{
    for (const Verb& verb : verbs()) {
        if (verb.name == name)
            return &verb;
    }
    return nullptr;
}

QString overview()
{
    QString text = QStringLiteral("Usage: upgrade-pack VERB [options] ...\n\n"
                                  "Builds, inspects and checks upgrade packages.\n\nVerbs:\n");
    for (const Verb& verb : verbs())
        text += QStringLiteral("  %1  %2\n").arg(verb.name.leftJustified(8), verb.summary);
    return text + QStringLiteral("\nRun upgrade-pack VERB --help for the options of each verb, "
                                 "and upgrade-pack --version\nfor the version.\n");
}

int dispatch(const QStringList& arguments)
{
    const QString verb = arguments.value(1);
    // QCommandLineParser takes the first entry for the program: the verb stands in for it.
    const QStringList verbArguments = arguments.mid(1);

    if (verb == QLatin1String("--help") || verb == QLatin1String("-h") ||
        verb == QLatin1String("help")) {
        // "help VERB" is that verb's own help.
        const QString asked = arguments.value(2);
        if (const Verb* found = findVerb(asked))
            return found->run({found->name, QStringLiteral("--help")});
        if (!asked.isEmpty())
            return failed(QStringLiteral("usage"), QStringLiteral("unknown verb %1").arg(asked),
                          UsageError);
        print(stdout, overview());
        return Success;
    }
    if (const Verb* found = findVerb(verb))
        return found->run(verbArguments);
    if (verb == QLatin1String("--version") || verb == QLatin1String("-v")) {
        print(stdout,
              QStringLiteral("upgrade-pack %1\n").arg(QCoreApplication::applicationVersion()));
        return Success;
    }
    if (!verb.isEmpty())
        failed(QStringLiteral("usage"), QStringLiteral("unknown verb %1").arg(verb));
    print(stderr, overview());
    return UsageError;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    setUpTool(QStringLiteral("upgrade-pack"));
    installSignalCleanup();
    // The shared code's trace lines are for the device's log, not for the engineer's terminal.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const QStringList arguments = QCoreApplication::arguments();
    // Qt reads arguments in the locale's encoding: bytes that are no text in it arrive as
    // replacement characters, a file of that name could not even be opened, and a text would
    // not be the one meant.
    for (int i = 1; i < argc; ++i) {
        if (QFile::encodeName(QString::fromLocal8Bit(argv[i])) != argv[i])
            return failed(
                findVerb(arguments.value(1)) ? arguments.value(1) : QStringLiteral("usage"),
                QStringLiteral("argument \"%1\" holds bytes that are not text in %2, the "
                               "locale's encoding (bytes other than printable ASCII shown as "
                               "\\xHH)")
                    .arg(escapedBytes(argv[i]),
                         QString::fromLatin1(QTextCodec::codecForLocale()->name())),
                UsageError);
    }
    const Verb* verb = findVerb(arguments.value(1));
    return finishOutput(dispatch(arguments), verb ? verb->outputLost : JobFailed);
}
