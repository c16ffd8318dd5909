#include "commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

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

qint64 parseSize(const QString& text)
{
    static const QRegularExpression form(
        QStringLiteral("^([0-9]+)(?:\\.([0-9]+))?(K|M|G|k|m|g|KiB|MiB|GiB)?$"));
    const QRegularExpressionMatch match = form.match(text);
    const QString unit = match.captured(3);
    // A fraction of a byte is no size, and 1.5 reads as one.
    if (!match.hasMatch() || (unit.isEmpty() && match.capturedLength(2) > 0))
        return -1;
    const int shift =
        unit.isEmpty() ? 0 : 10 * (QStringLiteral("KMG").indexOf(unit.at(0).toUpper()) + 1);
    const qint64 most = std::numeric_limits<qint64>::max();
    bool ok = false;
    const qint64 whole = match.captured(1).toLongLong(&ok);
    if (!ok || whole > most >> shift)
        return -1;
    // The fraction is doubled digit by digit, exactly: 0.1K is 102.4 bytes, and no rounding may
    // make it 102.
    QByteArray digits = match.captured(2).toLatin1();
    qint64 part = 0;
    for (int i = 0; i < shift; ++i) {
        int carry = 0;
        for (int j = digits.size() - 1; j >= 0; --j) {
            const int doubled = (digits.at(j) - '0') * 2 + carry;
            digits[j] = char('0' + doubled % 10);
            carry = doubled / 10;
        }
        part = part * 2 + carry;
    }
    if (digits.count('0') != digits.size() || (whole << shift) > most - part)
        return -1;
    return (whole << shift) + part;
}

QString sizeForms()
{
    return QStringLiteral(
        "say BYTES, or a number with K, M, G, KiB, MiB or GiB, such as 20M, 20MiB or 1.5G");
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
