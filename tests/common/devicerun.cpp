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
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
    QFile file(hostPath(devicePath));
    if (QFileInfo(file).isDir())
        return QByteArrayLiteral("<dir>");
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray data = file.readAll();
    return data.isNull() ? QByteArrayLiteral("") : data;
}

bool DeviceRun::start(const QStringList& arguments)
{
    stop();
    m_chunks.clear();
    m_closeOutput = false;
    const QByteArray fifo = QFile::encodeName(m_root.filePath(QStringLiteral("stdout")));
    ::mkfifo(fifo.constData(), 0600);
    // Opened for reading first, the FIFO lets QProcess open it for the program's output at once.
    const int fd = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QStringList sandboxArgs{QStringLiteral("--root"), m_root.path()};
    if (!m_tmpSize.isEmpty())
        sandboxArgs << QStringLiteral("--tmp-size") << m_tmpSize;
    sandboxArgs << QStringLiteral("--") << targetCommand(QStringLiteral(SCANNER_UPGRADE_BIN))
                << arguments;
    m_process = std::make_unique<QProcess>();
    m_process->setStandardOutputFile(QFile::decodeName(fifo));
    QDir().mkpath(hostPath(QStringLiteral("/run/sandbox")));
    m_process->setStandardErrorFile(hostPath(QStringLiteral("/run/sandbox/trace")));
    m_process->start(QStringLiteral(SCANNER_SANDBOX_SCRIPT), sandboxArgs);
    m_reader = std::thread([this, fd] { readOutput(fd); });
    return m_process->waitForStarted(10000);
}

void DeviceRun::readOutput(int fd)
{
    pollfd poller{fd, POLLIN, 0};
    char buffer[65536];
    while (!m_closeOutput) {
        if (::poll(&poller, 1, 20) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (n <= 0 && !(n < 0 && errno == EAGAIN))
            break;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (n > 0)
            m_chunks.append({QByteArray(buffer, int(n)), now});
    }
    // The program's next write then finds no reader, as when its parent goes away.
    ::close(fd);
}

void DeviceRun::closeOutput()
{
    m_closeOutput = true;
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
    return m_process && m_process->state() != QProcess::NotRunning;
}

void DeviceRun::stop()
{
    if (isRunning()) {
        ::kill(pid_t(m_process->processId()), SIGKILL);
        m_process->waitForFinished(10000);
    }
    if (m_reader.joinable())
        m_reader.join();
}
