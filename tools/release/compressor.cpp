#include "compressor.h"
#include "commandline.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const int kChunk = 1 << 20;

} // namespace

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno != EINTR)
            return false;
        data += qMax<ssize_t>(n, 0);
        size -= qMax<ssize_t>(n, 0);
    }
    return true;
}

Compressor::~Compressor()
{
    if (m_pid > 0)
        ::kill(m_pid, SIGTERM);
    finish();
}

bool Compressor::start(const QString& path, const QStringList& args, int out, QString& why)
{
    m_name = QFileInfo(path).fileName();
    // The compressors read options from these: the bytes must depend on ours alone.
    std::vector<QByteArray> strings;
    for (char** entry = environ; *entry; ++entry) {
        const QByteArray variable(*entry);
        if (!variable.startsWith("BZIP=") && !variable.startsWith("BZIP2=") &&
            !variable.startsWith("LBZIP2="))
            strings.push_back(variable);
    }
    const size_t environment = strings.size();
    strings.push_back(QFile::encodeName(path));
    for (const QString& arg : args)
        strings.push_back(arg.toLocal8Bit());
    std::vector<char*> envp, argv;
    for (size_t i = 0; i < strings.size(); ++i)
        (i < environment ? envp : argv).push_back(strings[i].data());
    envp.push_back(nullptr);
    argv.push_back(nullptr);

    int input[2], output[2];
    m_errors = std::tmpfile();
    if (!m_errors || ::pipe2(input, O_CLOEXEC) != 0) {
        why = QStringLiteral("cannot run %1: %2").arg(m_name, systemError());
        return false;
    }
    if (::pipe2(output, O_CLOEXEC) != 0) {
        why = QStringLiteral("cannot run %1: %2").arg(m_name, systemError());
        ::close(input[0]);
        ::close(input[1]);
        return false;
    }
    // A compressor that dies makes the writes fail with EPIPE instead of ending this
    // process.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &m_sigpipe);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(::fileno(m_errors), STDERR_FILENO);
        ::sigaction(SIGPIPE, &m_sigpipe, nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    const int error = errno;
    ::close(input[0]);
    ::close(output[1]);
    m_input = input[1];
    m_output = output[0];
    if (m_pid < 0) {
        ::sigaction(SIGPIPE, &m_sigpipe, nullptr);
        why = QStringLiteral("cannot run %1: %2").arg(m_name, systemError(error));
        return false;
    }
    m_out = out;
    m_drain = std::thread([this] { drain(); });
    return true;
}

bool Compressor::write(const char* data, qint64 size)
{
    return !m_failed && writeAll(m_input, data, size);
}

QString Compressor::finish()
{
    if (m_input >= 0)
        ::close(m_input);
    m_input = -1;
    if (m_drain.joinable())
        m_drain.join();
    if (m_output >= 0)
        ::close(m_output);
    m_output = -1;
    QString why;
    if (m_pid > 0) {
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        ::sigaction(SIGPIPE, &m_sigpipe, nullptr);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            QByteArray said(4096, '\0');
            std::rewind(m_errors);
            said.resize(int(std::fread(said.data(), 1, size_t(said.size()), m_errors)));
            why = QString::fromLocal8Bit(said).trimmed();
            if (why.isEmpty())
                why = WIFEXITED(status)
                          ? QStringLiteral("exit code %1").arg(WEXITSTATUS(status))
                          : QStringLiteral("killed by signal %1").arg(WTERMSIG(status));
            why = QStringLiteral("%1 failed: %2").arg(m_name, why);
        }
    }
    if (m_errors)
        std::fclose(m_errors);
    m_errors = nullptr;
    return why;
}

void Compressor::drain()
{
    QByteArray chunk(kChunk, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(m_output, chunk.data(), size_t(chunk.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        // After a failed write the rest is read and dropped, so that the compressor never
        // waits for a reader that is gone.
        if (!m_failed && !writeAll(m_out, chunk.constData(), n)) {
            m_writeError = systemError();
            m_failed = true;
        }
    }
}
