// upgrade-pack: the release engineers' tool for upgrade packages. This file holds the verb table
// that dispatch and help both read; each verb parses its own arguments and reports.
#include "commandline.h"
#include "frontend.h"
#include "signalcleanup.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QTextCodec>

using namespace Cli;

namespace {

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
