#include "scannerstatus/statusreader.h"

#include <QElapsedTimer>
#include <QIODevice>
#include <QProcess>
#include <QTimer>

namespace ScannerStatus {

class StatusReaderPrivate {
public:
    StatusStream stream;
    QElapsedTimer clock;
    QTimer merge;
    QTimer deadline;
    int timeoutMs = 0;
    int stage = -1;
    Item finalMessage;
};

StatusReader::StatusReader(QObject* parent) : QObject(parent), d(new StatusReaderPrivate)
{
    // A coarse timer may fire early, and a message must not be cut before its merge time.
    d->merge.setSingleShot(true);
    d->merge.setTimerType(Qt::PreciseTimer);
    d->deadline.setSingleShot(true);
    d->deadline.setTimerType(Qt::PreciseTimer);
    connect(&d->deadline, &QTimer::timeout, this, &StatusReader::timedOut);
}

StatusReader::~StatusReader() = default;

void StatusReader::follow(QIODevice* device)
{
    const auto report = [this](const QList<Item>& items) {
        for (const Item& item : items) {
            if (!item.isMessage()) {
                Q_EMIT toolOutputReceived(item);
                continue;
            }
            Q_EMIT messageReceived(item);
            if (item.stage() >= 0) {
                d->stage = item.stage();
                Q_EMIT stageReached(d->stage);
            }
            if (item.isFinal()) {
                d->deadline.stop();
                if (!d->finalMessage.isFinal())
                    d->finalMessage = item;
                Q_EMIT finalMessageReceived(item);
            }
        }
    };
    connect(device, &QIODevice::readyRead, this, [this, device, report] {
        report(d->stream.feed(device->readAll(), d->clock.elapsed()));
        if (d->stream.hasPending())
            d->merge.start(int(DefaultMergeMs));
    });
    connect(&d->merge, &QTimer::timeout, this, [this, report] {
        report(d->stream.flush(d->clock.elapsed()));
        if (d->stream.hasPending())
            d->merge.start(int(DefaultMergeMs));
    });
    connect(device, &QIODevice::readChannelFinished, this, [this, device, report] {
        report(d->stream.feed(device->readAll(), d->clock.elapsed()));
        report(d->stream.finish());
        d->merge.stop();
    });
    d->clock.start();
    if (d->timeoutMs > 0)
        d->deadline.start(d->timeoutMs);
}

void StatusReader::setTimeout(int ms)
{
    d->timeoutMs = ms;
}

int StatusReader::timeout() const
{
    return d->timeoutMs;
}

int StatusReader::stage() const
{
    return d->stage;
}

Item StatusReader::finalMessage() const
{
    return d->finalMessage;
}

class UpgradeRunnerPrivate {
public:
    QProcess process;
};

UpgradeRunner::UpgradeRunner(QObject* parent) : StatusReader(parent), d(new UpgradeRunnerPrivate)
{
    d->process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

UpgradeRunner::~UpgradeRunner()
{
    // Nothing is reported from a runner that is going away.
    disconnect(&d->process, nullptr, this, nullptr);
    stop();
}

void UpgradeRunner::start(const QString& program, const QStringList& arguments)
{
    follow(&d->process);
    d->process.start(program, arguments);
}

void UpgradeRunner::stop()
{
    if (d->process.state() == QProcess::NotRunning)
        return;
    d->process.kill();
    d->process.waitForFinished(10000);
}

QProcess* UpgradeRunner::process() const
{
    return &d->process;
}

} // namespace ScannerStatus
