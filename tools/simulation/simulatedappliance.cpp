#include "simulatedappliance.h"

#include "signalcleanup.h"

#include "upgradescanner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
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

/// A process of the simulation: it ends with the tool, however the tool ends, even killed.
class ChildProcess : public QProcess {
public:
    /// Starts program with arguments and waits until it runs; false when it cannot start.
    bool launch(const QString& program, const QStringList& arguments, OpenMode mode = ReadWrite)
    {
        // Qt 5 gives no hook into the child before its exec: setpriv asks the kernel there.
        static const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (QStandardPaths::findExecutable(program).isEmpty())
            return false;
        if (setpriv.isEmpty())
            start(program, arguments, mode);
        else
            start(setpriv,
                  QStringList{QStringLiteral("--pdeathsig"), QStringLiteral("KILL"),
                              QStringLiteral("--"), program} +
                      arguments,
                  mode);
        if (!waitForStarted(-1))
            return false;
        m_killed.set(processId());
        return true;
    }

private:
    KilledOnSignal m_killed;
};

/// A file the upgrader writes. On a tmpfs the kernel keeps /tmp's budget; counted, a write past
/// the budget fails here as it would on the appliance.
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
        m_counted = m_onTmp && m_appliance.scratch().kind() == ScratchSpace::Kind::Counted;
        if (m_counted)
            m_others = m_appliance.scratch().tmpUsed() - inPages(m_size);
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
        if (m_counted) {
            // The file may grow into every page the others leave, its last one included.
            allowed =
                qBound<qint64>(0, m_appliance.scratch().tmpBytes() - m_others - m_size, length);
            if (allowed == 0) {
                m_appliance.noteTmpWriteFailed(fileName(), length,
                                               QStringLiteral("No space left on device"),
                                               QLatin1String(kExtracting));
                setErrorString(QStringLiteral("No space left on device"));
                return -1;
            }
        }
        const qint64 written = QFile::writeData(data, allowed);
        if (written < 0) {
            if (m_onTmp)
                m_appliance.noteTmpWriteFailed(fileName(), length, errorString(),
                                               QLatin1String(kExtracting));
            else
                m_appliance.noteWriteFailed(fileName(), errorString());
            return -1;
        }
        m_size += written;
        if (m_hash)
            m_hash->addData(data, int(written));
        if (m_onTmp)
            m_appliance.noteTmp(QLatin1String(kExtracting));
        return written;
    }

private:
    SimulatedAppliance& m_appliance;
    bool m_onTmp = false;
    bool m_counted = false;
    qint64 m_others = 0;
    qint64 m_size = 0;
    std::unique_ptr<QCryptographicHash> m_hash;
};

// The program that decompresses an archive for tar: an unpack that takes bzip2 asks for it,
// and otherwise the compression is found from the archive's first bytes, as tar does for a
// file.
QString decompressor(bool bzip2, const QString& archive)
{
    if (bzip2)
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

bool crashed(const QProcess& process)
{
    return process.exitStatus() != QProcess::NormalExit;
}

} // namespace

SimulatedAppliance::SimulatedAppliance(const ScratchSpace& scratch)
    : m_scratch(scratch), m_root(scratch.root())
{
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

void SimulatedAppliance::noteTmp(const QString& stage)
{
    const qint64 used = m_scratch.tmpUsed();
    if (used > m_tmpPeak) {
        m_tmpPeak = used;
        m_tmpPeakStage = stage;
    }
}

void SimulatedAppliance::noteTmpWriteFailed(const QString& file, qint64 bytes, const QString& why,
                                            const QString& stage)
{
    // A write fails for want of space only when not even its first page fits.
    if (m_scratch.tmpUsed() + qMin(inPages(bytes), kPage) <= m_scratch.tmpBytes()) {
        noteWriteFailed(file, why);
        return;
    }
    noteTmp(stage);
    if (m_tmpFullStage.isEmpty())
        m_tmpFullStage = stage;
}

void SimulatedAppliance::noteWriteFailed(const QString& file, const QString& why)
{
    failOnce(
        QStringLiteral("cannot write %1 in the scratch directory: %2").arg(devicePath(file), why));
}

std::unique_ptr<QFile> SimulatedAppliance::writableFile(const QString& path)
{
    return std::make_unique<SimulatedFile>(path, *this);
}

int SimulatedAppliance::toolResult(const st_toolCall& call) const
{
    const bool shell = !call.commandLine.isEmpty();
    const ToolResult chosen = m_results.value(call.program);
    if (chosen.kind == ToolResult::Missing)
        return shell ? 127 << 8 : -2;
    for (const QString& file : call.reads) {
        if (!QFileInfo::exists(path(file)))
            return shell ? 1 << 8 : 1;
    }
    // The shell reports a tool killed by SIGSEGV as 128 + 11.
    if (chosen.kind == ToolResult::Crash)
        return shell ? 139 << 8 : -1;
    return shell ? (chosen.code & 0xff) << 8 : chosen.code & 0xff;
}

int SimulatedAppliance::run(const st_toolCall& call)
{
    m_calls.append({call, QString(), false});
    if (!call.unpackTo.isEmpty())
        return unpack(call);
    const int status = toolResult(call);
    return status == 0 && !call.copyTo.isEmpty() ? copy(call) : status;
}

int SimulatedAppliance::copy(const st_toolCall& call)
{
    const QString source = path(call.reads.value(0));
    QString target = path(call.copyTo);
    if (QFileInfo(target).isDir())
        target = QDir(target).filePath(QFileInfo(source).fileName());
    // cp copies no directory.
    if (QFileInfo(source).isDir())
        return 1 << 8;
    if (QFileInfo(source).size() > ScratchSpace::kDeviceFilesBytes) {
        failOnce(QStringLiteral("%1 is copied out of /tmp, and holds more than the %2 MiB the "
                                "simulation keeps for such copies")
                     .arg(call.reads.value(0))
                     .arg(ScratchSpace::kDeviceFilesBytes >> 20));
        return 1 << 8;
    }
    QDir().mkpath(QFileInfo(target).path());
    QFile::remove(target);
    if (!QFile::copy(source, target))
        failOnce(QStringLiteral("cannot copy %1 to %2 in the scratch directory")
                     .arg(call.reads.value(0), devicePath(target)));
    m_calls.last().landedAt = devicePath(target);
    return 0;
}

bool SimulatedAppliance::startDetached(const st_toolCall& call)
{
    m_calls.append({call, QString(), true});
    return m_results.value(call.program).kind != ToolResult::Missing;
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

int SimulatedAppliance::unpack(const st_toolCall& call)
{
    const QString archive = path(call.reads.value(0));
    const QString target = path(call.unpackTo);
    if (!QFileInfo(archive).isFile())
        return 2;

    TarStream stream;
    stream.digest = m_digestMembers;
    int status = 0;
    const bool ran = pipeThroughTar(call.bzip2, archive, target, stream, status);
    m_unpacked = stream.members();
    if (!ran)
        return status;
    for (const TarMember& member : qAsConst(m_unpacked)) {
        if ((member.type == '3' || member.type == '4') && !ScratchSpace::makesDevices())
            failOnce(
                QStringLiteral("the archive holds the device node %1, which only root can make "
                               "as the appliance does; plan as root")
                    .arg(member.name));
    }
    settleUnpacked(target);
    return status;
}

// The decompressor's output passes through this process on its way to tar, so that the
// archive's members are seen, and digested when asked, as tar unpacks them. What tar writes
// is what the scratch holds: on a tmpfs of the budget, a write past it fails as on the
// appliance; counted, tar is stopped as soon as what it left passes the budget, and which of
// the later members the appliance's tar would still have written cannot be told.
bool SimulatedAppliance::pipeThroughTar(bool bzip2, const QString& archive, const QString& target,
                                        TarStream& stream, int& status)
{
    status = 2;
    const bool counted = m_scratch.kind() == ScratchSpace::Kind::Counted;
    const bool onTmp = this->onTmp(target);
    QStringList tarArguments{QStringLiteral("-xf"), QStringLiteral("-"), QStringLiteral("-C"),
                             target};
    // Root in a namespace of its own is not root of the files' owners.
    if (::geteuid() == 0 && !ScratchSpace::makesDevices())
        tarArguments.prepend(QStringLiteral("--no-same-owner"));
    ChildProcess tar;
    tar.setStandardOutputFile(QProcess::nullDevice());
    tar.setStandardErrorFile(QProcess::nullDevice());
    if (!tar.launch(QLatin1String(kUnpackTool), tarArguments)) {
        failOnce(QStringLiteral("cannot run tar"));
        return false;
    }

    if (onTmp)
        noteTmp(QLatin1String(kUnpacking));
    qint64 checked = m_scratch.tmpUsed();
    qint64 sinceCheck = 0;
    bool overBudget = false;
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
        if (!onTmp)
            return;
        if (!counted) {
            noteTmp(QLatin1String(kUnpacking));
            return;
        }
        // tar writes no more than it is given, but a directory may take a block for a header's
        // 512 bytes: the disk is read again only once that much could have passed the budget.
        sinceCheck += out.size();
        if (sinceCheck * 8 < m_scratch.tmpBytes() - checked && sinceCheck < 64 * kPiece)
            return;
        sinceCheck = 0;
        checked = m_scratch.tmpUsed();
        noteTmp(QLatin1String(kUnpacking));
        if (checked > m_scratch.tmpBytes() ||
            m_scratch.diskUsed() > m_scratch.tmpBytes() + ScratchSpace::kDeviceFilesBytes) {
            overBudget = true;
            open = false;
            tar.kill();
        }
    };

    // bzip2 is the appliance's own; lbzip2 unpacks the same bytes on every core. Where lbzip2
    // stops at damage it has passed on less than bzip2 would: bzip2 then carries on from there.
    const QString program = decompressor(bzip2, archive);
    bool sourceOk = true;
    bool started = program.isEmpty();
    if (program.isEmpty()) {
        QFile file(archive);
        sourceOk = file.open(QIODevice::ReadOnly);
        QByteArray piece;
        while (sourceOk && open && !(piece = file.read(kPiece)).isEmpty())
            pass(piece.constData(), piece.size());
    } else {
        QStringList candidates{program};
        const bool parallel = program == QLatin1String("bzip2") &&
                              !QStandardPaths::findExecutable(QStringLiteral("lbzip2")).isEmpty();
        if (parallel)
            candidates.prepend(QStringLiteral("lbzip2"));
        qint64 passed = 0;
        for (const QString& candidate : qAsConst(candidates)) {
            ChildProcess source;
            source.setStandardErrorFile(QProcess::nullDevice());
            if (!source.launch(candidate, {QStringLiteral("-dc"), archive}, QIODevice::ReadOnly)) {
                sourceOk = false;
                continue;
            }
            started = true;
            qint64 skip = passed;
            while (open && (source.waitForReadyRead(-1) || source.bytesAvailable() > 0)) {
                const QByteArray piece = source.readAll();
                const qint64 skipped = qMin<qint64>(skip, piece.size());
                skip -= skipped;
                pass(piece.constData() + skipped, piece.size() - skipped);
                passed += piece.size() - skipped;
            }
            if (!open)
                source.kill();
            source.waitForFinished(-1);
            if (overBudget)
                break;
            if (crashed(source)) {
                failOnce(QStringLiteral("%1 ended by a signal while it unpacked the archive")
                             .arg(candidate));
                return false;
            }
            sourceOk = source.exitCode() == 0;
            if (sourceOk)
                break;
        }
    }
    tar.closeWriteChannel();
    tar.waitForFinished(-1);
    if (!started) {
        failOnce(QStringLiteral("cannot run %1 to unpack the archive").arg(program));
        return false;
    }
    if (onTmp)
        noteTmp(QLatin1String(kUnpacking));
    if (counted && !overBudget && m_tmpPeak > m_scratch.tmpBytes())
        overBudget = true;
    if (overBudget) {
        failOnce(QStringLiteral("the archive unpacks to more than the %1 bytes /tmp holds, and how "
                                "far the appliance's tar gets then can be told only on a tmpfs, "
                                "which this system does not let the tool mount")
                     .arg(m_scratch.tmpBytes()));
        return false;
    }
    if (crashed(tar)) {
        failOnce(QStringLiteral("tar ended by a signal while it unpacked the archive"));
        return false;
    }
    status = tar.exitCode() != 0 || !sourceOk ? 2 : 0;
    // On the appliance only a full /tmp fails a write that far into tar's work.
    if (status != 0 && onTmp && m_tmpPeak + kPage > m_scratch.tmpBytes() &&
        m_tmpFullStage.isEmpty())
        m_tmpFullStage = QLatin1String(kUnpacking);
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
        if (S_ISLNK(st.st_mode))
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
                failOnce(QStringLiteral("cannot write %1 in the scratch directory")
                             .arg(devicePath(link)));
                return;
            }
        }
        bool climbed = false;
        UpgradeScanner::g_followLinks(link, m_root, &climbed);
        if (climbed)
            failOnce(
                QStringLiteral("the archive's %1 links to %2, above the appliance's root: where "
                               "it leads there cannot be simulated")
                    .arg(devicePath(link), text));
    }
}
