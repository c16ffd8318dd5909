#include "packagechecker.h"
#include "asidefile.h"
#include "commandline.h"
#include "signalcleanup.h"
#include "statustexts.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QSet>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

const char kTablesTruncated[] = "the package ends inside its information or item table";
// How long a FIFO that nobody writes to yet is given to find its writer.
const int kWriterWaitMs = 2000;

} // namespace

PackageChecker::PackageChecker(const QString& path) : m_path(path) {}

// Opening a FIFO waits for a writer, which may never come: it is opened without waiting, and
// a writer it has not found within kWriterWaitMs is not waited for. Once one has come, the
// package takes as long as its writer does.
bool PackageChecker::open(QFile& package)
{
    struct stat status;
    const QByteArray path = QFile::encodeName(m_path);
    if (::stat(path.constData(), &status) != 0 || !S_ISFIFO(status.st_mode)) {
        package.setFileName(m_path);
        return package.open(QIODevice::ReadOnly) ||
               fail(QStringLiteral("cannot open %1: %2").arg(m_path, package.errorString()));
    }
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(QStringLiteral("cannot open %1: %2").arg(m_path, systemError(errno)));
    // Without waiting, a read finds the end only where no writer is; a writer that has not
    // written yet makes it fail with EAGAIN.
    char first = 0;
    ssize_t got = ::read(fd, &first, 1);
    pollfd writer = {fd, POLLIN, 0};
    if (got == 0 && ::poll(&writer, 1, kWriterWaitMs) <= 0) {
        ::close(fd);
        return fail(QStringLiteral("cannot read %1: no process writes to the FIFO").arg(m_path));
    }
    if (got == 0)
        got = ::read(fd, &first, 1);
    if ((got < 0 && errno != EAGAIN) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        !package.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        const QString why = systemError(errno);
        ::close(fd);
        return fail(QStringLiteral("cannot read %1: %2").arg(m_path, why));
    }
    if (got == 1)
        package.ungetChar(first);
    return true;
}

// Reading is not installing: a package of a type the device refuses is read all the same, and
// a pipe as the stream it is.
bool PackageChecker::read(const PackSink& sink, const PackProgress& progress, bool refuseMisread)
{
    QFile package;
    if (!open(package))
        return false;
    PackReader reader(package, true);
    bool ok = reader.readTables(m_items, m_type, m_information, true);
    m_read = reader.findings();
    // A package the device reads otherwise than its table says is refused before anything is
    // written; one cut before its item count was read says no items, and is no empty package.
    if (ok && refuseMisread && (m_read.itemCount > 0 || m_read.tablesTruncated)) {
        const QString misread = m_read.tablesTruncated ? QString::fromLatin1(kTablesTruncated)
                                                       : itemProblems().value(0);
        if (!misread.isEmpty())
            return fail(misread);
    }
    ok = ok && reader.readPayloads(sink, progress);
    m_read = reader.findings();
    return ok || fail(m_read.error);
}

bool PackageChecker::inspect(const PackProgress& progress)
{
    return read(PackSink::g_digest(), progress, false);
}

QString PackageChecker::itemLabel(int index) const
{
    return QStringLiteral("item %1 (%2)").arg(index + 1).arg(escapedText(m_items.at(index).name()));
}

qint64 PackageChecker::itemSize(int index) const
{
    const st_packPayload& payload = m_read.payloads.at(index);
    bool ok = false;
    const qint64 size = payload.size.toLongLong(&ok);
    return ok ? size : payload.bytes;
}

bool PackageChecker::md5Ok(int index) const
{
    const st_packPayload& payload = m_read.payloads.at(index);
    return !payload.truncated && payload.md5 == m_items.at(index).md5();
}

QString PackageChecker::truncatedPayload(int index) const
{
    const st_packPayload& payload = m_read.payloads.at(index);
    return QStringLiteral("%1: truncated payload: %2 of %3 bytes")
        .arg(itemLabel(index))
        .arg(payload.bytes)
        .arg(escapedText(payload.size));
}

QString PackageChecker::md5Mismatch(int index) const
{
    return QStringLiteral("%1: md5 mismatch: expected %2, actual %3")
        .arg(itemLabel(index), escapedText(m_items.at(index).md5()), m_read.payloads.at(index).md5);
}

QString PackageChecker::countProblem() const
{
    return QStringLiteral("the item count %1 is negative: the device reads no items")
        .arg(m_read.itemCount);
}

// The device extracts every item beside the package under its file name alone. A name it
// cannot open as a file fails the whole read (UC12); of two items of one name only the second
// stays, so the first one's digest check fails unless both carry the same md5 (UC14); a NUL
// ends the name where the system takes it, so the file written is not the one checked (UC14).
QStringList PackageChecker::itemProblems() const
{
    QStringList found;
    QHash<QString, int> byName;
    for (int i = 0; i < m_items.size(); ++i) {
        const QString name = PackProcess::g_extractedName(m_items.at(i).name());
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
            found << QStringLiteral("%1: the device cannot write a file named \"%2\" (UC12)")
                         .arg(itemLabel(i), name);
        } else if (name.contains(QChar(0))) {
            found << QStringLiteral("%1: the name holds a NUL: the device writes the file as "
                                    "\"%2\" and finds nothing to check (UC14)")
                         .arg(itemLabel(i), escapedText(name.left(name.indexOf(QChar(0)))));
        } else if (byName.contains(name) &&
                   m_items.at(byName.value(name)).md5() != m_items.at(i).md5()) {
            found << QStringLiteral("%1 and %2 are both extracted as %3: the device keeps the "
                                    "second, and the first fails its md5 check (UC14)")
                         .arg(itemLabel(byName.value(name)), itemLabel(i), escapedText(name));
        }
        byName.insert(name, i);
    }
    return found;
}

QString PackageChecker::describe() const
{
    QString text = QStringLiteral("type: %1\ninformation:\n").arg(escapedText(m_type));
    for (int i = 0; i < m_information.size(); ++i)
        text += QStringLiteral("  %1: %2\n").arg(i + 1).arg(escapedText(m_information.at(i)));
    if (m_read.tablesTruncated)
        text += QStringLiteral("truncated: %1\n").arg(QLatin1String(kTablesTruncated));
    text += QStringLiteral("items: %1\n").arg(m_items.size());
    if (m_read.itemCount < 0)
        text += QStringLiteral("  (%1)\n").arg(countProblem());
    for (int i = 0; i < m_items.size(); ++i) {
        const PackItemInfo& item = m_items.at(i);
        text += QStringLiteral("  %1: %2\n").arg(i + 1).arg(escapedText(item.name()));
        text += QStringLiteral("     target: %1\n").arg(escapedText(item.target()));
        text += QStringLiteral("     md5:    %1\n").arg(escapedText(item.md5()));
        text += QStringLiteral("     size:   %1\n").arg(itemSize(i));
        text += QStringLiteral("     md5 ok: %1\n")
                    .arg(md5Ok(i) ? QStringLiteral("yes") : QStringLiteral("no"));
        if (m_read.payloads.at(i).truncated)
            text += QStringLiteral("     truncated: %1 bytes present\n")
                        .arg(m_read.payloads.at(i).bytes);
    }
    return text;
}

QJsonObject PackageChecker::toJson() const
{
    QJsonArray items;
    for (int i = 0; i < m_items.size(); ++i) {
        const PackItemInfo& item = m_items.at(i);
        items.append(QJsonObject{{QStringLiteral("name"), item.name()},
                                 {QStringLiteral("target"), item.target()},
                                 {QStringLiteral("md5"), item.md5()},
                                 {QStringLiteral("size"), double(itemSize(i))},
                                 {QStringLiteral("md5Ok"), md5Ok(i)},
                                 {QStringLiteral("truncated"), m_read.payloads.at(i).truncated}});
    }
    return QJsonObject{{QStringLiteral("type"), m_type},
                       {QStringLiteral("information"), QJsonArray::fromStringList(m_information)},
                       {QStringLiteral("truncated"), m_read.tablesTruncated},
                       {QStringLiteral("itemCount"), m_read.itemCount},
                       {QStringLiteral("items"), items}};
}

QStringList PackageChecker::problems() const
{
    QStringList found;
    if (!g_readerAcceptsType(m_type))
        found << QStringLiteral("upgrade type \"%1\": the device refuses the package (%2)")
                     .arg(escapedText(m_type), g_typeVerdictCode(g_upgradeTypeVerdict(m_type)));
    if (m_read.tablesTruncated)
        found << QLatin1String(kTablesTruncated);
    else
        found << itemProblems();
    for (int i = 0; i < m_items.size(); ++i) {
        const st_packPayload& payload = m_read.payloads.at(i);
        bool numeric = false;
        const qint64 size = payload.size.toLongLong(&numeric);
        if (payload.truncated && payload.size.isEmpty()) {
            found << QStringLiteral("%1: truncated payload: the package ends before its size")
                         .arg(itemLabel(i));
        } else if (!numeric || size < 0) {
            found << QStringLiteral("%1: size \"%2\" is not a byte count")
                         .arg(itemLabel(i), escapedText(payload.size));
        } else if (payload.truncated || payload.bytes != size) {
            found << truncatedPayload(i);
        } else if (payload.chunkCount != quint64(g_packageChunkCount(size))) {
            found << QStringLiteral("%1: %2 chunks where %3 bytes take %4")
                         .arg(itemLabel(i))
                         .arg(payload.chunkCount)
                         .arg(size)
                         .arg(g_packageChunkCount(size));
        }
        if (payload.md5 != m_items.at(i).md5())
            found << md5Mismatch(i);
    }
    // Behind a negative count lies what the device does not read as items.
    if (m_read.itemCount < 0)
        found << countProblem();
    else if (m_read.trailingBytes > 0)
        found << QStringLiteral("%1 bytes follow the last item").arg(m_read.trailingBytes);
    return found;
}

bool PackageChecker::extractTo(const QString& dir, bool force, const PackProgress& progress)
{
    if (!QDir().mkpath(dir))
        return fail(QStringLiteral("cannot create %1").arg(dir));
    // Files are written aside first and moved in only once all of them are whole and match.
    RemovedOnSignal stagingRemoval;
    SignalsHeld held;
    QTemporaryDir staging(QDir(dir).filePath(QStringLiteral(".upgrade-pack-XXXXXX")));
    stagingRemoval.set(staging.path());
    held.release();
    if (!staging.isValid())
        return fail(QStringLiteral("cannot write in %1: %2").arg(dir, staging.errorString()));

    if (!read(PackSink::g_extract(staging.path(), !force), progress, true))
        return false;
    if (m_read.itemCount < 0)
        return fail(countProblem());
    QStringList fileNames;
    QSet<QString> seen;
    for (int i = 0; i < m_items.size(); ++i) {
        const st_packPayload& payload = m_read.payloads.at(i);
        const QString fileName = PackProcess::g_extractedName(m_items.at(i).name());
        if (!payload.writeError.isEmpty())
            return fail(QStringLiteral("cannot write %1: %2")
                            .arg(QDir(dir).filePath(fileName), payload.writeError));
        if (payload.truncated || payload.size != QString::number(payload.bytes))
            return fail(truncatedPayload(i));
        if (!force && payload.md5 != m_items.at(i).md5())
            return fail(md5Mismatch(i));
        if (!seen.contains(fileName)) {
            seen.insert(fileName);
            fileNames << fileName;
        }
    }

    // Every target is looked at before the first file moves, so that a failure that can be
    // foreseen leaves the directory as it was.
    for (const QString& fileName : qAsConst(fileNames)) {
        const QString target = QDir(dir).filePath(fileName);
        struct stat status;
        if (PackProcess::g_isSameFile(target, m_path))
            return fail(QStringLiteral("%1 would overwrite the package itself").arg(fileName));
        const QByteArray path = QFile::encodeName(target);
        if (::lstat(path.constData(), &status) != 0)
            continue;
        if (S_ISDIR(status.st_mode))
            return fail(QStringLiteral("cannot write %1: %2").arg(target, systemError(EISDIR)));
        // The move below needs only the directory to be writable; a file its owner made read-only
        // is kept, as create and cp keep it.
        if (!force && S_ISREG(status.st_mode) && ::access(path.constData(), W_OK) != 0)
            return fail(
                QStringLiteral("cannot write %1: the existing file is not writable").arg(target));
    }
    for (const QString& fileName : qAsConst(fileNames)) {
        if (!moveIntoPlace(staging.filePath(fileName), QDir(dir).filePath(fileName)))
            return fail(QStringLiteral("cannot move %1 into %2: %3")
                            .arg(fileName, dir, systemError(errno)));
    }
    return true;
}
