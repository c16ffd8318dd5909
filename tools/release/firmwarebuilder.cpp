#include "firmwarebuilder.h"
#include "archivehazards.h"
#include "asidefile.h"
#include "commandline.h"
#include "compressor.h"
#include "directories.h"
#include "tarheaders.h"
#include "upgradescanner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kChunk = 1 << 20;

QString lastSuffix(const QString& path)
{
    const QString fileName = QFileInfo(path).fileName();
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 ? fileName.mid(dot + 1) : QString();
}

bool isUtf8(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

/// A name as the user can read it: its text when it is UTF-8, else its bytes escaped.
QString shown(const QByteArray& name)
{
    return isUtf8(name) ? QString::fromUtf8(name) : escapedBytes(name);
}

/// An open file descriptor, closed when it goes.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

FirmwareBuilder::FirmwareBuilder(const QString& output, const QString& dir)
    : m_output(output), m_dir(dir)
{
}

QString FirmwareBuilder::compressor() const
{
    if (UpgradeScanner::g_isPlainTar(m_output))
        return QString();
    const QString parallel = QStandardPaths::findExecutable(QStringLiteral("lbzip2"));
    return parallel.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("bzip2")) : parallel;
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

// Names are taken as the bytes the file system holds, whatever the locale, and put in order
// by those bytes, whatever order the directories list them in.
bool FirmwareBuilder::collect(QVector<Entry>& entries, qint64& total, qint64& newest)
{
    m_skipped.clear();
    const QByteArray root = QFile::encodeName(m_dir);
    QVector<QByteArray> pending{QByteArray()};
    while (!pending.isEmpty()) {
        const QByteArray dir = pending.takeLast();
        const QByteArray dirPath = dir.isEmpty() ? root : root + '/' + dir;
        const std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dirPath.constData()),
                                                         ::closedir);
        if (!handle)
            return fail(QStringLiteral("cannot read %1: %2").arg(shown(dirPath), systemError()));
        for (;;) {
            errno = 0;
            const dirent* found = ::readdir(handle.get());
            if (!found && errno != 0)
                return fail(
                    QStringLiteral("cannot read %1: %2").arg(shown(dirPath), systemError()));
            if (!found)
                break;
            const QByteArray name(found->d_name);
            if (name == "." || name == "..")
                continue;
            const QByteArray path = dir.isEmpty() ? name : dir + '/' + name;
            if (name.startsWith('.')) {
                // Dot files are other tools' bookkeeping (.gitkeep, .git/), never firmware.
                m_skipped.append(shown(path));
                continue;
            }
            // The device reads the manifest as UTF-8, and splits it at spaces; the archive's
            // links would point elsewhere there.
            if (!isUtf8(path))
                return fail(QStringLiteral("%1: the name is not UTF-8, so the manifest cannot "
                                           "name it")
                                .arg(shown(path)));
            for (const QChar c : QString::fromUtf8(path)) {
                if (c.isSpace())
                    return fail(QStringLiteral("%1: a manifest cannot name a path with white "
                                               "space")
                                    .arg(shown(path)));
            }
            struct stat st;
            if (::fstatat(::dirfd(handle.get()), found->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                return fail(QStringLiteral("cannot read %1/%2: %3")
                                .arg(shown(root), shown(path), systemError()));
            if (S_ISLNK(st.st_mode))
                return fail(
                    QStringLiteral("%1: symbolic links are not supported").arg(shown(path)));
            if (S_ISDIR(st.st_mode)) {
                entries.append({path, true, true, 0});
                pending.append(path);
            } else if (S_ISREG(st.st_mode)) {
                if (path == kOtaManifestName)
                    continue;
                entries.append({path, false, (st.st_mode & S_IXUSR) != 0, qint64(st.st_size)});
                total += st.st_size;
                newest = qMax<qint64>(newest, st.st_mtime);
            } else {
                return fail(QStringLiteral("%1: not a regular file or directory").arg(shown(path)));
            }
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.path < b.path; });
    m_skipped.sort();
    return true;
}

// The device hands each stage the first file whose path holds its keyword: an archive in
// which that is not the file meant for the stage gets it flashed all the same.
bool FirmwareBuilder::checkStages(const QVector<Entry>& entries)
{
    QStringList paths;
    for (const Entry& entry : entries) {
        if (!entry.isDir)
            paths << QLatin1String(kOtaFileDir) + QString::fromUtf8(entry.path);
    }
    QStringList refusals;
    for (const StageHazard& hazard : stageHazards(paths, QLatin1String(kOtaFileDir))) {
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

// The tar stream is written here rather than by tar: each file is read once, digested as it
// goes into the archive, and the manifest follows as the last member. Every member is owned
// by root, stamped with the one time, and has one of two modes.
bool FirmwareBuilder::stream(const QVector<Entry>& entries, qint64 total, qint64 time,
                             AsideFile& out, const PackProgress& progress)
{
    Compressor compressor;
    const QString program = this->compressor();
    const QString name = QFileInfo(program).fileName();
    if (program.isEmpty() && !UpgradeScanner::g_isPlainTar(m_output))
        return fail(QStringLiteral("neither lbzip2 nor bzip2 is on PATH"));
    if (!name.isEmpty()) {
        const int jobs = m_jobs > 0 ? m_jobs : QThread::idealThreadCount();
        const QStringList args =
            name == QLatin1String("lbzip2")
                ? QStringList{QStringLiteral("-9"), QStringLiteral("-n"), QString::number(jobs)}
                : QStringList{QStringLiteral("-9")};
        QString why;
        if (!compressor.start(program, args, out.file().handle(), why))
            return fail(why);
    }
    // Why the compressed output failed, once the compressor has ended; empty when it did not.
    const auto compressorFailure = [&]() {
        const QString why = compressor.finish();
        return compressor.writeError().isEmpty()
                   ? why
                   : QStringLiteral("cannot write %1: %2").arg(m_output, compressor.writeError());
    };
    const auto failedWrite = [&]() {
        if (name.isEmpty())
            return fail(QStringLiteral("cannot write %1: %2").arg(m_output, systemError()));
        const QString why = compressorFailure();
        return fail(why.isEmpty() ? QStringLiteral("%1 stopped reading its input").arg(name) : why);
    };

    QByteArray buffer;
    buffer.reserve(2 * kChunk);
    qint64 flushed = 0;
    const auto flush = [&]() {
        flushed += buffer.size();
        const bool written = name.isEmpty()
                                 ? writeAll(out.file().handle(), buffer.constData(), buffer.size())
                                 : compressor.write(buffer.constData(), buffer.size());
        buffer.resize(0);
        return written;
    };
    const QByteArray top(kOtaTop);
    QByteArray manifest;
    qint64 done = 0;
    for (const Entry& entry : entries) {
        if (entry.isDir) {
            buffer += tarHeader(top + entry.path + '/', '5', 0, 0755, time);
            continue;
        }
        buffer +=
            tarHeader(top + entry.path, '0', entry.size, entry.executable ? 0755 : 0644, time);
        const QString path = QDir(m_dir).filePath(QString::fromUtf8(entry.path));
        const Descriptor file{
            ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
        const int fd = file.fd;
        if (fd < 0)
            return fail(QStringLiteral("cannot read %1: %2").arg(path, systemError()));
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        QCryptographicHash md5(QCryptographicHash::Md5);
        for (qint64 left = entry.size; left > 0;) {
            if (buffer.size() >= kChunk && !flush())
                return failedWrite();
            const int at = buffer.size();
            buffer.resize(at + int(qMin<qint64>(left, kChunk)));
            const ssize_t n = ::read(fd, buffer.data() + at, size_t(buffer.size() - at));
            buffer.resize(at + int(qMax<ssize_t>(n, 0)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return fail(QStringLiteral("cannot read %1: %2").arg(path, systemError()));
            if (n == 0)
                return fail(QStringLiteral("%1 shrank while it was read").arg(path));
            md5.addData(buffer.constData() + at, int(n));
            left -= n;
            done += n;
            if (progress)
                progress(done, total);
        }
        buffer += tarPadding(entry.size);
        manifest += md5.result().toHex() + "  " + entry.path + '\n';
    }
    buffer += tarHeader(kOtaManifestMember, '0', manifest.size(), 0644, time) + manifest +
              tarPadding(manifest.size()) + QByteArray(2 * kTarBlock, '\0');
    buffer +=
        QByteArray(int((kTarRecord - (flushed + buffer.size()) % kTarRecord) % kTarRecord), '\0');
    if (!flush())
        return failedWrite();
    const QString why = name.isEmpty() ? QString() : compressorFailure();
    return why.isEmpty() || fail(why);
}

bool FirmwareBuilder::run(const PackProgress& progress)
{
    const QString problem = directoryProblem(m_dir);
    if (!problem.isEmpty())
        return fail(problem);
    if (!checkOutput())
        return false;
    QVector<Entry> entries;
    qint64 total = 0;
    qint64 newest = 0;
    if (!collect(entries, total, newest) || !checkStages(entries))
        return false;
    if (std::all_of(entries.begin(), entries.end(), [](const Entry& e) { return e.isDir; }))
        return fail(QStringLiteral("%1 holds no files to archive").arg(m_dir));

    // Like cp and tar, and unlike QSaveFile, this does not wait for the archive to reach the
    // disk; a failed write names its reason.
    AsideFile out(m_output);
    if (!out.open())
        return fail(QStringLiteral("cannot write %1: %2").arg(m_output, out.errorString()));
    if (!stream(entries, total, m_time >= 0 ? m_time : newest, out, progress))
        return false;
    if (!out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(m_output, out.errorString()));
    return true;
}
