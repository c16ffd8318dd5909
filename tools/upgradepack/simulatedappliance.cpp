#include "simulatedappliance.h"

#include "upgradescanner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// tmpfs, which /tmp is on the appliance, keeps every file in whole pages.
const qint64 kPage = 4096;
const qint64 kPiece = 1 << 20;

const char kExtracting[] = "while the package's files are extracted (after UB11)";
const char kUnpacking[] = "while the firmware archive is unpacked (after UB14)";

qint64 inPages(qint64 bytes)
{
    return (bytes + kPage - 1) / kPage * kPage;
}

/// The target a symbolic link holds; empty for anything else.
QByteArray readLink(const QString& path)
{
    char target[4096];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
    return length > 0 ? QByteArray(target, int(length)) : QByteArray();
}

/// A file the upgrader writes: on /tmp it fails a write past the appliance's size there.
class SimulatedFile : public QFile {
public:
    SimulatedFile(const QString& path, SimulatedAppliance& appliance)
        : QFile(path), m_appliance(appliance)
    {
    }

    bool open(OpenMode mode) override
    {
        if (!QFile::open(mode))
            return false;
        m_size = size();
        m_onTmp = m_appliance.onTmp(fileName());
        if (m_onTmp)
            m_others = m_appliance.tmpUsed(fileName());
        if (m_appliance.digestsMembers())
            m_hash = std::make_unique<QCryptographicHash>(QCryptographicHash::Md5);
        return true;
    }

    void close() override
    {
        if (isOpen())
            m_appliance.noteExtracted(
                {m_appliance.devicePath(fileName()), m_size,
                 m_hash ? QString::fromLatin1(m_hash->result().toHex()) : QString()});
        m_hash.reset();
        QFile::close();
    }

protected:
    qint64 writeData(const char* data, qint64 length) override
    {
        qint64 allowed = length;
        if (m_onTmp && m_appliance.tmpSize() >= 0) {
            // The file may grow into every page the others leave, its last one included.
            const qint64 room = m_appliance.tmpSize() / kPage * kPage - m_others;
            allowed = qBound<qint64>(0, room - m_size, length);
            if (allowed == 0) {
                m_appliance.noteTmpFull(QLatin1String(kExtracting));
                setErrorString(QStringLiteral("No space left on device"));
                return -1;
            }
        }
        const qint64 written = QFile::writeData(data, allowed);
        if (written < 0) {
            m_appliance.fail(QStringLiteral("cannot write %1 in the scratch directory: %2")
                                 .arg(m_appliance.devicePath(fileName()), errorString()));
            return -1;
        }
        m_size += written;
        if (m_hash)
            m_hash->addData(data, int(written));
        if (m_onTmp)
            m_appliance.noteTmp(m_others + inPages(m_size), QLatin1String(kExtracting));
        return written;
    }

private:
    SimulatedAppliance& m_appliance;
    bool m_onTmp = false;
    qint64 m_others = 0;
    qint64 m_size = 0;
    std::unique_ptr<QCryptographicHash> m_hash;
};

/// The words of a command line that the upgrader built with g_shellWord.
QStringList shellWords(const QString& line)
{
    QStringList words;
    QString word;
    bool quoted = false;
    bool inWord = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        } else if (c == QLatin1Char('\\') && !quoted && i + 1 < line.size()) {
            word += line.at(++i);
        } else if (c == QLatin1Char(' ') && !quoted) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
            continue;
        } else {
            word += c;
        }
        inWord = true;
    }
    if (inWord)
        words << word;
    return words;
}

QStringList absolutePaths(const QStringList& words)
{
    QStringList paths;
    for (const QString& word : words) {
        if (word.startsWith(QLatin1Char('/')))
            paths << word;
    }
    return paths;
}

// The program that decompresses an archive for tar: tar -j asks for bzip2, and -xf finds the
// compression from the archive's first bytes, as tar does for a file.
QString decompressor(const QString& option, const QString& archive)
{
    if (option == QLatin1String("-xjf"))
        return QStringLiteral("bzip2");
    QFile file(archive);
    const QByteArray magic = file.open(QIODevice::ReadOnly) ? file.read(6) : QByteArray();
    if (magic.startsWith("BZh"))
        return QStringLiteral("bzip2");
    if (magic.startsWith("\x1f\x8b"))
        return QStringLiteral("gzip");
    if (magic.startsWith("\xfd"
                         "7zXZ"))
        return QStringLiteral("xz");
    return QString();
}

// The name under which tar keeps a member: without the leading "/" and "../" it strips.
QString keptName(QString name)
{
    for (;;) {
        if (name.startsWith(QLatin1Char('/')))
            name.remove(0, 1);
        else if (name.startsWith(QLatin1String("./")) || name.startsWith(QLatin1String("../")))
            name.remove(0, name.indexOf(QLatin1Char('/')) + 1);
        else
            return QDir::cleanPath(name);
    }
}

} // namespace

SimulatedAppliance::SimulatedAppliance(const QString& root) : m_root(QDir::cleanPath(root)) {}

void SimulatedAppliance::placedByLink(const QString& devicePath, qint64 bytes)
{
    m_linked[path(devicePath)] = bytes;
}

QString SimulatedAppliance::path(const QString& devicePath) const
{
    QString cleaned = QDir::cleanPath(QLatin1Char('/') + devicePath);
    while (cleaned.startsWith(QLatin1String("/..")))
        cleaned = QDir::cleanPath(cleaned.mid(3));
    if (devicePath.endsWith(QLatin1Char('/')) && !cleaned.endsWith(QLatin1Char('/')))
        cleaned += QLatin1Char('/');
    return m_root + cleaned;
}

QString SimulatedAppliance::devicePath(const QString& path) const
{
    return path.startsWith(m_root + QLatin1Char('/')) ? path.mid(m_root.size()) : path;
}

bool SimulatedAppliance::onTmp(const QString& path) const
{
    return QDir::cleanPath(devicePath(path)).startsWith(QLatin1String("/tmp/"));
}

qint64 SimulatedAppliance::tmpUsed(const QString& except) const
{
    struct stat skip;
    const bool skipping =
        !except.isEmpty() && ::stat(QFile::encodeName(except).constData(), &skip) == 0;
    QSet<QPair<quint64, quint64>> seen;
    qint64 bytes = 0;
    QDirIterator it(m_root + QStringLiteral("/tmp"),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        struct stat st;
        if (::lstat(QFile::encodeName(file).constData(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode) && m_linked.contains(file))
            bytes += inPages(m_linked.value(file));
        if (!S_ISREG(st.st_mode) ||
            (skipping && st.st_dev == skip.st_dev && st.st_ino == skip.st_ino))
            continue;
        // Hard links share their pages.
        if (!seen.contains({quint64(st.st_dev), quint64(st.st_ino)})) {
            seen.insert({quint64(st.st_dev), quint64(st.st_ino)});
            bytes += inPages(st.st_size);
        }
    }
    return bytes;
}

void SimulatedAppliance::noteTmp(qint64 bytes, const QString& stage)
{
    if (bytes > m_tmpPeak) {
        m_tmpPeak = bytes;
        m_tmpPeakStage = stage;
    }
}

void SimulatedAppliance::noteTmpFull(const QString& stage)
{
    if (m_tmpFullStage.isEmpty())
        m_tmpFullStage = stage;
}

void SimulatedAppliance::fail(const QString& why)
{
    if (m_error.isEmpty())
        m_error = why;
}

std::unique_ptr<QFile> SimulatedAppliance::writableFile(const QString& path)
{
    return std::make_unique<SimulatedFile>(path, *this);
}

int SimulatedAppliance::toolResult(const QString& program, const QStringList& files,
                                   bool shell) const
{
    const ToolResult chosen = m_results.value(program);
    if (chosen.kind == ToolResult::Missing)
        return shell ? 127 << 8 : -2;
    for (const QString& file : files) {
        if (!QFileInfo::exists(path(file)))
            return shell ? 1 << 8 : 1;
    }
    // The shell reports a tool killed by SIGSEGV as 128 + 11.
    if (chosen.kind == ToolResult::Crash)
        return shell ? 139 << 8 : -1;
    return shell ? (chosen.code & 0xff) << 8 : chosen.code & 0xff;
}

int SimulatedAppliance::run(const QString& program, const QStringList& arguments, bool forwarded)
{
    m_calls.append({QStringList{program} + arguments, QString(), QString(), false});
    if (program == QLatin1String("tar") && !forwarded)
        return unpack(arguments);
    return toolResult(program, absolutePaths(arguments), false);
}

int SimulatedAppliance::shell(const QString& commandLine)
{
    m_calls.append({QStringList(), commandLine, QString(), false});
    const QStringList words = shellWords(commandLine);
    const QString program = words.value(0);
    if (program != QLatin1String("scp"))
        return toolResult(program, absolutePaths(words.mid(1)), true);

    const int status = toolResult(program, words.mid(1, 1), true);
    if (status != 0)
        return status;
    const QString source = path(words.value(1));
    QString target = path(words.value(2));
    if (QFileInfo(target).isDir())
        target = QDir(target).filePath(QFileInfo(source).fileName());
    // cp copies no directory.
    if (QFileInfo(source).isDir())
        return 1 << 8;
    QDir().mkpath(QFileInfo(target).path());
    QFile::remove(target);
    if (!QFile::copy(source, target))
        fail(QStringLiteral("cannot copy %1 to %2 in the scratch directory")
                 .arg(words.value(1), devicePath(target)));
    m_calls.last().copyTo = devicePath(target);
    return 0;
}

bool SimulatedAppliance::startDetached(const QString& program, const QStringList& arguments)
{
    m_calls.append({QStringList{program} + arguments, QString(), QString(), true});
    return m_results.value(program).kind != ToolResult::Missing;
}

void SimulatedAppliance::send(const QString& message)
{
    m_messages << message;
    m_lastMessageMs = m_clockMs;
}

void SimulatedAppliance::wait(int msec)
{
    m_clockMs += msec;
}

void SimulatedAppliance::sleep(int seconds)
{
    m_clockMs += qint64(seconds) * 1000;
}

QDateTime SimulatedAppliance::now() const
{
    static const QDateTime start = QDateTime::currentDateTime();
    return start.addMSecs(m_clockMs);
}

int SimulatedAppliance::unpack(const QStringList& arguments)
{
    const QString archive = path(arguments.value(1));
    const QString target = path(arguments.value(3));
    if (!QFileInfo(archive).isFile())
        return 2;

    // Space in /tmp is counted as tar takes it, member by member, and a member that does not fit
    // is cut where the appliance's tmpfs would have ended it: tar then writes what the device's
    // tar writes on a full /tmp.
    const bool counted = onTmp(target);
    qint64 used = counted ? tmpUsed() : 0;
    QMap<QString, qint64> memberPages;
    bool full = false;
    TarStream stream;
    stream.digest = m_digestMembers;
    stream.keep = [&](const TarMember& member) {
        if (!counted)
            return member.size;
        // tar replaces an earlier member of the same name.
        const QString name = keptName(member.name);
        used -= memberPages.take(name);
        const qint64 room =
            m_tmpSize < 0 ? member.size : qMax<qint64>(0, m_tmpSize / kPage * kPage - used);
        const qint64 kept = qMin(member.size, room);
        if (kept < member.size) {
            full = true;
            noteTmpFull(QLatin1String(kUnpacking));
        }
        memberPages[name] = inPages(kept);
        used += inPages(kept);
        noteTmp(used, QLatin1String(kUnpacking));
        return kept;
    };
    noteTmp(used, QLatin1String(kUnpacking));

    int status = 0;
    if (!pipeThroughTar(arguments.value(0), archive, target, stream, status))
        return status;
    m_unpacked = stream.members();
    for (const TarMember& member : qAsConst(m_unpacked)) {
        if ((member.type == '3' || member.type == '4') && ::geteuid() != 0)
            fail(QStringLiteral("the archive holds the device node %1, which only root can make "
                                "as the appliance does; plan as root")
                     .arg(member.name));
    }
    settleUnpacked(target);
    if (!stream.error().isEmpty())
        fail(QStringLiteral("cannot simulate a full /tmp: %1").arg(stream.error()));
    return full ? 2 : status;
}

bool SimulatedAppliance::pipeThroughTar(const QString& option, const QString& archive,
                                        const QString& target, TarStream& stream, int& status)
{
    status = 2;
    QProcess tar;
    tar.setStandardOutputFile(QProcess::nullDevice());
    tar.start(QStringLiteral("tar"),
              {QStringLiteral("-xf"), QStringLiteral("-"), QStringLiteral("-C"), target});
    if (!tar.waitForStarted(-1)) {
        fail(QStringLiteral("cannot run tar: %1").arg(tar.errorString()));
        return false;
    }

    QByteArray out;
    bool open = true;
    const auto pass = [&](const char* data, qint64 size) {
        out.clear();
        stream.feed(data, size, out);
        if (!open || out.isEmpty())
            return;
        tar.write(out);
        while (open && tar.bytesToWrite() > 0)
            open = tar.waitForBytesWritten(-1);
    };

    // bzip2 is the appliance's own; lbzip2 unpacks the same bytes on every core. Where lbzip2
    // stops at damage it has passed on less than bzip2 would: bzip2 then carries on from there.
    const QString program = decompressor(option, archive);
    bool sourceOk = true;
    bool started = program.isEmpty();
    if (program.isEmpty()) {
        QFile file(archive);
        sourceOk = file.open(QIODevice::ReadOnly);
        QByteArray piece;
        while (sourceOk && !(piece = file.read(kPiece)).isEmpty())
            pass(piece.constData(), piece.size());
    } else {
        QStringList candidates{program};
        const bool parallel = program == QLatin1String("bzip2") &&
                              !QStandardPaths::findExecutable(QStringLiteral("lbzip2")).isEmpty();
        if (parallel)
            candidates.prepend(QStringLiteral("lbzip2"));
        qint64 passed = 0;
        for (const QString& candidate : qAsConst(candidates)) {
            QProcess source;
            source.setStandardErrorFile(QProcess::nullDevice());
            source.start(candidate, {QStringLiteral("-dc"), archive}, QIODevice::ReadOnly);
            if (!source.waitForStarted(-1)) {
                sourceOk = false;
                continue;
            }
            started = true;
            qint64 skip = passed;
            while (source.waitForReadyRead(-1) || source.bytesAvailable() > 0) {
                const QByteArray piece = source.readAll();
                const qint64 skipped = qMin<qint64>(skip, piece.size());
                skip -= skipped;
                pass(piece.constData() + skipped, piece.size() - skipped);
                passed += piece.size() - skipped;
            }
            source.waitForFinished(-1);
            sourceOk = source.exitStatus() == QProcess::NormalExit && source.exitCode() == 0;
            if (sourceOk)
                break;
        }
    }
    tar.closeWriteChannel();
    tar.waitForFinished(-1);
    if (!started) {
        fail(QStringLiteral("cannot run %1 to unpack the archive").arg(program));
        return false;
    }

    const QString errors = QString::fromLocal8Bit(tar.readAllStandardError());
    for (const char* hostTrouble :
         {"No space left on device", "Disk quota exceeded", "Read-only file system"}) {
        if (errors.contains(QLatin1String(hostTrouble))) {
            fail(QStringLiteral("cannot unpack into the scratch directory: %1")
                     .arg(QLatin1String(hostTrouble)));
            return false;
        }
    }
    status = tar.exitStatus() != QProcess::NormalExit ? 2 : tar.exitCode();
    if (!sourceOk)
        status = 2;
    return true;
}

// Where a link leads is where it leads on the appliance: an absolute target lies in the
// appliance's root, and a link may not climb above that root, where the workstation's own files
// are. What tar made readable only to its owner, the appliance's root reads all the same.
void SimulatedAppliance::settleUnpacked(const QString& target)
{
    const bool root = ::geteuid() == 0;
    QDirIterator it(target, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QStringList links;
    while (it.hasNext()) {
        const QString file = it.next();
        struct stat st;
        if (::lstat(QFile::encodeName(file).constData(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode) && !m_linked.contains(file))
            links << file;
        else if (!root && (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)))
            ::chmod(QFile::encodeName(file).constData(),
                    (st.st_mode & 07777) | (S_ISDIR(st.st_mode) ? S_IRWXU : S_IRUSR | S_IWUSR));
    }
    for (const QString& link : qAsConst(links)) {
        const QString text = QFile::decodeName(readLink(link));
        if (text.startsWith(QLatin1Char('/')) && !text.startsWith(m_root + QLatin1Char('/'))) {
            QFile::remove(link);
            if (!QFile::link(m_root + text, link)) {
                fail(QStringLiteral("cannot write %1 in the scratch directory")
                         .arg(devicePath(link)));
                return;
            }
        }
        if (climbsAboveRoot(link))
            fail(QStringLiteral("the archive's %1 links to %2, above the appliance's root: where "
                                "it leads there cannot be simulated")
                     .arg(devicePath(link), text));
    }
}

// Follows the link the way the kernel does, part by part, and tells whether it ever steps
// above the root directory.
bool SimulatedAppliance::climbsAboveRoot(const QString& link) const
{
    QString done = QFileInfo(link).path();
    QStringList pending{QFileInfo(link).fileName()};
    for (int links = 0; !pending.isEmpty();) {
        const QString part = pending.takeFirst();
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (done == m_root)
                return true;
            done.truncate(done.lastIndexOf(QLatin1Char('/')));
            continue;
        }
        const QString next = done + QLatin1Char('/') + part;
        const QByteArray text = readLink(next);
        if (text.isEmpty()) {
            done = next;
            continue;
        }
        if (++links > 40)
            return false;
        QString target = QFile::decodeName(text);
        if (target.startsWith(QLatin1Char('/'))) {
            if (!target.startsWith(m_root + QLatin1Char('/')))
                return true;
            done = m_root;
            target = target.mid(m_root.size());
        }
        pending = target.split(QLatin1Char('/')) + pending;
    }
    return false;
}
