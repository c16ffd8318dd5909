#ifndef SIMULATEDAPPLIANCE_H
#define SIMULATEDAPPLIANCE_H

#include "appliance.h"
#include "fallible.h"
#include "scratchspace.h"
#include "tarstream.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

/// One tool the upgrader started, as it started it.
struct ToolCall {
    st_toolCall call;
    QString landedAt;      ///< the device path a copy landed at
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

/// An appliance on the workstation. Its file systems are a scratch space, its waits only
/// advance a clock, and it acts on what each tool call says it does, never on its words:
/// - an unpack really unpacks the archive with tar into the scratch (with lbzip2 when there is
///   one), and /tmp holds what the scratch space lets it: a tmpfs of the budget, or counted;
/// - a copy really copies the file it reads;
/// - a tool or copy handed a file that does not exist fails with 1, as the appliance's do;
///   otherwise a tool ends as setResult() chose, by default with 0.
/// What the workstation cannot do as the appliance would is told by errorString(), not as a result.
class SimulatedAppliance : public Appliance, public Fallible {
public:
    /// An appliance whose root is the scratch space's.
    explicit SimulatedAppliance(const ScratchSpace& scratch);

    /// Makes every run of the named tool end with result.
    void setResult(const QString& tool, const ToolResult& result) { m_results[tool] = result; }
    /// Digests the content of every member the archive holds as it is unpacked, and of every
    /// file extracted from the package as it is written.
    void setDigestMembers(bool digest) { m_digestMembers = digest; }

    QString path(const QString& devicePath) const override;
    std::unique_ptr<QFile> writableFile(const QString& path) override;
    int run(const st_toolCall& call) override;
    bool startDetached(const st_toolCall& call) override;
    void send(const QString& message) override;
    void wait(int msec) override;
    void sleep(int seconds) override;
    QDateTime now() const override;

    /// Every status message sent, in order.
    QStringList messages() const { return m_messages; }
    /// Every tool call, in order.
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
    /// The scratch space the appliance lives in.
    const ScratchSpace& scratch() const { return m_scratch; }
    /// Notes what /tmp holds now, during stage.
    void noteTmp(const QString& stage);
    /// Notes that a write of bytes in /tmp failed with why during stage: /tmp ran out when the
    /// budget leaves no page for it, and the workstation failed otherwise.
    void noteTmpWriteFailed(const QString& file, qint64 bytes, const QString& why,
                            const QString& stage);
    /// Notes that a write of file in the scratch directory failed with why, on the host's part.
    void noteWriteFailed(const QString& file, const QString& why);
    /// True for a path from path() that lies on the appliance's /tmp.
    bool onTmp(const QString& path) const;
    /// The device path of a path from path().
    QString devicePath(const QString& path) const;

private:
    int unpack(const st_toolCall& call);
    int copy(const st_toolCall& call);
    [[nodiscard]] bool pipeThroughTar(bool bzip2, const QString& archive, const QString& target,
                                      TarStream& stream, int& status);
    void settleUnpacked(const QString& target);
    int toolResult(const st_toolCall& call) const;

    const ScratchSpace& m_scratch;
    QString m_root;
    QMap<QString, ToolResult> m_results;
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
};

#endif // SIMULATEDAPPLIANCE_H
