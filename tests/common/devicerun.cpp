#include "devicerun.h"

#include "fixtures.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

QStringList targetCommand(const QString& program)
{
    QStringList command;
    for (const QString& part : QStringLiteral(SCANNER_EMULATOR).split(QLatin1Char(';'))) {
        if (!part.isEmpty())
            command << part;
    }
    return command << program;
}

DeviceRun::DeviceRun() : m_root(QStringLiteral("/var/tmp/scanner-run.XXXXXX")) {}

DeviceRun::~DeviceRun()
{
    stop();
}

QString DeviceRun::hostPath(const QString& devicePath) const
{
    const QString path = QDir::cleanPath(devicePath);
    if (path == QLatin1String("/proc/meminfo"))
        return m_root.filePath(QStringLiteral("meminfo"));
    const bool overlay = path.startsWith(QLatin1String("/etc/")) ||
                         path.startsWith(QLatin1String("/usr/")) || path == QLatin1String("/etc") ||
                         path == QLatin1String("/usr");
    return m_root.path() + (overlay ? QStringLiteral("/upper") : QString()) + path;
}

void DeviceRun::write(const QString& devicePath, const QByteArray& data) const
{
    const QString path = hostPath(devicePath);
    QDir().mkpath(data == "<dir>" ? path : QFileInfo(path).path());
    if (data == "<fifo>")
        ::mkfifo(QFile::encodeName(path).constData(), 0644);
    else if (data != "<dir>")
        writeFile(path, data);
}

QByteArray DeviceRun::read(const QString& devicePath) const
{
    const QString path = hostPath(devicePath);
    return QFileInfo(path).isDir() ? QByteArrayLiteral("<dir>") : readFile(path);
}

bool DeviceRun::start(const QStringList& arguments)
{
    stop();
    m_chunks.clear();
    const QByteArray fifo = QFile::encodeName(m_root.filePath(QStringLiteral("stdout")));
    ::mkfifo(fifo.constData(), 0600);
    // Opened for reading first, the FIFO lets the program open it for its output at once.
    const int fd = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QStringList command{QStringLiteral(SCANNER_SANDBOX_BIN), QStringLiteral("--root"),
                        m_root.path()};
    if (!m_tmpSize.isEmpty())
        command << QStringLiteral("--tmp-size") << m_tmpSize;
    command << QStringLiteral("--") << targetCommand(QStringLiteral(SCANNER_UPGRADE_BIN))
            << arguments;
    std::vector<QByteArray> bytes;
    bytes.reserve(size_t(command.size()));
    std::vector<char*> argv;
    for (const QString& argument : command)
        argv.push_back(bytes.emplace_back(QFile::encodeName(argument)).data());
    argv.push_back(nullptr);
    QDir().mkpath(hostPath(QStringLiteral("/run/sandbox")));
    const QByteArray trace = QFile::encodeName(hostPath(QStringLiteral("/run/sandbox/trace")));
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, fifo.constData(), O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, trace.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    // A group of its own, so that stop() ends the tools it runs too, as a power cut would: a
    // tool left running would write into the next run's state.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    // Hundreds of runs at once may meet the process limit for a moment: that is worth a wait.
    int error = EAGAIN;
    for (int tries = 0; error == EAGAIN && tries < 50; ++tries) {
        if (tries > 0)
            ::usleep(100000);
        error = ::posix_spawn(&m_pid, argv.front(), &files, &attributes, argv.data(), environ);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    const bool started = error == 0;
    if (!started)
        m_pid = 0;
    m_stopReading = ::eventfd(0, EFD_CLOEXEC);
    m_reader = std::thread([this, fd] { readOutput(fd); });
    return started;
}

void DeviceRun::readOutput(int fd)
{
    pollfd pollers[2] = {{fd, POLLIN, 0}, {m_stopReading, POLLIN, 0}};
    char buffer[65536];
    for (;;) {
        if (::poll(pollers, 2, -1) < 0 && errno != EINTR)
            break;
        // What is in the pipe is read before a request to stop, so that stop() collects it.
        if (pollers[0].revents) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            if (n > 0) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_chunks.append({QByteArray(buffer, int(n)), now});
                continue;
            }
            if (n == 0 || errno != EAGAIN)
                break;
        }
        if (pollers[1].revents)
            break;
    }
    // The program's next write then finds no reader, as when its parent goes away.
    ::close(fd);
}

void DeviceRun::closeOutput()
{
    ::eventfd_write(m_stopReading, 1);
}

bool DeviceRun::waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        ::usleep(5000);
    }
    return done();
}

QList<DeviceRun::Chunk> DeviceRun::chunks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_chunks;
}

QByteArray DeviceRun::output() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QByteArray all;
    for (const Chunk& chunk : m_chunks)
        all += chunk.bytes;
    return all;
}

bool DeviceRun::isRunning() const
{
    // Not reaped here: until stop() reaps it, the pid names the program's group and no other.
    siginfo_t info{};
    return m_pid > 0 && ::waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

void DeviceRun::stop()
{
    if (m_pid > 0) {
        ::kill(-m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = 0;
    }
    if (m_reader.joinable()) {
        // A child the program left behind may hold the pipe open: no end of file need come.
        closeOutput();
        m_reader.join();
        ::close(m_stopReading);
    }
}
