#ifndef PACKAGEDIFF_H
#define PACKAGEDIFF_H

#include "diffoutcome.h"
#include "fallible.h"
#include "upgradeplanner.h"

#include <QString>

#include <memory>

/// What a release engineer needs to know of what changed between two upgrade packages, or
/// two firmware archives: header, carried items, the archive's files and manifest, the file
/// each stage takes, and the verdict each device model reaches. Each input is read once: its
/// tables, then the device program's own run on a simulated appliance, which unpacks and
/// digests it.
class PackageDiff : public Fallible {
public:
    /// A comparison of the inputs at oldPath and newPath.
    PackageDiff(const QString& oldPath, const QString& newPath);
    /// Releases both sides.
    ~PackageDiff();

    /// Reads and compares both inputs; false with errorString() when one cannot be compared.
    /// When quick, it stops at the first difference the tables show.
    [[nodiscard]] bool run(bool quick);
    /// The free space in the device's /tmp before a package arrives, for both runs.
    void setTmpFree(qint64 bytes) { m_tmpFree = bytes; }
    /// What run() found.
    const DiffOutcome& outcome() const { return m_outcome; }

private:
    struct Side;
    [[nodiscard]] bool readTables(Side& side);
    [[nodiscard]] bool runDevice(Side& side);
    QVector<DiffSection> compareTables() const;
    QVector<DiffSection> compareArchives() const;
    QVector<StageChange> compareStages() const;
    QVector<VerdictChange> compareVerdicts() const;
    bool timesDiffer() const;
    [[nodiscard]] bool judge();
    [[nodiscard]] bool sameBytes(bool& same);

    std::unique_ptr<Side> m_before;
    std::unique_ptr<Side> m_after;
    DiffOutcome m_outcome;
    qint64 m_tmpFree = PlanSetup::kDefaultTmpFree;
};

#endif // PACKAGEDIFF_H
