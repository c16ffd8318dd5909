#include "firmwarebuilder.h"
#include "upgradeplanner.h"
#include "upgradescanner.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>

namespace {

const char kManifest[] = "fileMd5s";

} // namespace

FirmwareBuilder::FirmwareBuilder(const QString& output, const QString& dir)
    : m_output(output), m_dir(dir)
{
}

bool FirmwareBuilder::fail(const QString& why)
{
    m_error = why;
    return false;
}

bool FirmwareBuilder::isPlainTar(const QString& output)
{
    // The same rule as the device's: the text after the file name's last dot.
    const QString fileName = QFileInfo(output).fileName();
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 &&
           fileName.mid(dot + 1).compare(QLatin1String("tar"), Qt::CaseInsensitive) == 0;
}

bool FirmwareBuilder::collect(QStringList& entries, QStringList& files, qint64& total)
{
    const QDir root(QFileInfo(m_dir).absoluteFilePath());
    QDirIterator it(m_dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = root.relativeFilePath(info.absoluteFilePath());
        // The manifest is split at spaces on the device, and the archive's links would
        // point elsewhere there.
        for (const QChar c : relative) {
            if (c.isSpace())
                return fail(QStringLiteral("%1: a manifest cannot name a path with white space")
                                .arg(relative));
        }
        if (info.isSymLink())
            return fail(QStringLiteral("%1: symbolic links are not supported").arg(relative));
        if (info.isDir()) {
            entries.append(relative);
        } else if (info.isFile()) {
            if (relative == QLatin1String(kManifest))
                continue;
            entries.append(relative);
            files.append(relative);
            total += info.size();
        } else {
            return fail(QStringLiteral("%1: not a regular file or directory").arg(relative));
        }
    }
    entries.sort();
    files.sort();
    return true;
}

// The device hands each stage the first file whose path holds its keyword: an archive in
// which that is not the file meant for the stage gets it flashed all the same.
bool FirmwareBuilder::checkStages(const QStringList& files)
{
    QStringList paths;
    for (const QString& relative : files)
        paths << QLatin1String(kOtaFileDir) + relative;
    QStringList refusals;
    for (const StageHazard& hazard :
         UpgradePlanner::stageHazards(paths, QLatin1String(kOtaFileDir))) {
        if (hazard.kind == StageHazard::NoFile)
            m_warnings << hazard.text;
        else
            refusals << hazard.text;
    }
    if (refusals.isEmpty() || m_force)
        return true;
    refusals << QStringLiteral("a stage would take a file not meant for it; --force builds the "
                               "archive all the same");
    return fail(refusals.join(QLatin1Char('\n')));
}

bool FirmwareBuilder::run(const PackProgress& progress)
{
    if (!QFileInfo(m_dir).isDir())
        return fail(QStringLiteral("%1: not a directory").arg(m_dir));
    QStringList entries;
    QStringList files;
    qint64 total = 0;
    if (!collect(entries, files, total) || !checkStages(files))
        return false;

    QTemporaryDir staging;
    if (!staging.isValid())
        return fail(
            QStringLiteral("cannot make a scratch directory: %1").arg(staging.errorString()));

    QByteArray manifest;
    qint64 done = 0;
    for (const QString& relative : files) {
        const QString path = QDir(m_dir).filePath(relative);
        const QString md5 = UpgradeScanner::g_GenMd5(path);
        if (md5.isEmpty())
            return fail(QStringLiteral("cannot read %1").arg(path));
        manifest += md5.toLatin1() + "  " + relative.toUtf8() + '\n';
        done += QFileInfo(path).size();
        if (progress)
            progress(done, total);
    }
    QFile manifestFile(staging.filePath(QLatin1String(kManifest)));
    QFile list(staging.filePath(QStringLiteral("entries")));
    if (!manifestFile.open(QIODevice::WriteOnly) ||
        manifestFile.write(manifest) != manifest.size() || !list.open(QIODevice::WriteOnly) ||
        list.write(entries.join(QChar(0)).toUtf8()) < 0)
        return fail(QStringLiteral("cannot write in %1").arg(staging.path()));
    manifestFile.close();
    list.close();

    QStringList args = {QStringLiteral("-c"), QStringLiteral("-f"), QStringLiteral("-")};
    if (!isPlainTar(m_output))
        args << QStringLiteral("-j");
    // Owned by root on the device, whoever built it.
    args << QStringLiteral("--owner=0") << QStringLiteral("--group=0")
         << QStringLiteral("--numeric-owner") << QStringLiteral("--no-recursion")
         << QStringLiteral("--transform=s,^,ota_file/,S") << QStringLiteral("-C") << m_dir
         << QStringLiteral("--null") << QStringLiteral("--verbatim-files-from")
         << QStringLiteral("-T") << list.fileName() << QStringLiteral("-C") << staging.path()
         << QLatin1String(kManifest);

    QSaveFile out(m_output);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(m_output, out.errorString()));
    QProcess tar;
    tar.setStandardErrorFile(staging.filePath(QStringLiteral("tar.err")));
    tar.start(QStringLiteral("tar"), args, QIODevice::ReadOnly);
    if (!tar.waitForStarted(-1))
        return fail(QStringLiteral("cannot run tar: %1").arg(tar.errorString()));
    qint64 written = 0;
    bool writeOk = true;
    const auto drain = [&]() {
        const QByteArray bytes = tar.readAllStandardOutput();
        writeOk = writeOk && out.write(bytes) == bytes.size();
        written += bytes.size();
        if (progress)
            progress(written, 0);
    };
    while (writeOk && tar.waitForReadyRead(-1))
        drain();
    if (!writeOk) {
        // Nothing more of it can be kept.
        tar.kill();
        tar.waitForFinished(-1);
        return fail(QStringLiteral("cannot write %1: %2").arg(m_output, out.errorString()));
    }
    tar.waitForFinished(-1);
    drain();

    if (tar.exitStatus() != QProcess::NormalExit || tar.exitCode() != 0) {
        QFile err(staging.filePath(QStringLiteral("tar.err")));
        err.open(QIODevice::ReadOnly);
        const QString why = QString::fromLocal8Bit(err.readAll()).trimmed();
        return fail(
            QStringLiteral("tar failed: %1")
                .arg(why.isEmpty() ? QStringLiteral("exit code %1").arg(tar.exitCode()) : why));
    }
    if (!writeOk || !out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(m_output, out.errorString()));
    return true;
}
