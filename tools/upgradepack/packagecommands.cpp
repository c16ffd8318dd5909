// The verbs that write, read and check packages and firmware archives.
#include "commandline.h"
#include "directories.h"
#include "firmwarebuilder.h"
#include "frontend.h"
#include "packagechecker.h"
#include "packagecreator.h"
#include "packiteminfo.h"
#include "progressmeter.h"
#include "signalcleanup.h"
#include "statustexts.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QJsonArray>

namespace Cli {

namespace {

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

} // namespace

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

} // namespace Cli
