#ifndef SIMULATEDAPPLIANCE_H
#define SIMULATEDAPPLIANCE_H

#include "appliance.h"
#include "tarstream.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

/// One tool the upgrader started, as it started it.
struct ToolCall {
    QStringList argv;      ///< program and arguments of a tool run without a shell
    QString commandLine;   ///< the command line of a tool run through the shell
    QString copyTo;        ///< the device path a copy landed at
    bool detached = false; ///< started and never waited for
};

/// A file the upgrader extracted from the package, as it wrote it.
struct ExtractedFile {
    QString devicePath;
    qint64 size = 0;
    QString md5; ///< digest of what was written, when asked for
};

/// What a tool does when the upgrader runs it: end with a code, crash, or not start at all.
struct ToolResult {
    enum Kind { Exit, Crash, Missing };
    Kind kind = Exit;
    int code = 0;
};

/// An appliance on the workstation. Its file systems are a scratch directory, its tools are
/// recorded and simulated, its waits only advance a clock:
/// - tar really unpacks the archive into the scratch directory (with lbzip2 when there is one);
/// - a copy lands in the scratch directory;
/// - a tool or copy handed a path that does not exist fails with 1, as the appliance's do;
///   otherwise a tool ends as setResult() chose, by default with 0;
/// - /tmp may be given a size: files count in whole 4 KiB pages, as on tmpfs, and a write past
///   it fails as on a full file system.
/// What cannot be simulated on this workstation is an error(), not a result.
class SimulatedAppliance : public Appliance {
public:
    /// An appliance whose root directory is the existing directory root.
    explicit SimulatedAppliance(const QString& root);

    /// Makes /tmp hold at most bytes, in whole pages; a negative size is no limit.
    void setTmpSize(qint64 bytes) { m_tmpSize = bytes; }
    /// Makes every run of the named tool end with result.
    void setResult(const QString& tool, const ToolResult& result) { m_results[tool] = result; }
    /// Counts the link at devicePath, while it is there, as a file of bytes: a package placed
    /// by a link rather than a copy.
    void placedByLink(const QString& devicePath, qint64 bytes);
    /// Digests the content of every member the archive holds as it is unpacked, and of every
    /// file extracted from the package as it is written.
    void setDigestMembers(bool digest) { m_digestMembers = digest; }

    QString path(const QString& devicePath) const override;
    std::unique_ptr<QFile> writableFile(const QString& path) override;
    int run(const QString& program, const QStringList& arguments, bool forwarded) override;
    int shell(const QString& commandLine) override;
    bool startDetached(const QString& program, const QStringList& arguments) override;
    void send(const QString& message) override;
    void wait(int msec) override;
    void sleep(int seconds) override;
    QDateTime now() const override;

    /// Every status message sent, in order.
    QStringList messages() const { return m_messages; }
    /// Every tool call and shell command, in order.
    QVector<ToolCall> calls() const { return m_calls; }
    /// Milliseconds the waits had passed when the last message went out.
    qint64 lastMessageMs() const { return m_lastMessageMs; }
    /// The most /tmp held at any time, in bytes of whole pages.
    qint64 tmpPeak() const { return m_tmpPeak; }
    /// What the upgrader was doing when /tmp held the most.
    QString tmpPeakStage() const { return m_tmpPeakStage; }
    /// What the upgrader was doing when /tmp ran out; empty when it never did.
    QString tmpFullStage() const { return m_tmpFullStage; }
    /// The members of the archive tar unpacked last, in the order of the archive.
    QVector<TarMember> unpacked() const { return m_unpacked; }
    /// Every file extracted from the package, in the order they were written.
    QVector<ExtractedFile> extracted() const { return m_extracted; }
    /// Notes a file extracted from the package once it is written.
    void noteExtracted(const ExtractedFile& file) { m_extracted.append(file); }
    /// True when extracted files are digested as they are written.
    bool digestsMembers() const { return m_digestMembers; }
    /// Why the simulation could not follow the appliance; empty when it could.
    QString error() const { return m_error; }

    /// Bytes the files under /tmp take now, in whole pages; the file at except not counted.
    qint64 tmpUsed(const QString& except = QString()) const;
    /// Notes that /tmp held bytes during stage.
    void noteTmp(qint64 bytes, const QString& stage);
    /// Notes that a write in /tmp failed for want of space during stage.
    void noteTmpFull(const QString& stage);
    /// Notes the first thing the simulation could not follow.
    void fail(const QString& why);
    /// The size /tmp may hold; negative for no limit.
    qint64 tmpSize() const { return m_tmpSize; }
    /// True for a path from path() that lies on the appliance's /tmp.
    bool onTmp(const QString& path) const;
    /// The device path of a path from path().
    QString devicePath(const QString& path) const;

private:
    int unpack(const QStringList& arguments);
    bool pipeThroughTar(const QString& option, const QString& archive, const QString& target,
                        TarStream& stream, int& status);
    void settleUnpacked(const QString& target);
    bool climbsAboveRoot(const QString& link) const;
    int toolResult(const QString& program, const QStringList& files, bool shell) const;

    QString m_root;
    qint64 m_tmpSize = -1;
    QMap<QString, ToolResult> m_results;
    QMap<QString, qint64> m_linked;
    bool m_digestMembers = false;
    QStringList m_messages;
    QVector<ToolCall> m_calls;
    qint64 m_clockMs = 0;
    qint64 m_lastMessageMs = 0;
    qint64 m_tmpPeak = 0;
    QString m_tmpPeakStage;
    QString m_tmpFullStage;
    QVector<TarMember> m_unpacked;
    QVector<ExtractedFile> m_extracted;
    QString m_error;
};

#endif // SIMULATEDAPPLIANCE_H
