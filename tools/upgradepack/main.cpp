// upgrade-pack: the release engineers' tool for upgrade packages. This file only parses the
// command line and reports; the work is done by the classes beside it.
#include "commandline.h"
#include "directories.h"
#include "firmwarebuilder.h"
#include "packagechecker.h"
#include "packagecreator.h"
#include "packiteminfo.h"
#include "progressmeter.h"
#include "upgradeplanner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>

#include <cstdio>

namespace {

enum ExitCode { Success = 0, JobFailed = 1, UsageError = 2 };

void print(std::FILE* stream, const QString& text)
{
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

/// Parses a verb's arguments and checks that none is missing or too many; returns -1 to go
/// on, or the exit code to end with.
int parse(QCommandLineParser& parser, const QString& verb, const QString& usage,
          const QStringList& arguments, const QVector<Argument>& positionals,
          const QList<QCommandLineOption>& required = {})
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
    QStringList missing;
    for (const QCommandLineOption& option : required) {
        if (!parser.isSet(option))
            missing << QStringLiteral("--") + option.names().constLast();
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
    std::fputs(QJsonDocument(object).toJson().constData(), stdout);
}

/// The one positional argument of the verbs that read a package.
QVector<Argument> packageArgument()
{
    return {{QStringLiteral("PKG"), QStringLiteral("The package.")}};
}

int runCreate(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes an upgrade package carrying FILE... in the order given."));
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The package to write."), QStringLiteral("OUT"));
    const QCommandLineOption type(
        QStringLiteral("type"),
        QStringLiteral("Upgrade type, T0 to T4. The device carries out T1 only, with one "
                       "firmware archive; it refuses T0 (UC11), T2 and T3 (UC35) and T4 (UC12)."),
        QStringLiteral("T"));
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
    const int early = parse(
        parser, verb, QStringLiteral("-o OUT --type T --model MODEL [options] FILE..."), arguments,
        {{QStringLiteral("FILE..."), QStringLiteral("Files to carry.")}}, {output, type, model});
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
        return failed(QStringLiteral("create %1").arg(request.output), creator.error());
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
        return failed(QStringLiteral("info %1").arg(path), inspector.error());
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
        QStringLiteral("Write the files without checking their md5 (a truncated package is still "
                       "refused)."));
    parser.addOptions({dir, force});
    const int early = parse(parser, QStringLiteral("extract"),
                            QStringLiteral("PKG [-C DIR] [--force]"), arguments, packageArgument());
    if (early >= 0)
        return early;
    const QString path = parser.positionalArguments().constFirst();
    const QString what = QStringLiteral("extract %1").arg(path);
    // Made here, where the reason it cannot be made is still known.
    QStringList made;
    const QString problem = makeDirectory(parser.value(dir), &made);
    if (!problem.isEmpty())
        return failed(what, problem);
    PackageChecker inspector(path);
    ProgressMeter meter(QStringLiteral("upgrade-pack: extract"), true);
    if (!inspector.extractTo(parser.value(dir), parser.isSet(force), meter.callback())) {
        removeDirectories(made);
        return failed(what, inspector.error());
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
        return failed(what, inspector.error());
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
        "ota_file/fileMd5s. OUT ending in .tar is a plain tar archive; any other name is "
        "compressed with bzip2, as the device expects, so names of other compressions (.gz, "
        ".xz, ...) are refused. OUT cannot lie inside DIR. Dot files (.gitkeep) are left "
        "out."));
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The archive to write."), QStringLiteral("OUT"));
    const QCommandLineOption force(
        QStringLiteral("force"),
        QStringLiteral("Build it even when a stage would take a file not meant for it."));
    parser.addOptions({output, force});
    const int early =
        parse(parser, QStringLiteral("firmware"), QStringLiteral("-o OUT [--force] DIR"), arguments,
              {{QStringLiteral("DIR"), QStringLiteral("The firmware files.")}}, {output});
    if (early >= 0)
        return early;
    const QString what = QStringLiteral("firmware %1").arg(parser.value(output));
    FirmwareBuilder builder(parser.value(output), parser.positionalArguments().constFirst());
    builder.setForce(parser.isSet(force));
    ProgressMeter meter(QStringLiteral("upgrade-pack: firmware"), true);
    const bool built = builder.run(meter.callback());
    meter.finish();
    for (const QString& skipped : builder.skipped())
        report(what, QStringLiteral("skipped %1: dot files are not archived").arg(skipped));
    if (!built) {
        for (const QString& why : builder.error().split(QLatin1Char('\n')))
            failed(what, why);
        return JobFailed;
    }
    for (const QString& warning : builder.warnings())
        report(what, QStringLiteral("warning: ") + warning);
    return Success;
}

qint64 parseSize(const QString& text)
{
    static const QString units = QStringLiteral("KMG");
    QString digits = text;
    qint64 factor = 1;
    const int unit = text.isEmpty() ? -1 : units.indexOf(text.right(1), 0, Qt::CaseInsensitive);
    if (unit >= 0) {
        digits.chop(1);
        factor = qint64(1) << (10 * (unit + 1));
    }
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok);
    return ok && value >= 0 ? value * factor : -1;
}

// The device reads only regular files; a FIFO would hang the read.
bool readOption(const QString& path, QByteArray& content, QString& why)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("cannot read %1: %2")
                  .arg(path, QFileInfo(path).isDir() ? QStringLiteral("is a directory")
                                                     : file.errorString());
        return false;
    }
    content = file.readAll();
    return true;
}

int runPlan(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Tells what a scanner will do with the package, assuming every flashing tool and copy "
        "succeeds: the verdict (its last status message), every status message after the "
        "start-up message, the tool calls and copies, what stays in /tmp/upgrade, the peak "
        "space in /tmp, the least time the waits impose, and hazards. Exit status 0 when the "
        "verdict is UB99, 1 for a UC message or when /tmp runs out first."));
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
    const QCommandLineOption tmpFree(
        QStringLiteral("tmp-free"),
        QStringLiteral("Free space in the device's /tmp, such as 512M; a larger peak is a "
                       "hazard."),
        QStringLiteral("SIZE"));
    const QCommandLineOption everyModel(
        QStringLiteral("every-model"),
        QStringLiteral("One line per known model: the verdict a device of that product model "
                       "reaches, and its refusal."));
    parser.addOptions({json, productModel, scannerType, issue, scannerConfig, savePara, tmpSavePara,
                       devicePath, tmpFree, everyModel});
    const QString verb = QStringLiteral("plan");
    const int early =
        parse(parser, verb, QStringLiteral("[options] PKG"), arguments, packageArgument());
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
    const QString path = parser.positionalArguments().constFirst();
    const QString onDevice = parser.isSet(devicePath)
                                 ? parser.value(devicePath)
                                 : QLatin1String(kUpgradeDir) + QFileInfo(path).fileName();
    if (!onDevice.startsWith(QLatin1Char('/')))
        return failed(verb, QStringLiteral("--device-path must be absolute"), UsageError);
    const qint64 freeBytes = parser.isSet(tmpFree) ? parseSize(parser.value(tmpFree)) : -1;
    if (parser.isSet(tmpFree) && freeBytes < 0)
        return failed(verb,
                      QStringLiteral("--tmp-free %1 is not a size").arg(parser.value(tmpFree)),
                      UsageError);

    const QString what = QStringLiteral("plan %1").arg(path);
    UpgradePlanner planner(path, onDevice);
    planner.setTmpFree(freeBytes);
    QString why;
    QByteArray content;
    if (parser.isSet(savePara)) {
        if (!readOption(parser.value(savePara), content, why))
            return failed(what, why);
        planner.setSavePara(content);
    }
    if (parser.isSet(tmpSavePara)) {
        if (!readOption(parser.value(tmpSavePara), content, why))
            return failed(what, why);
        planner.setTmpSavePara(content);
    }
    QString deviceModel = parser.value(productModel);
    QString deviceType = parser.value(scannerType);
    QString branch;
    QString version;
    if (parser.isSet(issue) &&
        !UpgradeScanner::g_readIssueFile(parser.value(issue), deviceModel, branch, version))
        return failed(what, QStringLiteral("cannot read %1").arg(parser.value(issue)));
    if (parser.isSet(scannerConfig) &&
        !UpgradeScanner::g_readScannerConfigFile(parser.value(scannerConfig), deviceType))
        return failed(what, QStringLiteral("cannot read %1").arg(parser.value(scannerConfig)));
    if (!planner.read())
        return failed(what, planner.error());

    if (parser.isSet(everyModel)) {
        FleetPlan fleet;
        if (!planner.planFleet(fleet))
            return failed(what, planner.error());
        if (parser.isSet(json))
            printJson(fleet.toJson());
        else
            std::fputs(fleet.describe().toUtf8().constData(), stdout);
        return fleet.anyInstalls() ? Success : JobFailed;
    }

    if (!identityGiven)
        deviceModel = planner.packageModel();
    UpgradePlan plan;
    if (!planner.plan(deviceModel, deviceType, plan))
        return failed(what, planner.error());
    plan.modelAssumed = !identityGiven;
    // Status texts can hold characters beyond ASCII: they are printed as UTF-8 whatever the
    // locale, as the JSON is.
    if (parser.isSet(json))
        printJson(plan.toJson());
    else
        std::fputs(plan.describe().toUtf8().constData(), stdout);
    return plan.verdict() == QLatin1String("UB99") && !plan.tmpRunsOut ? Success : JobFailed;
}

/// One verb of the tool: its name, what it does in a line, and how it runs.
struct Verb {
    QString name;
    QString summary;
    int (*run)(const QStringList& arguments);
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

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    setUpTool(QStringLiteral("upgrade-pack"));
    // The shared code's trace lines are for the device's log, not for the engineer's terminal.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const QStringList arguments = QCoreApplication::arguments();
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
