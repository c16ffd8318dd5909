#include "upgradescanner.h"

#include "statustexts.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace {

const int kReadSize = 64 * 1024;
// As many symbolic links as the kernel follows in one path before it calls it a loop.
const int kMaxLinks = 40;

// The pipeline hashes, flashes and deletes what the manifest names, so an entry must not
// reach outside the unpacked directory.
bool leavesOtaDir(const QString& relativePath)
{
    return relativePath.startsWith(QLatin1Char('/')) ||
           relativePath.split(QLatin1Char('/')).contains(QLatin1String(".."));
}

QStringList manifestFields(QByteArray line)
{
    const int nul = line.indexOf('\0');
    if (nul >= 0)
        line.truncate(nul);
    QString text = QString::fromUtf8(line);
    text.remove(QLatin1Char('\n'));
    QStringList fields;
    for (const QString& field : text.split(QLatin1Char(' '))) {
        const QString trimmed = field.trimmed();
        if (!trimmed.isEmpty())
            fields.append(trimmed);
    }
    return fields;
}

} // namespace

QString UpgradeScanner::g_GenMd5(QString filePath)
{
    // Firmware archives and root file systems run to hundreds of MiB: reading them in 64 KiB
    // blocks straight into one fixed buffer, with the kernel told to read ahead, keeps the
    // digest as fast as md5sum while memory stays the same whatever the file's size.
    // Opening a FIFO would wait for a writer that never comes; like a directory, anything but
    // a regular file has no content to digest.
    QFile file(filePath);
    if (!QFileInfo(filePath).isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qDebug() << "file open error.";
        return QString();
    }
    posix_fadvise(file.handle(), 0, 0, POSIX_FADV_SEQUENTIAL);

    QCryptographicHash hash(QCryptographicHash::Md5);
    const qint64 size = file.size();
    qint64 hashed = 0;
    QByteArray buffer(kReadSize, Qt::Uninitialized);
    while (hashed < size) {
        const qint64 n = file.read(buffer.data(), qMin<qint64>(size - hashed, kReadSize));
        // A file that shrank under us, or a failed read, has no digest worth comparing.
        if (n <= 0)
            return QString();
        hash.addData(buffer.constData(), int(n));
        hashed += n;
    }
    file.close();
    return QString::fromLatin1(hash.result().toHex());
}

bool UpgradeScanner::analysisFileMd5()
{
    m_otaFiles.clear();
    const QString manifestPath = m_appliance->path(QLatin1String(kOtaManifest));
    if (!QFileInfo::exists(manifestPath)) {
        writeProcess(g_msgManifestMissing());
        return false;
    }
    // Opening a FIFO would wait for a writer that never comes: like a directory, anything but a
    // regular file cannot be opened as the manifest.
    QFile manifest(manifestPath);
    if (!QFileInfo(manifestPath).isFile() || !manifest.open(QIODevice::ReadOnly)) {
        writeProcess(g_msgManifestUnreadable());
        return false;
    }
    m_otaFiles = g_readManifest(manifest);
    manifest.close();

    for (const st_otaFiles& entry : qAsConst(m_otaFiles)) {
        const QString failure = checkOtaFile(entry);
        if (!failure.isEmpty()) {
            writeProcess(failure);
            return false;
        }
    }
    QFile::remove(manifestPath);
    return true;
}

QList<st_otaFiles> UpgradeScanner::g_readManifest(QIODevice& manifest)
{
    QList<st_otaFiles> entries;
    while (!manifest.atEnd()) {
        const QByteArray line = manifest.readLine();
        qDebug() << "read filemd5s:" << line;
        const QStringList fields = manifestFields(line);
        if (fields.size() != 2)
            qDebug() << "list.size()!=2!!! list.size()=" << fields.size() << fields;
        if (fields.size() < 2)
            continue;
        entries.append({QLatin1String(kOtaFileDir) + fields.at(1), fields.at(0)});
    }
    return entries;
}

// Whether the target exists does not matter: a link out of the unpacked tree is refused wherever
// it leads. A loop of links leads nowhere.
QString UpgradeScanner::g_followLinks(const QString& path, const QString& root, bool* climbed)
{
    bool above = false;
    QStringList pending = path.mid(root.size()).split(QLatin1Char('/'));
    QString done = root;
    for (int links = 0; !pending.isEmpty();) {
        const QString part = pending.takeFirst();
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (done == root)
                above = true;
            else
                done.truncate(done.lastIndexOf(QLatin1Char('/')));
            continue;
        }
        const QString next = done + QLatin1Char('/') + part;
        char target[4096];
        const ssize_t length =
            ::readlink(QFile::encodeName(next).constData(), target, sizeof target);
        if (length <= 0) {
            done = next;
            continue;
        }
        if (++links > kMaxLinks) {
            if (climbed)
                *climbed = above;
            return QString();
        }
        QString text = QFile::decodeName(QByteArray(target, int(length)));
        if (text.startsWith(QLatin1Char('/')) && !root.isEmpty()) {
            if (text.startsWith(root + QLatin1Char('/')))
                text.remove(0, root.size());
            else
                above = true;
        }
        if (text.startsWith(QLatin1Char('/')))
            done = root;
        pending = text.split(QLatin1Char('/')) + pending;
    }
    if (climbed)
        *climbed = above;
    return done.isEmpty() ? QStringLiteral("/") : done;
}

bool UpgradeScanner::g_isSideFile(const QString& path)
{
    return path.endsWith(QLatin1String(".map")) || path.endsWith(QLatin1String(".md5")) ||
           path.endsWith(QLatin1String(".size"));
}

QString UpgradeScanner::checkOtaFile(const st_otaFiles& entry) const
{
    const QString relative = entry.path.mid(int(qstrlen(kOtaFileDir)));
    const QString path = m_appliance->path(entry.path);
    const QString otaDir = g_followLinks(m_appliance->path(QLatin1String(kUpgradeDir))) +
                           QLatin1Char('/') + QLatin1String(kOtaTop);
    if (leavesOtaDir(relative) || !g_followLinks(path).startsWith(otaDir))
        return g_msgListedMissing(entry.path);
    if (g_isSideFile(entry.path))
        return QString();
    qDebug() << "md5 check:" << entry.path;
    if (!QFileInfo::exists(path))
        return g_msgListedMissing(entry.path);
    const QString computed = g_GenMd5(path);
    if (computed != entry.md5)
        return g_msgListedMismatch(entry.md5, computed, entry.path);
    return QString();
}
