#include "firmwarebuilder.h"
#include "directories.h"
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

QString lastSuffix(const QString& path)
{
    const QString fileName = QFileInfo(path).fileName();
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 ? fileName.mid(dot + 1) : QString();
}

bool hasDotPart(const QString& relative)
{
    return relative.startsWith(QLatin1Char('.')) || relative.contains(QLatin1String("/."));
}

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
    return lastSuffix(output).compare(QLatin1String("tar"), Qt::CaseInsensitive) == 0;
}

bool FirmwareBuilder::checkOutput()
{
    // The device unpacks everything but .tar as bzip2, so any other compression's name
    // would only mislead whoever handles the archive.
    static const QStringList otherCompressions = {
        QStringLiteral("gz"),  QStringLiteral("tgz"),  QStringLiteral("taz"),
        QStringLiteral("z"),   QStringLiteral("xz"),   QStringLiteral("txz"),
        QStringLiteral("lz"),  QStringLiteral("lzma"), QStringLiteral("tlz"),
        QStringLiteral("lz4"), QStringLiteral("lzo"),  QStringLiteral("tzo"),
        QStringLiteral("zst"), QStringLiteral("tzst"), QStringLiteral("zip"),
        QStringLiteral("7z")};
    const QString suffix = lastSuffix(m_output);
    if (otherCompressions.contains(suffix.toLower())) {
        QString stem = m_output.left(m_output.size() - suffix.size() - 1);
        if (stem.endsWith(QLatin1String(".tar"), Qt::CaseInsensitive))
            stem.chop(4);
        return fail(QStringLiteral(".%1 names another compression, but the device unpacks the "
                                   "archive as bzip2: name it %2.tar.bz2, or %2.tar for no "
                                   "compression")
                        .arg(suffix, stem));
    }

    // An output among the files to archive would replace one of them or archive itself.
    const QFileInfo output(m_output);
    const QString outputPath = output.exists()
                                   ? output.canonicalFilePath()
                                   : QFileInfo(output.absolutePath()).canonicalFilePath() +
                                         QLatin1Char('/') + output.fileName();
    const QString relative =
        QDir(QFileInfo(m_dir).canonicalFilePath()).relativeFilePath(outputPath);
    if (relative != QLatin1String("..") && !relative.startsWith(QLatin1String("../")))
        return fail(
            QStringLiteral("%1 is inside %2, the directory to archive").arg(m_output, m_dir));
    return true;
}

bool FirmwareBuilder::collect(QStringList& entries, QStringList& files, qint64& total)
{
    m_skipped.clear();
    const QDir root(QFileInfo(m_dir).absoluteFilePath());
    QDirIterator it(m_dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = root.relativeFilePath(info.absoluteFilePath());
        if (hasDotPart(relative)) {
            // Dot files are other tools' bookkeeping (.gitkeep, .git/), never firmware; only
            // the outermost one is worth naming.
            if (!hasDotPart(relative.section(QLatin1Char('/'), 0, -2)))
                m_skipped.append(relative);
            continue;
        }
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
            const QString problem = directoryProblem(info.filePath());
            if (!problem.isEmpty())
                return fail(problem);
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
    m_skipped.sort();
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
    const QString problem = directoryProblem(m_dir);
    if (!problem.isEmpty())
        return fail(problem);
    if (!checkOutput())
        return false;
    QStringList entries;
    QStringList files;
    qint64 total = 0;
    if (!collect(entries, files, total) || !checkStages(files))
        return false;
    if (files.isEmpty())
        return fail(QStringLiteral("%1 holds no files to archive").arg(m_dir));

    QTemporaryDir staging;
    if (!staging.isValid())
        return fail(
            QStringLiteral("cannot make a scratch directory: %1").arg(staging.errorString()));

    QByteArray manifest;
    qint64 done = 0;
    for (const QString& relative : files) {
        const QString path = QDir(m_dir).filePath(relative);
        const QString md5 = UpgradeScanner::g_GenMd5(path);
        if (md5.isEmpty()) {
            // The digest does not say why it could not read the file; opening it does.
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        }
        manifest += md5.toLatin1() + "  " + relative.toUtf8() + '\n';
        done += QFileInfo(path).size();
        if (progress)
            progress(done, total);
    }
    QFile manifestFile(staging.filePath(QLatin1String(kManifest)));
    QFile list(staging.filePath(QStringLiteral("entries")));
    const auto writeScratch = [this](QFile& file, const QByteArray& bytes) {
        if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush())
            return true;
        return fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    };
    if (!writeScratch(manifestFile, manifest) ||
        !writeScratch(list, entries.join(QChar(0)).toUtf8()))
        return false;
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
