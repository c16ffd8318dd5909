#ifndef STATUSSTREAM_H
#define STATUSSTREAM_H

#include <QByteArray>
#include <QList>
#include <QString>

/// Splits the device program's status stream into messages.
///
/// The stream has no delimiters: the program writes each message with one write,
/// after 500 ms of silence, and tools it runs may write their own console output in
/// between. A read that arrives after at least silenceMs of quiet, or as the first of
/// the stream, and begins like a status message ("UB" or "UC" with two digits, or the
/// parameter-preservation messages) starts a message; reads that follow within mergeMs
/// belong to the same item; everything else is tool output. A reader that falls behind gets
/// several writes in one read: inside a read, every further status code starts a message of
/// its own, as split() does.
class StatusStream {
public:
    /// One message, or one stretch of tool output, with the arrival time of its first byte.
    struct Item {
        enum Kind { Message, ToolOutput };
        Kind kind = ToolOutput;
        QByteArray bytes;
        qint64 arrivalMs = 0;
    };

    /// A splitter of a stream read as it arrives.
    explicit StatusStream(qint64 silenceMs = 400, qint64 mergeMs = 20);

    /// Adds one read; returns the items that it completed.
    QList<Item> feed(const QByteArray& bytes, qint64 arrivalMs);
    /// Returns the pending item once mergeMs have passed since its last read, or at the end.
    QList<Item> flush(qint64 nowMs, bool end = false);
    /// Splits a recorded stream, which has no timing, at every status code: each message runs
    /// up to the next code, so tool output after a message is taken as part of it.
    static QList<Item> split(const QByteArray& recorded);

    /// The status code of a message ("UB13"), or an empty text for messages without one.
    static QString code(const QByteArray& message);
    /// A short meaning of a message, in words a release engineer reads.
    static QString meaning(const QByteArray& message);
    /// True for the messages after which the program does nothing more: "UB99" and every "UC".
    static bool isFinal(const QByteArray& message);
    /// True when the bytes begin the way a status message begins.
    static bool looksLikeMessage(const QByteArray& bytes);

private:
    qint64 m_silenceMs;
    qint64 m_mergeMs;
    qint64 m_lastArrivalMs = 0;
    bool m_started = false;
    bool m_pending = false;
    Item m_item;
};

#endif // STATUSSTREAM_H
