#include "upgradescanner.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>

namespace {

const char* const kOtaDir = "/tmp/upgrade/ota_file/";
const char* const kManifest = "/tmp/upgrade/ota_file/fileMd5s";
const int kReadSize = 64 * 1024;

// Side files that travel with a component but have no digest worth checking.
bool isSideFile(const QString& path)
{
    return path.endsWith(QLatin1String(".map")) || path.endsWith(QLatin1String(".md5")) ||
           path.endsWith(QLatin1String(".size"));
}

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
    const QString manifestPath = QLatin1String(kManifest);
    if (!QFileInfo::exists(manifestPath)) {
        writeProcess(QStringLiteral("UC29") + QStringLiteral("file not exists :") + manifestPath);
        return false;
    }
    QFile manifest(manifestPath);
    if (!manifest.open(QIODevice::ReadOnly)) {
        writeProcess(QStringLiteral("UC30") + QStringLiteral("file open err: ") + manifestPath);
        return false;
    }

    while (!manifest.atEnd()) {
        const QByteArray line = manifest.readLine();
        qDebug() << "read filemd5s:" << line;
        const QStringList fields = manifestFields(line);
        if (fields.size() != 2)
            qDebug() << "list.size()!=2!!! list.size()=" << fields.size() << fields;
        if (fields.size() < 2)
            continue;
        m_otaFiles.append({QLatin1String(kOtaDir) + fields.at(1), fields.at(0)});
    }
    manifest.close();

    const int dirLength = int(qstrlen(kOtaDir));
    for (const st_otaFiles& entry : qAsConst(m_otaFiles)) {
        if (leavesOtaDir(entry.path.mid(dirLength))) {
            writeProcess(QStringLiteral("UC31") + QStringLiteral("file not exists :") + entry.path);
            return false;
        }
        if (isSideFile(entry.path))
            continue;
        qDebug() << "md5 check:" << entry.path;
        if (!QFileInfo::exists(entry.path)) {
            writeProcess(QStringLiteral("UC31") + QStringLiteral("file not exists :") + entry.path);
            return false;
        }
        const QString computed = g_GenMd5(entry.path);
        if (computed != entry.md5) {
            writeProcess(QStringLiteral("UC32") +
                         QStringLiteral("Md5 check err: strMd5Orignal=%1, calcMd5=%2, filepath=%3")
                             .arg(entry.md5, computed, entry.path));
            return false;
        }
    }

    QFile::remove(manifestPath);
    return true;
}
