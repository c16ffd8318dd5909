#include "upgradescanner.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>

namespace {

const int kReadSize = 64 * 1024;

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
    const QString failure = g_verifyOtaTree(QLatin1String(kOtaFileDir), m_otaFiles);
    if (!failure.isEmpty()) {
        writeProcess(failure);
        return false;
    }
    QFile::remove(QLatin1String(kOtaManifest));
    return true;
}

QString UpgradeScanner::g_verifyOtaTree(const QString& otaDir, QList<st_otaFiles>& files)
{
    const QString manifestPath = otaDir + QLatin1String(kOtaManifestName);
    if (!QFileInfo::exists(manifestPath))
        return QStringLiteral("UC29") + QStringLiteral("file not exists :") +
               QLatin1String(kOtaManifest);
    QFile manifest(manifestPath);
    if (!manifest.open(QIODevice::ReadOnly))
        return QStringLiteral("UC30") + QStringLiteral("file open err: ") +
               QLatin1String(kOtaManifest);

    files = g_readManifest(manifest);
    manifest.close();

    for (const st_otaFiles& entry : qAsConst(files)) {
        const QString failure = g_checkOtaFile(entry, otaDir);
        if (!failure.isEmpty())
            return failure;
    }
    return QString();
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

bool UpgradeScanner::g_isSideFile(const QString& path)
{
    return path.endsWith(QLatin1String(".map")) || path.endsWith(QLatin1String(".md5")) ||
           path.endsWith(QLatin1String(".size"));
}

QString UpgradeScanner::g_checkOtaFile(const st_otaFiles& entry, const QString& otaDir)
{
    const QString relative = entry.path.mid(int(qstrlen(kOtaFileDir)));
    if (leavesOtaDir(relative))
        return QStringLiteral("UC31") + QStringLiteral("file not exists :") + entry.path;
    if (g_isSideFile(entry.path))
        return QString();
    qDebug() << "md5 check:" << entry.path;
    const QString path = otaDir + relative;
    if (!QFileInfo::exists(path))
        return QStringLiteral("UC31") + QStringLiteral("file not exists :") + entry.path;
    const QString computed = g_GenMd5(path);
    if (computed != entry.md5)
        return QStringLiteral("UC32") +
               QStringLiteral("Md5 check err: strMd5Orignal=%1, calcMd5=%2, filepath=%3")
                   .arg(entry.md5, computed, entry.path);
    return QString();
}
