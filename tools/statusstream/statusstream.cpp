#include "statusstream.h"

#include <QHash>

#include <cstring>

namespace {

bool isUpper(char c)
{
    return c >= 'A' && c <= 'Z';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool startsMessage(const char* bytes, int size)
{
    static const char parameterMessage[] = "runtxtOrder";
    const int parameterSize = int(sizeof parameterMessage) - 1;
    if (size >= parameterSize && std::memcmp(bytes, parameterMessage, parameterSize) == 0)
        return true;
    return size >= 4 && bytes[0] == 'U' && (bytes[1] == 'B' || bytes[1] == 'C') &&
           isDigit(bytes[2]) && isDigit(bytes[3]);
}

const QHash<QString, QString>& meanings()
{
    static const QHash<QString, QString> table{
        {QStringLiteral("UB10"), QStringLiteral("started; device information read")},
        {QStringLiteral("UB11"), QStringLiteral("request taken up")},
        {QStringLiteral("UB12"), QStringLiteral("package unpacked and deleted")},
        {QStringLiteral("UB13"), QStringLiteral("every packaged file matched its digest")},
        {QStringLiteral("UB14"), QStringLiteral("unpacking the firmware archive")},
        {QStringLiteral("UB15"), QStringLiteral("archive unpacked and deleted; verifying")},
        {QStringLiteral("UB16"), QStringLiteral("flashing the kernel image")},
        {QStringLiteral("UB17"), QStringLiteral("flashing the device tree")},
        {QStringLiteral("UB18"), QStringLiteral("flashing the boot loader")},
        {QStringLiteral("UB19"), QStringLiteral("flashing the root file system")},
        {QStringLiteral("UB20"), QStringLiteral("flashing the MCU application")},
        {QStringLiteral("UB21"), QStringLiteral("package model accepted")},
        {QStringLiteral("UB99"), QStringLiteral("upgrade finished; the device may be restarted")},
        {QStringLiteral("UC11"), QStringLiteral("not an upgrade package, or of type T0")},
        {QStringLiteral("UC12"), QStringLiteral("package unreadable, or of an unknown type")},
        {QStringLiteral("UC13"), QStringLiteral("package names no upgrade type")},
        {QStringLiteral("UC14"), QStringLiteral("a packaged file does not match its digest")},
        {QStringLiteral("UC15"), QStringLiteral("a T1 package must hold exactly one file")},
        {QStringLiteral("UC16"), QStringLiteral("no firmware archive")},
        {QStringLiteral("UC17"), QStringLiteral("unpacking left no ota_file/")},
        {QStringLiteral("UC18"), QStringLiteral("unpacking left no manifest")},
        {QStringLiteral("UC19"), QStringLiteral("verification of the unpacked files failed")},
        {QStringLiteral("UC20"), QStringLiteral("kernel image tool crashed")},
        {QStringLiteral("UC21"), QStringLiteral("kernel image tool failed")},
        {QStringLiteral("UC22"), QStringLiteral("device tree tool crashed")},
        {QStringLiteral("UC23"), QStringLiteral("device tree tool failed")},
        {QStringLiteral("UC24"), QStringLiteral("boot loader tool crashed")},
        {QStringLiteral("UC25"), QStringLiteral("boot loader tool failed")},
        {QStringLiteral("UC26"), QStringLiteral("root file system command failed")},
        {QStringLiteral("UC27"), QStringLiteral("copying the rpmsg file failed")},
        {QStringLiteral("UC28"), QStringLiteral("copying the scanner application script failed")},
        {QStringLiteral("UC29"), QStringLiteral("manifest missing")},
        {QStringLiteral("UC30"), QStringLiteral("manifest cannot be opened")},
        {QStringLiteral("UC31"), QStringLiteral("a file named in the manifest is missing")},
        {QStringLiteral("UC32"), QStringLiteral("an unpacked file does not match the manifest")},
        {QStringLiteral("UC33"), QStringLiteral("MCU tool crashed")},
        {QStringLiteral("UC34"), QStringLiteral("MCU tool failed")},
        {QStringLiteral("UC35"), QStringLiteral("upgrade type not carried out on this device")},
        {QStringLiteral("UC36"), QStringLiteral("package model refused (product model)")},
        {QStringLiteral("UC37"), QStringLiteral("package model refused (scanner type)")},
        {QStringLiteral("UC38"), QStringLiteral("package model refused (built-in model)")},
    };
    return table;
}

} // namespace

StatusStream::StatusStream(qint64 silenceMs, qint64 mergeMs)
    : m_silenceMs(silenceMs), m_mergeMs(mergeMs)
{
}

QList<StatusStream::Item> StatusStream::feed(const QByteArray& bytes, qint64 arrivalMs)
{
    QList<Item> done;
    if (bytes.isEmpty())
        return done;
    const qint64 gap = arrivalMs - m_lastArrivalMs;
    m_lastArrivalMs = arrivalMs;
    // Nothing came before the first read: a piped or recorded stream may begin at once.
    const bool afterQuiet = !m_started || gap >= m_silenceMs;
    m_started = true;

    // A reader that fell behind gets several writes in one read: as in a recording, every
    // status code after the first byte starts a message of its own.
    const QList<Item> pieces = split(bytes);
    const QByteArray& first = pieces.constFirst().bytes;
    const Item::Kind kind =
        afterQuiet && looksLikeMessage(first) ? Item::Message : Item::ToolOutput;
    // A write split over two reads arrives in one go, and a tool's console output runs on
    // until the next message; a message always comes after the quiet.
    const bool continues =
        m_pending &&
        (gap < m_mergeMs || (kind == Item::ToolOutput && m_item.kind == Item::ToolOutput));
    if (continues) {
        m_item.bytes += first;
    } else {
        if (m_pending)
            done << m_item;
        m_item = Item{kind, first, arrivalMs};
        m_pending = true;
    }
    for (int i = 1; i < pieces.size(); ++i) {
        done << m_item;
        m_item = Item{Item::Message, pieces.at(i).bytes, arrivalMs};
    }
    return done;
}

QList<StatusStream::Item> StatusStream::flush(qint64 nowMs, bool end)
{
    QList<Item> done;
    if (m_pending && (end || nowMs - m_lastArrivalMs >= m_mergeMs)) {
        done << m_item;
        m_pending = false;
    }
    return done;
}

QList<StatusStream::Item> StatusStream::split(const QByteArray& recorded)
{
    QList<Item> items;
    const char* bytes = recorded.constData();
    const int size = recorded.size();
    int begin = 0;
    for (int i = 1; i <= size; ++i) {
        if (i < size && !startsMessage(bytes + i, size - i))
            continue;
        const QByteArray item = recorded.mid(begin, i - begin);
        items << Item{looksLikeMessage(item) ? Item::Message : Item::ToolOutput, item, 0};
        begin = i;
    }
    return items;
}

bool StatusStream::looksLikeMessage(const QByteArray& bytes)
{
    return startsMessage(bytes.constData(), bytes.size());
}

QString StatusStream::code(const QByteArray& message)
{
    if (message.size() >= 4 && isUpper(message.at(0)) && isUpper(message.at(1)) &&
        isDigit(message.at(2)) && isDigit(message.at(3)))
        return QString::fromLatin1(message.left(4));
    return QString();
}

QString StatusStream::meaning(const QByteArray& message)
{
    const QString c = code(message);
    if (!c.isEmpty())
        return meanings().value(c, QStringLiteral("unknown status code"));
    if (message.startsWith("runtxtOrder--filePa-not isFile-"))
        return QStringLiteral("no parameter file: saved configuration kept");
    if (message.startsWith("runtxtOrder--filePa--"))
        return QStringLiteral("parameter file in use");
    if (message.startsWith("runtxtOrder--saveparaJson--1"))
        return QStringLiteral("saved configuration kept");
    if (message.startsWith("runtxtOrder--saveparaJson--0"))
        return QStringLiteral("saved configuration deleted");
    if (message.startsWith("runtxtOrder readConfigureFile"))
        return QStringLiteral("parameter file is not valid JSON");
    return QStringLiteral("not a status message");
}

bool StatusStream::isFinal(const QByteArray& message)
{
    return message.startsWith("UB99") || (message.startsWith("UC") && !code(message).isEmpty());
}
