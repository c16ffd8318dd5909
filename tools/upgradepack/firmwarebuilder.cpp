#include "firmwarebuilder.h"
#include "archivehazards.h"
#include "asidefile.h"
#include "commandline.h"
#include "directories.h"
#include "upgradescanner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const int kBlock = 512;
// GNU tar's record: the archive is padded to a whole one, as tar itself pads it.
const int kRecord = 20 * kBlock;
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

/// A numeric header field of width bytes, the last a NUL: octal digits where they fit, else
/// the base-256 form in which GNU tar writes larger numbers (a file of 8 GiB or more).
void putNumber(char* field, int width, quint64 value)
{
    if (value >> (3 * (width - 1)) == 0) {
        for (int i = width - 2; i >= 0; --i, value >>= 3)
            field[i] = char('0' + (value & 7));
        field[width - 1] = '\0';
        return;
    }
    field[0] = char(0x80);
    for (int i = width - 1; i > 0; --i, value >>= 8)
        field[i] = char(value & 0xff);
}

/// One header block as GNU tar writes it, owned by root and stamped with time.
QByteArray headerBlock(const QByteArray& name, char type, qint64 size, int mode, qint64 time)
{
    char h[kBlock] = {};
    std::memcpy(h, name.constData(), size_t(qMin(name.size(), 100)));
    putNumber(h + 100, 8, quint64(mode));
    putNumber(h + 108, 8, 0);
    putNumber(h + 116, 8, 0);
    putNumber(h + 124, 12, quint64(size));
    putNumber(h + 136, 12, quint64(time));
    std::memset(h + 148, ' ', 8);
    h[156] = type;
    std::memcpy(h + 257, "ustar  ", 8);
    unsigned sum = 0;
    for (const char c : h)
        sum += uchar(c);
    putNumber(h + 148, 7, sum);
    return QByteArray(h, kBlock);
}

QByteArray padding(qint64 size)
{
    return QByteArray(int((kBlock - size % kBlock) % kBlock), '\0');
}

/// The header of a member; a name too long for the header goes before it in a GNU long-name
/// member.
QByteArray header(const QByteArray& name, char type, qint64 size, int mode, qint64 time)
{
    if (name.size() < 100)
        return headerBlock(name, type, size, mode, time);
    return headerBlock("././@LongLink", 'L', name.size() + 1, 0644, 0) + name + '\0' +
           padding(name.size() + 1) + headerBlock(name, type, size, mode, time);
}

/// Writes all of data to fd; false, with errno set, when it cannot. QFile's own writes lose
/// the system's reason.
bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno != EINTR)
            return false;
        data += qMax<ssize_t>(n, 0);
        size -= qMax<ssize_t>(n, 0);
    }
    return true;
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

/// A compressor run as a child process: fed through a pipe, while a thread of its own writes
/// what it makes to the output.
class Compressor {
public:
    Compressor() = default;
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    /// Stops a compressor that was not finished.
    ~Compressor()
    {
        if (m_pid > 0)
            ::kill(m_pid, SIGTERM);
        finish();
    }

    /// Starts path with args, its output going to the file descriptor out; false with why
    /// when it cannot.
    bool start(const QString& path, const QStringList& args, int out, QString& why)
    {
        m_name = QFileInfo(path).fileName();
        // The compressors read options from these: the bytes must depend on ours alone.
        std::vector<QByteArray> strings;
        for (char** entry = environ; *entry; ++entry) {
            const QByteArray variable(*entry);
            if (!variable.startsWith("BZIP=") && !variable.startsWith("BZIP2=") &&
                !variable.startsWith("LBZIP2="))
                strings.push_back(variable);
        }
        const size_t environment = strings.size();
        strings.push_back(QFile::encodeName(path));
        for (const QString& arg : args)
            strings.push_back(arg.toLocal8Bit());
        std::vector<char*> envp, argv;
        for (size_t i = 0; i < strings.size(); ++i)
            (i < environment ? envp : argv).push_back(strings[i].data());
        envp.push_back(nullptr);
        argv.push_back(nullptr);

        int input[2], output[2];
        m_errors = std::tmpfile();
        if (!m_errors || ::pipe2(input, O_CLOEXEC) != 0) {
            why = QStringLiteral("cannot run %1: %2").arg(m_name, systemError());
            return false;
        }
        if (::pipe2(output, O_CLOEXEC) != 0) {
            why = QStringLiteral("cannot run %1: %2").arg(m_name, systemError());
            ::close(input[0]);
            ::close(input[1]);
            return false;
        }
        // A compressor that dies makes the writes fail with EPIPE instead of ending this
        // process.
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &m_sigpipe);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(input[0], STDIN_FILENO);
            ::dup2(output[1], STDOUT_FILENO);
            ::dup2(::fileno(m_errors), STDERR_FILENO);
            ::sigaction(SIGPIPE, &m_sigpipe, nullptr);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        const int error = errno;
        ::close(input[0]);
        ::close(output[1]);
        m_input = input[1];
        m_output = output[0];
        if (m_pid < 0) {
            ::sigaction(SIGPIPE, &m_sigpipe, nullptr);
            why = QStringLiteral("cannot run %1: %2").arg(m_name, systemError(error));
            return false;
        }
        m_out = out;
        m_drain = std::thread([this] { drain(); });
        return true;
    }

    /// Feeds it; false once it reads no more, or its output cannot be written.
    bool write(const char* data, qint64 size) { return !m_failed && writeAll(m_input, data, size); }

    /// Why the output could not be written, or an empty text.
    QString writeError() const { return m_writeError; }

    /// Ends its input and waits for it; why it failed, or an empty text.
    QString finish()
    {
        if (m_input >= 0)
            ::close(m_input);
        m_input = -1;
        if (m_drain.joinable())
            m_drain.join();
        if (m_output >= 0)
            ::close(m_output);
        m_output = -1;
        QString why;
        if (m_pid > 0) {
            int status = 0;
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            m_pid = -1;
            ::sigaction(SIGPIPE, &m_sigpipe, nullptr);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                QByteArray said(4096, '\0');
                std::rewind(m_errors);
                said.resize(int(std::fread(said.data(), 1, size_t(said.size()), m_errors)));
                why = QString::fromLocal8Bit(said).trimmed();
                if (why.isEmpty())
                    why = WIFEXITED(status)
                              ? QStringLiteral("exit code %1").arg(WEXITSTATUS(status))
                              : QStringLiteral("killed by signal %1").arg(WTERMSIG(status));
                why = QStringLiteral("%1 failed: %2").arg(m_name, why);
            }
        }
        if (m_errors)
            std::fclose(m_errors);
        m_errors = nullptr;
        return why;
    }

private:
    void drain()
    {
        QByteArray chunk(kChunk, Qt::Uninitialized);
        for (;;) {
            const ssize_t n = ::read(m_output, chunk.data(), size_t(chunk.size()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            // After a failed write the rest is read and dropped, so that the compressor never
            // waits for a reader that is gone.
            if (!m_failed && !writeAll(m_out, chunk.constData(), n)) {
                m_writeError = systemError();
                m_failed = true;
            }
        }
    }

    QString m_name;
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::FILE* m_errors = nullptr;
    struct sigaction m_sigpipe = {};
    int m_out = -1;
    std::thread m_drain;
    std::atomic<bool> m_failed{false};
    QString m_writeError;
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
            buffer += header(top + entry.path + '/', '5', 0, 0755, time);
            continue;
        }
        buffer += header(top + entry.path, '0', entry.size, entry.executable ? 0755 : 0644, time);
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
        buffer += padding(entry.size);
        manifest += md5.result().toHex() + "  " + entry.path + '\n';
    }
    buffer += header(kOtaManifestMember, '0', manifest.size(), 0644, time) + manifest +
              padding(manifest.size()) + QByteArray(2 * kBlock, '\0');
    buffer += QByteArray(int((kRecord - (flushed + buffer.size()) % kRecord) % kRecord), '\0');
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
