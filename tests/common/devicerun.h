#ifndef DEVICERUN_H
#define DEVICERUN_H

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <mutex>
#include <thread>

#include <sys/types.h>

/// The command line that runs a program built for the target: the cross-compiling emulator,
/// if any, followed by the program.
QStringList targetCommand(const QString& program);

/// One run of the real device program in a device sandbox of its own, whose state a test prepares
/// and inspects through the device's paths; its debug trace is /run/sandbox/trace. Many runs may
/// go on at once. The program never exits by itself: stop() ends it.
class DeviceRun {
public:
    /// Bytes of one read from the program's standard output and when they arrived.
    struct Chunk {
        QByteArray bytes;
        qint64 arrivalMs; ///< wall-clock milliseconds since the epoch
    };

    /// A fresh throwaway appliance; nothing runs yet.
    DeviceRun();
    /// Stops the program if it still runs.
    ~DeviceRun();

    /// Where a device path lives on the host.
    QString hostPath(const QString& devicePath) const;
    /// Writes a device file, creating its directories; "<dir>" makes a directory, "<fifo>" a FIFO.
    void write(const QString& devicePath, const QByteArray& data) const;
    /// The content of a device file as the run left it; a null array when it is missing.
    QByteArray read(const QString& devicePath) const;
    /// Makes the device's /tmp a tmpfs of this size (e.g. "4m") from the next start on.
    void setTmpSize(const QString& size) { m_tmpSize = size; }

    /// Starts the device program with these arguments; its output starts afresh.
    bool start(const QStringList& arguments);
    /// Closes the reading end of the program's standard output, as a parent that goes away.
    void closeOutput();
    /// Processes events until done() holds or timeoutMs passes; returns done().
    static bool waitUntil(const std::function<bool()>& done, int timeoutMs);
    /// Every byte the program wrote to standard output so far.
    QByteArray output() const;
    /// Standard output read by read, with arrival times.
    QList<Chunk> chunks() const;
    /// True while the program runs.
    bool isRunning() const;
    /// Ends the program and every tool it runs, and collects what it left in the pipe.
    void stop();

private:
    void readOutput(int fd);

    QTemporaryDir m_root;
    // Spawned: a fork would copy the page tables of a test of many threads. 0 once stopped.
    pid_t m_pid = 0;
    QString m_tmpSize;
    // A thread of its own reads the output, so that arrival times hold however busy the test is;
    // it sleeps in poll() until output comes or this eventfd asks it to stop reading.
    std::thread m_reader;
    int m_stopReading = -1;
    mutable std::mutex m_mutex;
    QList<Chunk> m_chunks;
};

#endif // DEVICERUN_H
