// upgrade-pack: the release engineers' tool for upgrade packages. This file only parses the
// command line and reports; the work is done by the classes beside it.
#include "firmwarebuilder.h"
#include "packagechecker.h"
#include "packagecreator.h"
#include "packiteminfo.h"
#include "progressmeter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QLoggingCategory>

#include <cstdio>

namespace {

enum ExitCode { Success = 0, JobFailed = 1, UsageError = 2 };

const char kOverview[] =
    "Usage: upgrade-pack VERB [options] ...\n"
    "\n"
    "Builds, inspects and checks upgrade packages.\n"
    "\n"
    "Verbs:\n"
    "  create    write a package from files\n"
    "  info      show a package's type, information and items\n"
    "  extract   write a package's carried files into a directory\n"
    "  verify    check that a package is whole and every file matches its md5\n"
    "  firmware  build a firmware archive from a directory\n"
    "\n"
    "Run upgrade-pack VERB --help for the options of each verb.\n";

void print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

int failed(const QString& what, const QString& why, int code = JobFailed)
{
    print(stderr, QStringLiteral("upgrade-pack: %1: %2\n").arg(what, why));
    return code;
}

/// Parses a verb's arguments; returns -1 to go on, or the exit code to end with.
int parse(QCommandLineParser& parser, const QString& verb, const QString& usage,
          const QStringList& arguments, int minPositional, int maxPositional)
{
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    parser.addOption(help);
    if (!parser.parse(arguments))
        return failed(verb, parser.errorText(), UsageError);
    if (parser.isSet(help)) {
        // Qt's own usage line names the program path and not the verb.
        QString text = parser.helpText();
        text = QStringLiteral("Usage: upgrade-pack %1 %2").arg(verb, usage) +
               text.mid(text.indexOf(QLatin1Char('\n')));
        print(stdout, text);
        return Success;
    }
    const int count = parser.positionalArguments().size();
    if (count < minPositional)
        return failed(verb,
                      QStringLiteral("missing arguments; see upgrade-pack %1 --help").arg(verb),
                      UsageError);
    if (maxPositional >= 0 && count > maxPositional)
        return failed(verb,
                      QStringLiteral("unexpected argument %1")
                          .arg(parser.positionalArguments().at(maxPositional)),
                      UsageError);
    return -1;
}

int runCreate(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes an upgrade package carrying FILE... in the order given."));
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The package to write."), QStringLiteral("OUT"));
    const QCommandLineOption type(QStringLiteral("type"),
                                  QStringLiteral("Upgrade type: T0 to T4 (the device runs T1)."),
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
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Files to carry."),
                                 QStringLiteral("FILE..."));
    const QString verb = QStringLiteral("create");
    const int early =
        parse(parser, verb, QStringLiteral("-o OUT --type T --model MODEL [options] FILE..."),
              arguments, 1, -1);
    if (early >= 0)
        return early;
    for (const QCommandLineOption& required : {output, type, model}) {
        if (!parser.isSet(required))
            return failed(verb, QStringLiteral("--%1 is required").arg(required.names().last()),
                          UsageError);
    }
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
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print JSON, for scripts."));
    parser.addOption(json);
    parser.addPositionalArgument(QStringLiteral("PKG"), QStringLiteral("The package."));
    const int early =
        parse(parser, QStringLiteral("info"), QStringLiteral("[--json] PKG"), arguments, 1, 1);
    if (early >= 0)
        return early;
    const QString path = parser.positionalArguments().constFirst();
    PackageChecker inspector(path);
    ProgressMeter meter(QStringLiteral("upgrade-pack: info"), !parser.isSet(json));
    if (!inspector.inspect(meter.callback()))
        return failed(QStringLiteral("info %1").arg(path), inspector.error());
    meter.finish();
    if (parser.isSet(json))
        std::fputs(QJsonDocument(inspector.toJson()).toJson().constData(), stdout);
    else
        print(stdout, inspector.describe());
    return Success;
}

int runExtract(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes the files a package carries into DIR under their file names, as the device "
        "writes them beside the package. Nothing is written unless every file is whole and "
        "matches its md5."));
    const QCommandLineOption dir(
        {QStringLiteral("C"), QStringLiteral("directory")},
        QStringLiteral("Directory to write into (default: the current one)."),
        QStringLiteral("DIR"), QStringLiteral("."));
    const QCommandLineOption force(
        QStringLiteral("force"),
        QStringLiteral("Write the files without checking their md5 (a truncated package is still "
                       "refused)."));
    parser.addOptions({dir, force});
    parser.addPositionalArgument(QStringLiteral("PKG"), QStringLiteral("The package."));
    const int early = parse(parser, QStringLiteral("extract"),
                            QStringLiteral("PKG [-C DIR] [--force]"), arguments, 1, 1);
    if (early >= 0)
        return early;
    const QString path = parser.positionalArguments().constFirst();
    PackageChecker inspector(path);
    ProgressMeter meter(QStringLiteral("upgrade-pack: extract"), true);
    if (!inspector.extractTo(parser.value(dir), parser.isSet(force), meter.callback()))
        return failed(QStringLiteral("extract %1").arg(path), inspector.error());
    return Success;
}

int runVerify(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Succeeds only when the package is well formed and every carried file matches its md5."));
    parser.addPositionalArgument(QStringLiteral("PKG"), QStringLiteral("The package."));
    const int early =
        parse(parser, QStringLiteral("verify"), QStringLiteral("PKG"), arguments, 1, 1);
    if (early >= 0)
        return early;
    const QString path = parser.positionalArguments().constFirst();
    const QString what = QStringLiteral("verify %1").arg(path);
    PackageChecker inspector(path);
    ProgressMeter meter(QStringLiteral("upgrade-pack: verify"), true);
    if (!inspector.inspect(meter.callback()))
        return failed(what, inspector.error());
    meter.finish();
    const QStringList problems = inspector.problems();
    for (const QString& problem : problems)
        failed(what, problem);
    if (!problems.isEmpty())
        return JobFailed;
    print(stdout, QStringLiteral("%1: OK\n").arg(path));
    return Success;
}

int runFirmware(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Builds a firmware archive holding the files of DIR under ota_file/ with their manifest "
        "ota_file/fileMd5s. OUT ending in .tar is a plain tar archive; any other name is "
        "compressed with bzip2."));
    const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The archive to write."), QStringLiteral("OUT"));
    parser.addOption(output);
    parser.addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("The firmware files."));
    const QString verb = QStringLiteral("firmware");
    const int early = parse(parser, verb, QStringLiteral("-o OUT DIR"), arguments, 1, 1);
    if (early >= 0)
        return early;
    if (!parser.isSet(output))
        return failed(verb, QStringLiteral("--output is required"), UsageError);
    FirmwareBuilder builder(parser.value(output), parser.positionalArguments().constFirst());
    ProgressMeter meter(QStringLiteral("upgrade-pack: firmware"), true);
    if (!builder.run(meter.callback()))
        return failed(QStringLiteral("firmware %1").arg(parser.value(output)), builder.error());
    return Success;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("upgrade-pack"));
    // The shared code's trace lines are for the device's log, not for the engineer's terminal.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const QStringList arguments = QCoreApplication::arguments();
    const QString verb = arguments.value(1);
    // QCommandLineParser takes the first entry for the program: the verb stands in for it.
    const QStringList verbArguments = arguments.mid(1);

    if (verb == QLatin1String("create"))
        return runCreate(verbArguments);
    if (verb == QLatin1String("info"))
        return runInfo(verbArguments);
    if (verb == QLatin1String("extract"))
        return runExtract(verbArguments);
    if (verb == QLatin1String("verify"))
        return runVerify(verbArguments);
    if (verb == QLatin1String("firmware"))
        return runFirmware(verbArguments);
    if (verb == QLatin1String("--help") || verb == QLatin1String("-h") ||
        verb == QLatin1String("help")) {
        std::fputs(kOverview, stdout);
        return Success;
    }
    if (!verb.isEmpty())
        failed(QStringLiteral("usage"), QStringLiteral("unknown verb %1").arg(verb));
    std::fputs(kOverview, stderr);
    return UsageError;
}
