#ifndef SCANNERSTATUS_STATUSREADER_H
#define SCANNERSTATUS_STATUSREADER_H

#include <scannerstatus/statusstream.h>

#include <QObject>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QIODevice;
class QProcess;
QT_END_NAMESPACE

namespace ScannerStatus {

class StatusReaderPrivate;

/// Follows the status stream on a QIODevice as it arrives and reports it through signals.
///
/// Bytes are split by a StatusStream with the default quiet and merge times, their arrival
/// measured from follow(). Each item is reported once it is complete: a message a merge time
/// after its last bytes, at the latest when the device's read channel ends.
class SCANNERSTATUS_EXPORT StatusReader : public QObject {
    Q_OBJECT
public:
    /// A reader that follows nothing yet.
    explicit StatusReader(QObject* parent = nullptr);
    /// Stops following; the device is left as it is.
    ~StatusReader() override;

    /// Follows device, which stays the caller's, from now on; call once.
    void follow(QIODevice* device);
    /// How long to wait, from follow() on, for a final message; 0 (the default) waits for ever.
    /// Takes effect at follow().
    void setTimeout(int ms);
    /// The wait for a final message, in ms; 0 for none.
    int timeout() const;
    /// The latest stage reached, -1 before the first.
    int stage() const;
    /// The first final message; while none has come, an empty Item, which is not final.
    Item finalMessage() const;

Q_SIGNALS:
    /// A status message, final or not.
    void messageReceived(const ScannerStatus::Item& message);
    /// A stretch of the tools' console output.
    void toolOutputReceived(const ScannerStatus::Item& output);
    /// The stage of the message just reported; indices grow along a run, skipping stages
    /// that the package does not have.
    void stageReached(int stage);
    /// A final message: UB99 or a "UC" message. A failed verification of the unpacked files
    /// sends two, its own and then "UC19".
    void finalMessageReceived(const ScannerStatus::Item& message);
    /// No final message came within the timeout.
    void timedOut();

private:
    QScopedPointer<StatusReaderPrivate> d;
};

class UpgradeRunnerPrivate;

/// Runs the device program through QProcess and follows its standard output.
///
/// The program never ends by itself: after its final message it idles until it is stopped.
/// Its standard error, the debug trace, goes to this process's unless process() says otherwise.
class SCANNERSTATUS_EXPORT UpgradeRunner : public StatusReader {
    Q_OBJECT
public:
    /// A runner that has started nothing yet.
    explicit UpgradeRunner(QObject* parent = nullptr);
    /// Stops the program if it still runs.
    ~UpgradeRunner() override;

    /// Starts program with arguments ("scanner-upgrade" and the package, or a command that runs
    /// it) and follows its standard output; QProcess reports a failed start through process().
    void start(const QString& program, const QStringList& arguments);
    /// Kills the program, waits for its end and reports what it wrote last.
    void stop();
    /// The process, to set up before start() or to watch.
    QProcess* process() const;

private:
    QScopedPointer<UpgradeRunnerPrivate> d;
};

} // namespace ScannerStatus

#endif // SCANNERSTATUS_STATUSREADER_H
