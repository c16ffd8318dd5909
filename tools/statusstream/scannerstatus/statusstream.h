#ifndef SCANNERSTATUS_STATUSSTREAM_H
#define SCANNERSTATUS_STATUSSTREAM_H

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QScopedPointer>
#include <QSharedDataPointer>
#include <QString>

#if defined(SCANNERSTATUS_BUILDING)
#define SCANNERSTATUS_EXPORT Q_DECL_EXPORT
#else
#define SCANNERSTATUS_EXPORT Q_DECL_IMPORT
#endif

/// Reading the status stream of scanner-upgrade, the appliance's firmware upgrade program.
namespace ScannerStatus {

/// The quiet, in ms, after which a read that begins like a status message starts one.
constexpr qint64 DefaultQuietMs = 400;
/// The time, in ms, within which a read still belongs to the item before it.
constexpr qint64 DefaultMergeMs = 20;

class ItemData;

/// One piece of the stream: a status message, or a stretch of the tools' console output.
class SCANNERSTATUS_EXPORT Item {
public:
    /// What a piece of the stream is.
    enum Kind {
        ToolOutput, ///< console output of a tool that the upgrade ran
        Progress,   ///< a "UB" message other than UB99: a stage begun or a step done
        Parameter,  ///< a message of the parameter preservation, which carries no code
        Success,    ///< UB99: the upgrade is done and the device may be restarted
        Failure     ///< a "UC" message: the upgrade stopped at this error
    };

    /// An empty stretch of tool output.
    Item();
    /// The message of these bytes, or tool output when they do not begin like a message;
    /// arrivalMs is -1 for a recorded stream.
    explicit Item(const QByteArray& bytes, qint64 arrivalMs = -1);
    /// Shares the other item's data.
    Item(const Item& other);
    /// Shares the other item's data.
    Item& operator=(const Item& other);
    /// Releases this item's share of its data.
    ~Item();

    /// What this piece is.
    Kind kind() const;
    /// True for every kind but ToolOutput.
    bool isMessage() const;
    /// True for UB99 and every "UC" message, after which the program does no further work.
    bool isFinal() const;
    /// The bytes as they came.
    QByteArray bytes() const;
    /// The status code ("UB13"), or an empty text for tool output and parameter messages.
    QString code() const;
    /// The text after the code (all of it without one), from the locale's 8-bit encoding.
    QString text() const;
    /// What the message means, in words; for tool output, that it is none.
    QString meaning() const;
    /// The stage this message reports, as an index into the known stages; -1 for none.
    int stage() const;
    /// When its first byte arrived, in ms since reading began; -1 when not known.
    qint64 arrivalMs() const;

    /// How many stages the program knows, UB10 to UB99.
    static int stageCount();
    /// The code of a stage ("UB14"), or an empty text for an index out of range.
    static QString stageCode(int stage);

private:
    friend class StatusStream;
    Item(Kind kind, const QByteArray& bytes, qint64 arrivalMs);
    QSharedDataPointer<ItemData> d;
};

class StatusStreamPrivate;

/// Splits the status stream into status messages and tool output.
///
/// The stream has no delimiters: the program writes each message in one write after 500 ms of
/// quiet, and the tools it runs may write their own console output in between. A read that
/// arrives after at least quietMs of quiet, or first, and begins like a status message ("UB" or
/// "UC" and two digits, or "runtxtOrder") starts a message; reads within mergeMs of it belong to
/// it; everything else is tool output. A reader that falls behind gets several messages in one
/// read: within a read, every further status code starts a message of its own, as split() does.
class SCANNERSTATUS_EXPORT StatusStream {
public:
    /// A splitter of a stream read as it arrives.
    explicit StatusStream(qint64 quietMs = DefaultQuietMs, qint64 mergeMs = DefaultMergeMs);
    /// Drops an item still pending.
    ~StatusStream();

    /// Adds one read that arrived at arrivalMs; returns the items that it completed.
    QList<Item> feed(const QByteArray& bytes, qint64 arrivalMs);
    /// Returns the pending item once mergeMs have passed since its last read.
    QList<Item> flush(qint64 nowMs);
    /// Returns the pending item at the end of the stream.
    QList<Item> finish();
    /// True while an item waits for more of its bytes.
    bool hasPending() const;

    /// Splits a recorded stream, which has no timing, at every status code: each message runs
    /// up to the next code, so tool output after a message is taken as part of it.
    static QList<Item> split(const QByteArray& recorded);

private:
    Q_DISABLE_COPY(StatusStream)
    QScopedPointer<StatusStreamPrivate> d;
};

} // namespace ScannerStatus

Q_DECLARE_METATYPE(ScannerStatus::Item)

#endif // SCANNERSTATUS_STATUSSTREAM_H
