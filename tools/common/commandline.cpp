#include "commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

void setUpTool(const QString& name)
{
    QCoreApplication::setApplicationName(name);
    QCoreApplication::setApplicationVersion(QStringLiteral(SCANNER_VERSION));
}

QString commandLineError(const QCommandLineParser& parser)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (unknown.isEmpty()) {
        // Qt's remaining texts name the option as it was written: "Missing value after '-o'."
        QString text = parser.errorText();
        text.remove(QLatin1Char('\''));
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        if (!text.isEmpty())
            text[0] = text.at(0).toLower();
        return text;
    }
    QStringList names;
    for (const QString& name : unknown)
        names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    return (names.size() == 1 ? QStringLiteral("unknown option ")
                              : QStringLiteral("unknown options ")) +
           names.join(QStringLiteral(", "));
}
