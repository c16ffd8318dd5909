#include "frontend.h"
#include "commandline.h"

#include <QCommandLineParser>
#include <QJsonDocument>

namespace Cli {

void print(std::FILE* stream, const QString& text)
{
    if (stream == stdout)
        writeOutput(text.toLocal8Bit());
    else
        std::fputs(text.toLocal8Bit().constData(), stream);
}

void report(const QString& what, const QString& text)
{
    print(stderr, QStringLiteral("upgrade-pack: %1: %2\n").arg(what, text));
}

int failed(const QString& what, const QString& why, int code)
{
    report(what, why);
    return code;
}

QString dashed(const QString& name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

int parse(QCommandLineParser& parser, const QString& verb, const QString& usage,
          const QStringList& arguments, const QVector<Argument>& positionals,
          const QList<QCommandLineOption>& required, const QList<QCommandLineOption>& repeatable)
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

QCommandLineOption jsonOption()
{
    return QCommandLineOption(QStringLiteral("json"), QStringLiteral("Print JSON, for scripts."));
}

void printJson(const QJsonObject& object)
{
    writeOutput(QJsonDocument(object).toJson());
}

QVector<Argument> packageArgument()
{
    return {{QStringLiteral("PKG"), QStringLiteral("The package.")}};
}

} // namespace Cli
