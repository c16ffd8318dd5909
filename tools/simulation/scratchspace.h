#ifndef SCRATCHSPACE_H
#define SCRATCHSPACE_H

#include "fallible.h"
#include "signalcleanup.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QTemporaryDir;

/// The file systems of a simulated appliance on this workstation: a scratch root whose tmp/
/// holds no more than a budget, as the appliance's /tmp, a tmpfs, holds no more than its size.
///
/// Where the system lets the tool have a mount namespace of its own (as root, or through an
/// unprivileged user namespace), the scratch is a tmpfs over TMPDIR, seen by the tool alone, and
/// its tmp/ a tmpfs of the budget: the kernel counts every page tar writes exactly as on the
/// appliance, and the scratch is gone with the process, even when it is killed. TMPDIR's own
/// files are out of sight while the scratch lives. Elsewhere the scratch is a directory under
/// TMPDIR and /tmp's use is counted from what the files there hold on disk.
class ScratchSpace : public Fallible {
public:
    /// How the budget of /tmp is kept.
    enum class Kind { Tmpfs, Counted };

    /// Space for the appliance's own files beside /tmp: its configuration and the components
    /// that the upgrade copies out of /tmp.
    static constexpr qint64 kDeviceFilesBytes = 16 << 20;

    ScratchSpace();
    /// Removes the scratch.
    ~ScratchSpace();
    ScratchSpace(const ScratchSpace&) = delete;
    ScratchSpace& operator=(const ScratchSpace&) = delete;

    /// Makes the scratch with a tmp/ of tmpBytes, rounded down to whole pages, and room for
    /// otherBytes more beside it; false with errorString() when it cannot be made.
    [[nodiscard]] bool create(qint64 tmpBytes, qint64 otherBytes);
    /// The scratch root: the appliance's "/".
    QString root() const { return m_root; }
    /// How the budget is kept.
    Kind kind() const { return m_kind; }
    /// How the budget is kept, in words: "tmpfs" or "counted".
    static QString kindName(Kind kind);
    /// The budget of tmp/, in whole pages.
    qint64 tmpBytes() const { return m_tmpBytes; }
    /// What tmp/ holds now, in bytes of whole pages: what a tmpfs counts, data and long link
    /// targets; directories and empty files hold none.
    qint64 tmpUsed() const;
    /// What the whole scratch holds on the host's disk now, directories included; 0 on a tmpfs,
    /// whose own size bounds it.
    qint64 diskUsed() const;
    /// True when the tool can make device nodes as the appliance's root does.
    static bool makesDevices();

private:
    [[nodiscard]] bool createTmpfs(qint64 otherBytes);
    [[nodiscard]] bool createCounted(qint64 otherBytes);

    Kind m_kind = Kind::Counted;
    qint64 m_tmpBytes = 0;
    QString m_root;
    QByteArray m_mounted;      ///< where the tmpfs covers TMPDIR
    RemovedOnSignal m_removal; // outlives the directory it removes on a signal
    std::unique_ptr<QTemporaryDir> m_dir;
};

#endif // SCRATCHSPACE_H
