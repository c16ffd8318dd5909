#include "statusstream.h"

#include "statustexts.h"

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
    const QString known = g_statusMeaning(QString::fromLatin1(message));
    if (!known.isEmpty())
        return known;
    return code(message).isEmpty() ? QStringLiteral("not a status message")
                                   : QStringLiteral("unknown status code");
}

bool StatusStream::isFinal(const QByteArray& message)
{
    return message.startsWith("UB99") || (message.startsWith("UC") && !code(message).isEmpty());
}
