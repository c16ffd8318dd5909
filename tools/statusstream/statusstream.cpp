#include "scannerstatus/statusstream.h"

#include "statustexts.h"

#include <QSharedData>

#include <cstring>

namespace ScannerStatus {

namespace {

const char kParameterMessage[] = "runtxtOrder";

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool startsMessage(const char* bytes, int size)
{
    const int parameterSize = int(sizeof kParameterMessage) - 1;
    if (size >= parameterSize && std::memcmp(bytes, kParameterMessage, parameterSize) == 0)
        return true;
    return size >= 4 && bytes[0] == 'U' && (bytes[1] == 'B' || bytes[1] == 'C') &&
           isDigit(bytes[2]) && isDigit(bytes[3]);
}

bool looksLikeMessage(const QByteArray& bytes)
{
    return startsMessage(bytes.constData(), bytes.size());
}

// The stages are the "UB" codes in the order of the one code table, which is the order in
// which a run sends them.
const QStringList& stageCodes()
{
    static const QStringList codes = [] {
        QStringList ub;
        for (const st_statusCode& code : g_statusCodes()) {
            if (std::strncmp(code.code, "UB", 2) == 0)
                ub << QLatin1String(code.code);
        }
        return ub;
    }();
    return codes;
}

} // namespace

class ItemData : public QSharedData {
public:
    Item::Kind kind = Item::ToolOutput;
    QByteArray bytes;
    qint64 arrivalMs = -1;
};

Item::Item() : d(new ItemData) {}

Item::Item(const QByteArray& bytes, qint64 arrivalMs)
    : Item(looksLikeMessage(bytes) ? Progress : ToolOutput, bytes, arrivalMs)
{
}

Item::Item(Kind kind, const QByteArray& bytes, qint64 arrivalMs) : d(new ItemData)
{
    // The splitter only says whether an item is a message; what kind follows from its code.
    if (kind != ToolOutput) {
        if (bytes.startsWith(kParameterMessage))
            kind = Parameter;
        else if (bytes.startsWith(kCodeFailure))
            kind = Failure;
        else
            kind = bytes.startsWith(kCodeSuccess) ? Success : Progress;
    }
    d->kind = kind;
    d->bytes = bytes;
    d->arrivalMs = arrivalMs;
}

Item::Item(const Item& other) = default;
Item& Item::operator=(const Item& other) = default;
Item::~Item() = default;

Item::Kind Item::kind() const
{
    return d->kind;
}

bool Item::isMessage() const
{
    return d->kind != ToolOutput;
}

bool Item::isFinal() const
{
    return d->kind == Success || d->kind == Failure;
}

QByteArray Item::bytes() const
{
    return d->bytes;
}

QString Item::code() const
{
    // Every message but a parameter message begins with its code.
    return isMessage() && d->kind != Parameter ? QString::fromLatin1(d->bytes.left(4)) : QString();
}

QString Item::text() const
{
    return QString::fromLocal8Bit(d->bytes.mid(code().size()));
}

QString Item::meaning() const
{
    if (!isMessage())
        return QStringLiteral("console output of a tool");
    const QString known = g_statusMeaning(QString::fromLatin1(d->bytes));
    if (!known.isEmpty())
        return known;
    return code().isEmpty() ? QStringLiteral("not a status message")
                            : QStringLiteral("unknown status code");
}

int Item::stage() const
{
    return d->kind == Progress || d->kind == Success ? stageCodes().indexOf(code()) : -1;
}

qint64 Item::arrivalMs() const
{
    return d->arrivalMs;
}

int Item::stageCount()
{
    return stageCodes().size();
}

QString Item::stageCode(int stage)
{
    return stageCodes().value(stage);
}

class StatusStreamPrivate {
public:
    StatusStreamPrivate(qint64 quiet, qint64 merge) : quietMs(quiet), mergeMs(merge) {}

    qint64 quietMs;
    qint64 mergeMs;
    qint64 lastArrivalMs = 0;
    bool started = false;
    bool pending = false;
    Item item;
};

StatusStream::StatusStream(qint64 quietMs, qint64 mergeMs)
    : d(new StatusStreamPrivate(quietMs, mergeMs))
{
}

StatusStream::~StatusStream() = default;

QList<Item> StatusStream::feed(const QByteArray& bytes, qint64 arrivalMs)
{
    QList<Item> done;
    if (bytes.isEmpty())
        return done;
    const qint64 gap = arrivalMs - d->lastArrivalMs;
    d->lastArrivalMs = arrivalMs;
    // Nothing came before the first read: a piped or recorded stream may begin at once.
    const bool afterQuiet = !d->started || gap >= d->quietMs;
    d->started = true;

    // A reader that fell behind gets several writes in one read: as in a recording, every
    // status code after the first byte starts a message of its own.
    const QList<Item> pieces = split(bytes);
    const QByteArray first = pieces.constFirst().bytes();
    const Item::Kind kind =
        afterQuiet && looksLikeMessage(first) ? Item::Progress : Item::ToolOutput;
    // A write split over two reads arrives in one go, and a tool's console output runs on
    // until the next message; a message always comes after the quiet.
    const bool continues =
        d->pending && (gap < d->mergeMs || (kind == Item::ToolOutput && !d->item.isMessage()));
    if (continues) {
        d->item = Item(d->item.kind(), d->item.bytes() + first, d->item.arrivalMs());
    } else {
        if (d->pending)
            done << d->item;
        d->item = Item(kind, first, arrivalMs);
        d->pending = true;
    }
    for (int i = 1; i < pieces.size(); ++i) {
        done << d->item;
        d->item = Item(Item::Progress, pieces.at(i).bytes(), arrivalMs);
    }
    return done;
}

QList<Item> StatusStream::flush(qint64 nowMs)
{
    if (nowMs - d->lastArrivalMs < d->mergeMs)
        return QList<Item>();
    return finish();
}

QList<Item> StatusStream::finish()
{
    QList<Item> done;
    if (d->pending)
        done << d->item;
    d->pending = false;
    return done;
}

bool StatusStream::hasPending() const
{
    return d->pending;
}

QList<Item> StatusStream::split(const QByteArray& recorded)
{
    QList<Item> items;
    const char* bytes = recorded.constData();
    const int size = recorded.size();
    int begin = 0;
    for (int i = 1; i <= size; ++i) {
        if (i < size && !startsMessage(bytes + i, size - i))
            continue;
        items << Item(recorded.mid(begin, i - begin));
        begin = i;
    }
    return items;
}

} // namespace ScannerStatus
