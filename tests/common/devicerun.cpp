#include "devicerun.h"

#include "devicesandbox.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
constexpr auto kSkipEmpty = Qt::SkipEmptyParts;
#else
constexpr auto kSkipEmpty = QString::SkipEmptyParts;
#endif

QString sandboxBase()
{
    const QByteArray base = qgetenv("SCANNER_SANDBOX_BASE");
    return base.isEmpty() ? QStringLiteral("/var/tmp") : QString::fromLocal8Bit(base);
}

// Overlay upper layers mark deleted lower files with a 0/0 character device.
bool isWhiteout(const QString& path)
{
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == 0;
}

QString unescapeField(const QString& field)
{
    QString out;
    for (int i = 0; i < field.size(); ++i) {
        if (field.at(i) == QLatin1Char('\\') && i + 1 < field.size()) {
            const QChar next = field.at(++i);
            out += next == QLatin1Char('t')   ? QLatin1Char('\t')
                   : next == QLatin1Char('n') ? QLatin1Char('\n')
                                              : next;
        } else {
            out += field.at(i);
        }
    }
    return out;
}

} // namespace

DeviceRun::DeviceRun() : m_root(sandboxBase() + QStringLiteral("/scanner-run.XXXXXX"))
{
    QFile::copy(QStringLiteral(SCANNER_DEFAULT_MEMINFO),
                m_root.path() + QStringLiteral("/meminfo"));
    QDir(m_root.path()).mkpath(QStringLiteral("upper/usr/scanner/config"));
    QDir(m_root.path()).mkpath(QStringLiteral("run/media/mmcblk2p1"));
}

DeviceRun::~DeviceRun()
{
    stop();
}

QString DeviceRun::hostPath(const QString& devicePath) const
{
    const QString path = QDir::cleanPath(devicePath);
    for (const char* top : {"/tmp", "/run"}) {
        const QString prefix = QLatin1String(top);
        if (path == prefix || path.startsWith(prefix + QLatin1Char('/')))
            return m_root.path() + path;
    }
    for (const char* top : {"/etc", "/usr"}) {
        const QString prefix = QLatin1String(top);
        if (path == prefix || path.startsWith(prefix + QLatin1Char('/')))
            return m_root.path() + QStringLiteral("/upper") + path;
    }
    return QString();
}

QString DeviceRun::lowerPath(const QString& devicePath) const
{
    const QString upper = hostPath(devicePath);
    if (upper.isEmpty() || !upper.startsWith(m_root.path() + QStringLiteral("/upper/")))
        return upper;
    if (QFileInfo::exists(upper) || isWhiteout(upper))
        return upper;
    return QDir::cleanPath(devicePath);
}

bool DeviceRun::writeFile(const QString& devicePath, const QByteArray& data) const
{
    const QString path = hostPath(devicePath);
    if (path.isEmpty() || !QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

bool DeviceRun::makeDir(const QString& devicePath) const
{
    const QString path = hostPath(devicePath);
    return !path.isEmpty() && QDir().mkpath(path);
}

bool DeviceRun::exists(const QString& devicePath) const
{
    const QString path = lowerPath(devicePath);
    return !path.isEmpty() && !isWhiteout(path) && QFileInfo::exists(path);
}

bool DeviceRun::isDir(const QString& devicePath) const
{
    return exists(devicePath) && QFileInfo(lowerPath(devicePath)).isDir();
}

QByteArray DeviceRun::readFile(const QString& devicePath) const
{
    if (!exists(devicePath))
        return QByteArray();
    QFile file(lowerPath(devicePath));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int DeviceRun::permissions(const QString& devicePath) const
{
    struct stat st;
    if (!exists(devicePath) || stat(QFile::encodeName(lowerPath(devicePath)).constData(), &st) != 0)
        return 0;
    return int(st.st_mode & 07777);
}

bool DeviceRun::setMeminfo(const QByteArray& text) const
{
    QFile file(m_root.path() + QStringLiteral("/meminfo"));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

bool DeviceRun::setFake(const QString& tool, const QByteArray& behaviour) const
{
    return writeFile(QStringLiteral("/run/sandbox/fake/") + tool, behaviour);
}

void DeviceRun::setTmpSize(const QString& size)
{
    m_tmpSize = size;
}

bool DeviceRun::start(const QStringList& arguments)
{
    if (isRunning() || !m_root.isValid())
        return false;
    m_chunks.clear();
    m_stderr.clear();
    QStringList sandboxArgs{QStringLiteral("--root"), m_root.path(), QStringLiteral("--meminfo"),
                            m_root.path() + QStringLiteral("/meminfo")};
    if (!m_tmpSize.isEmpty())
        sandboxArgs << QStringLiteral("--tmp-size") << m_tmpSize;
    sandboxArgs << QStringLiteral("--");
    sandboxArgs += DeviceSandbox::targetCommand(QStringLiteral(SCANNER_UPGRADE_BIN)) + arguments;

    m_process = std::make_unique<QProcess>();
    QProcess* process = m_process.get();
    QObject::connect(process, &QProcess::readyReadStandardOutput, [this, process] {
        m_chunks.append({process->readAllStandardOutput(), QDateTime::currentMSecsSinceEpoch()});
    });
    QObject::connect(process, &QProcess::readyReadStandardError,
                     [this, process] { m_stderr += process->readAllStandardError(); });
    process->start(DeviceSandbox::script(), sandboxArgs);
    return process->waitForStarted(10000);
}

void DeviceRun::closeOutput()
{
    if (!isRunning())
        return;
    // QProcess only stops delivering a closed channel and keeps the pipe open, so the program
    // would never notice. Our end of its stdout pipe is replaced by /dev/null instead: the pipe
    // loses its last reader, and QProcess sees the end of the channel.
    char target[64] = {};
    const QByteArray childFd = QByteArray("/proc/") + QByteArray::number(pid()) + "/fd/1";
    if (::readlink(childFd.constData(), target, sizeof target - 1) <= 0)
        return;
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (const QString& fd : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System)) {
        char own[64] = {};
        const QByteArray ownFd = "/proc/self/fd/" + fd.toLatin1();
        if (::readlink(ownFd.constData(), own, sizeof own - 1) > 0 && qstrcmp(own, target) == 0)
            ::dup3(devNull, fd.toInt(), O_CLOEXEC);
    }
    ::close(devNull);
}

bool DeviceRun::waitForOutput(const QByteArray& expected, int timeoutMs)
{
    return waitUntil([&] { return output() == expected; }, timeoutMs);
}

bool DeviceRun::waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs) {
        if (m_process)
            m_process->waitForReadyRead(20);
        else
            QThread::msleep(20);
        QCoreApplication::processEvents();
    }
    return done();
}

void DeviceRun::settle(int msec)
{
    waitUntil([] { return false; }, msec);
}

void DeviceRun::settleQuiet(int msec)
{
    const auto quietFor = [this] {
        const qint64 last = m_chunks.isEmpty() ? 0 : m_chunks.last().arrivalMs;
        return QDateTime::currentMSecsSinceEpoch() - last;
    };
    waitUntil([&] { return quietFor() >= msec; }, msec + 60000);
}

QByteArray DeviceRun::output() const
{
    QByteArray all;
    for (const Chunk& chunk : m_chunks)
        all += chunk.bytes;
    return all;
}

QList<DeviceRun::Chunk> DeviceRun::chunks() const
{
    return m_chunks;
}

QByteArray DeviceRun::errorOutput() const
{
    return m_stderr;
}

qint64 DeviceRun::sinceExecMs(qint64 wallClockMs) const
{
    const qint64 execNs = readFile(QStringLiteral("/run/sandbox/exec-ns")).trimmed().toLongLong();
    return wallClockMs - execNs / 1000000;
}

bool DeviceRun::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

qint64 DeviceRun::pid() const
{
    return m_process ? m_process->processId() : 0;
}

void DeviceRun::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        ::kill(pid_t(m_process->processId()), SIGKILL);
        m_process->waitForFinished(10000);
    }
    const QByteArray rest = m_process->readAllStandardOutput();
    if (!rest.isEmpty())
        m_chunks.append({rest, QDateTime::currentMSecsSinceEpoch()});
    m_stderr += m_process->readAllStandardError();
    m_process->disconnect();
}

QList<QStringList> DeviceRun::toolCalls() const
{
    QList<QStringList> calls;
    const QString log = QString::fromUtf8(readFile(QStringLiteral("/run/sandbox/calls.log")));
    for (const QString& line : log.split(QLatin1Char('\n'), kSkipEmpty)) {
        QStringList call;
        for (const QString& field : line.split(QLatin1Char('\t')))
            call << unescapeField(field);
        calls << call;
    }
    return calls;
}

QList<QStringList> DeviceRun::toolCalls(const QString& tool) const
{
    QList<QStringList> calls;
    for (QStringList call : toolCalls()) {
        if (call.takeFirst() == tool)
            calls << call;
    }
    return calls;
}
