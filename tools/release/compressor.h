#ifndef COMPRESSOR_H
#define COMPRESSOR_H

#include <QString>
#include <QStringList>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

#include <sys/types.h>

/// Writes all of data to fd; false, with errno set, when it cannot. QFile's own writes lose
/// the system's reason.
bool writeAll(int fd, const char* data, qint64 size);

/// A compressor run as a child process: fed through a pipe, while a thread of its own writes
/// what it makes to the output.
class Compressor {
public:
    Compressor() = default;
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    /// Stops a compressor that was not finished.
    ~Compressor();

    /// Starts path with args, its output going to the file descriptor out; false with why
    /// when it cannot.
    bool start(const QString& path, const QStringList& args, int out, QString& why);

    /// Feeds it; false once it reads no more, or its output cannot be written.
    bool write(const char* data, qint64 size);

    /// Why the output could not be written, or an empty text.
    QString writeError() const { return m_writeError; }

    /// Ends its input and waits for it; why it failed, or an empty text.
    QString finish();

private:
    void drain();

    QString m_name;
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::FILE* m_errors = nullptr;
    struct sigaction m_sigpipe = {};
    int m_out = -1;
    std::thread m_drain;
    std::atomic<bool> m_failed{false};
    QString m_writeError;
};

#endif // COMPRESSOR_H
