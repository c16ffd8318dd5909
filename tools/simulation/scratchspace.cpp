#include "scratchspace.h"

#include "commandline.h"
#include "signalcleanup.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

const qint64 kPage = 4096;
const char kNoTmpfs[] = "UPGRADE_PACK_NO_TMPFS";

// Taken before the tool enters a user namespace, where it is root without being it.
const bool g_startedAsRoot = ::geteuid() == 0;

bool writeProcFile(const char* path, const QByteArray& text)
{
    QFile file{QString::fromLatin1(path)};
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// A mount namespace of the tool's own, entered once: mounts made there are seen by no other
// process and end with the tool's. Without root the tool is its namespace's root, mapped to
// the user it is; tar then cannot give files their owners, which the simulation does not need.
bool ownMountNamespace(QString& why)
{
    static int state = 0;
    static QString reason;
    if (state == 0) {
        state = -1;
        if (qEnvironmentVariableIsSet(kNoTmpfs)) {
            reason = QStringLiteral("%1 is set").arg(QLatin1String(kNoTmpfs));
        } else {
            const QByteArray uid = QByteArray::number(::getuid());
            const QByteArray gid = QByteArray::number(::getgid());
            const int flags = CLONE_NEWNS | (g_startedAsRoot ? 0 : CLONE_NEWUSER);
            if (::unshare(flags) != 0)
                reason =
                    QStringLiteral("the system refuses a mount namespace: %1").arg(systemError());
            else if (!g_startedAsRoot && (!writeProcFile("/proc/self/setgroups", "deny") ||
                                          !writeProcFile("/proc/self/uid_map", "0 " + uid + " 1") ||
                                          !writeProcFile("/proc/self/gid_map", "0 " + gid + " 1")))
                reason =
                    QStringLiteral("cannot map the user into its namespace: %1").arg(systemError());
            else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                reason = QStringLiteral("cannot make the mounts private: %1").arg(systemError());
            else
                state = 1;
        }
    }
    why = reason;
    return state == 1;
}

bool mountTmpfs(const QByteArray& target, qint64 bytes, const char* mode)
{
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=" + mode;
    return ::mount("upgrade-pack", target.constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                   options.constData()) == 0;
}

/// Bytes the entries below dir hold on disk, each inode once; directories only when asked.
qint64 allocated(const QString& dir, bool directories)
{
    QSet<QPair<quint64, quint64>> seen;
    qint64 bytes = 0;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        struct stat st;
        if (::lstat(QFile::encodeName(it.next()).constData(), &st) != 0 ||
            (S_ISDIR(st.st_mode) && !directories))
            continue;
        if (st.st_nlink > 1 && !S_ISDIR(st.st_mode)) {
            const QPair<quint64, quint64> inode{quint64(st.st_dev), quint64(st.st_ino)};
            if (seen.contains(inode))
                continue;
            seen.insert(inode);
        }
        bytes += (qint64(st.st_blocks) * 512 + kPage - 1) / kPage * kPage;
    }
    return bytes;
}

} // namespace

ScratchSpace::ScratchSpace() = default;

ScratchSpace::~ScratchSpace()
{
    if (!m_mounted.isEmpty())
        ::umount2(m_mounted.constData(), MNT_DETACH);
}

QString ScratchSpace::kindName(Kind kind)
{
    return kind == Kind::Tmpfs ? QStringLiteral("tmpfs") : QStringLiteral("counted");
}

bool ScratchSpace::makesDevices()
{
    return g_startedAsRoot;
}

bool ScratchSpace::create(qint64 tmpBytes, qint64 otherBytes)
{
    m_tmpBytes = tmpBytes / kPage * kPage;
    // A write that a limit of this host's fails would look like one that /tmp's budget fails.
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        qint64(limit.rlim_cur) < m_tmpBytes + otherBytes) {
        return fail(
            QStringLiteral("the file size limit (ulimit -f) of %1 bytes is less than the %2 "
                           "bytes a file of the simulated appliance may take")
                .arg(qint64(limit.rlim_cur))
                .arg(m_tmpBytes + otherBytes));
    }
    QString why;
    if (ownMountNamespace(why) && createTmpfs(otherBytes))
        return true;
    return createCounted(otherBytes);
}

// The scratch covers TMPDIR, in the tool's own mount namespace alone: nothing of it is ever
// written to the host's disk, and it is gone with the tool however the tool ends. Files under
// TMPDIR are out of the tool's sight meanwhile, so the package is opened before.
bool ScratchSpace::createTmpfs(qint64 otherBytes)
{
    const QString point = QDir::cleanPath(QDir::tempPath());
    const QByteArray encoded = QFile::encodeName(point);
    if (!mountTmpfs(encoded, kDeviceFilesBytes + otherBytes, "0755"))
        return false;
    m_mounted = encoded;
    const QByteArray tmp = encoded + "/tmp";
    if (::mkdir(tmp.constData(), 0755) != 0 || !mountTmpfs(tmp, m_tmpBytes, "1777")) {
        ::umount2(encoded.constData(), MNT_DETACH);
        m_mounted.clear();
        return false;
    }
    m_kind = Kind::Tmpfs;
    m_root = point;
    return true;
}

// On the host's disk the scratch can hold what the budget lets tar write only when the disk
// has that much free: a disk that runs full would look like a full /tmp.
bool ScratchSpace::createCounted(qint64 otherBytes)
{
    m_kind = Kind::Counted;
    const QString temp = QDir::tempPath();
    struct statvfs fs;
    const qint64 needed = m_tmpBytes + kDeviceFilesBytes + otherBytes;
    if (::statvfs(QFile::encodeName(temp).constData(), &fs) == 0 &&
        qint64(fs.f_bavail) * qint64(fs.f_frsize) < needed) {
        return fail(
            QStringLiteral("%1 has %2 MiB free, less than the %3 MiB the simulated appliance "
                           "may take there; give a smaller --tmp-free or set TMPDIR "
                           "elsewhere")
                .arg(temp)
                .arg(qint64(fs.f_bavail) * qint64(fs.f_frsize) >> 20)
                .arg(needed >> 20));
    }
    SignalsHeld held;
    m_dir = std::make_unique<QTemporaryDir>(
        QDir::temp().filePath(QStringLiteral("upgrade-pack-plan-XXXXXX")));
    m_removal.set(m_dir->path());
    held.release();
    if (!m_dir->isValid()) {
        return fail(
            QStringLiteral("cannot make a scratch directory: %1").arg(m_dir->errorString()));
    }
    m_root = m_dir->path();
    if (!QDir().mkpath(m_root + QStringLiteral("/tmp"))) {
        return fail(QStringLiteral("cannot write in the scratch directory %1").arg(m_root));
    }
    return true;
}

qint64 ScratchSpace::tmpUsed() const
{
    if (m_kind == Kind::Counted)
        return allocated(m_root + QStringLiteral("/tmp"), false);
    struct statvfs fs;
    if (::statvfs(QFile::encodeName(m_root + QStringLiteral("/tmp")).constData(), &fs) != 0)
        return 0;
    return qint64(fs.f_blocks - fs.f_bfree) * qint64(fs.f_frsize);
}

qint64 ScratchSpace::diskUsed() const
{
    return m_kind == Kind::Counted ? allocated(m_root, true) : 0;
}
