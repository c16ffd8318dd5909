#include "commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString escapedBytes(const QByteArray& bytes)
{
    QString text;
    for (const char c : bytes) {
        if (c == '\\')
            text += QStringLiteral("\\\\");
        else if (c >= ' ' && c <= '~')
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
    }
    return text;
}

QString escapedText(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const ushort code = c.unicode();
        const int named = QStringLiteral("\n\r\t\\").indexOf(c);
        if (named >= 0)
            escaped += QLatin1Char('\\') + QStringLiteral("nrt\\").at(named);
        // C1 controls too: a terminal may take U+009B for the start of a command.
        else if (code < 0x20 || (code >= 0x7f && code < 0xa0))
            escaped += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}

namespace {
int g_outputError = 0;
} // namespace

void writeOutput(const QByteArray& bytes, bool flush)
{
    // After the first failure the rest is lost as well: it is not even tried.
    if (g_outputError != 0)
        return;
    errno = 0;
    const size_t size = size_t(bytes.size());
    if (std::fwrite(bytes.constData(), 1, size, stdout) != size || std::ferror(stdout) ||
        (flush && std::fflush(stdout) != 0))
        g_outputError = errno != 0 ? errno : EIO;
}

int finishOutput(int code, int lost)
{
    // stdio forgets why a write failed once it has dropped the bytes: the reason is kept from
    // the moment it happened.
    if (g_outputError == 0) {
        errno = 0;
        if (std::fflush(stdout) != 0 || std::ferror(stdout))
            g_outputError = errno != 0 ? errno : EIO;
    }
    if (g_outputError == 0)
        return code;
    std::fprintf(stderr, "%s: write error: %s\n",
                 QCoreApplication::applicationName().toLocal8Bit().constData(),
                 std::strerror(g_outputError));
    return lost;
}
