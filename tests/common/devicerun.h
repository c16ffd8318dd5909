#ifndef DEVICERUN_H
#define DEVICERUN_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

/// One run of the real device program in a device sandbox of its own.
///
/// The appliance's state lives in a scratch directory on the host, so a test can
/// prepare files before the run and read them back afterwards through the device
/// paths it knows (/tmp/..., /run/..., /etc/..., /usr/...). Many runs may go on at
/// once. The program never exits by itself: a run is done when the expected output
/// has arrived, and stop() ends it by its pid.
class DeviceRun {
public:
    /// Bytes of one read from the program's standard output and when they arrived.
    struct Chunk {
        QByteArray bytes;
        qint64 arrivalMs; ///< wall-clock arrival, milliseconds since the epoch
    };

    /// Makes a fresh throwaway appliance; nothing runs yet.
    DeviceRun();
    /// Stops the program if it still runs and removes the appliance.
    ~DeviceRun();
    DeviceRun(const DeviceRun&) = delete;
    DeviceRun& operator=(const DeviceRun&) = delete;

    /// Where the file at a device path lives on the host, for a write before the run.
    QString hostPath(const QString& devicePath) const;
    /// Writes a file at a device path, creating its directories.
    bool writeFile(const QString& devicePath, const QByteArray& data) const;
    /// Creates a directory at a device path.
    bool makeDir(const QString& devicePath) const;
    /// True when a file or directory exists at the device path as the device sees it.
    bool exists(const QString& devicePath) const;
    /// True when the device path is a directory as the device sees it.
    bool isDir(const QString& devicePath) const;
    /// The content of a device file as the device sees it; empty when missing.
    QByteArray readFile(const QString& devicePath) const;
    /// Mode bits of a device file (07777 mask), 0 when missing.
    int permissions(const QString& devicePath) const;
    /// Sets the text that the device reads as /proc/meminfo.
    bool setMeminfo(const QByteArray& text) const;
    /// Tells a fake appliance tool to "exit N" or "crash" instead of succeeding.
    bool setFake(const QString& tool, const QByteArray& behaviour) const;

    /// Makes the device's /tmp a tmpfs of this size (e.g. "4m") from the next start on,
    /// holding a copy of what was prepared there; the run's changes to /tmp are then lost.
    void setTmpSize(const QString& size);

    /// Starts the device program with these arguments; false when it could not start.
    /// After stop() it starts a new run on the same appliance, whose output starts afresh.
    bool start(const QStringList& arguments);
    /// Closes the reading end of the program's standard output, as a parent that goes away.
    void closeOutput();
    /// Processes events until the output equals expected or timeoutMs passes; true on a match.
    bool waitForOutput(const QByteArray& expected, int timeoutMs);
    /// Processes events until done() holds or timeoutMs passes; returns done().
    bool waitUntil(const std::function<bool()>& done, int timeoutMs);
    /// Keeps collecting output for msec milliseconds.
    void settle(int msec);
    /// Keeps collecting output until msec milliseconds have passed without any.
    void settleQuiet(int msec);
    /// Every byte the program wrote to standard output so far.
    QByteArray output() const;
    /// The program's standard output, read by read, with arrival times.
    QList<Chunk> chunks() const;
    /// Every byte the program wrote to standard error so far (its debug trace).
    QByteArray errorOutput() const;
    /// Milliseconds from the program's exec to the wall-clock time given.
    qint64 sinceExecMs(qint64 wallClockMs) const;
    /// True while the program runs.
    bool isRunning() const;
    /// The program's pid, 0 when not started.
    qint64 pid() const;
    /// Ends the program by its pid and collects what it left in the pipes.
    void stop();
    /// Every call of the fake tools, in order: the tool's name, then its arguments.
    QList<QStringList> toolCalls() const;
    /// The calls of one fake tool, each as its argument list.
    QList<QStringList> toolCalls(const QString& tool) const;

private:
    QString lowerPath(const QString& devicePath) const;

    QTemporaryDir m_root;
    std::unique_ptr<QProcess> m_process;
    QList<Chunk> m_chunks;
    QByteArray m_stderr;
    QString m_tmpSize;
};

#endif // DEVICERUN_H
