#ifndef UPGRADEPLANNER_H
#define UPGRADEPLANNER_H

#include "archivehazards.h"
#include "fallible.h"
#include "packprocess.h"
#include "simulatedappliance.h"
#include "upgradescanner.h"

#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

/// What a device did with a package on a simulated appliance, and what to look out for.
struct UpgradePlan {
    QString devicePath;
    QString productModel;
    QString scannerType;
    bool modelAssumed = false;
    QStringList messages; ///< every status message after the start-up message, in order
    QVector<ToolCall> tools;
    QStringList left;    ///< what stays under /tmp/upgrade, relative to it; directories end in "/"
    qint64 tmpBytes = 0; ///< what /tmp could hold, in whole pages
    QString tmpKeptBy;   ///< how /tmp was held to that: "tmpfs" or "counted"
    qint64 tmpPeakBytes = 0;
    QString tmpPeakStage;
    bool tmpRunsOut = false; ///< a write in /tmp failed for want of space
    qint64 waitMs = 0;       ///< the least time the waits impose, from start to the last message
    QStringList hazards;

    /// The last message's code.
    QString verdict() const;
    /// The plan as text, for people.
    QString describe() const;
    /// The plan as a JSON object, for scripts.
    QJsonObject toJson() const;
};

/// The verdict a device of one model reaches.
struct ModelVerdict {
    QString model;
    QString verdict;
    QString refusal; ///< the last message when it is no success
};

/// What devices of every known model do with a package.
struct FleetPlan {
    QVector<ModelVerdict> models;

    /// True when a device of at least one model installs the package.
    bool anyInstalls() const;
    /// One line per model, for people.
    QString describe() const;
    /// The models as a JSON object, for scripts.
    QJsonObject toJson() const;
};

/// Works out on the workstation what a device would do with an upgrade package: the device
/// program's own upgrader runs on a simulated appliance in a scratch directory.
class UpgradePlanner : public Fallible {
public:
    /// A planner for the package at path, placed on the device at devicePath.
    UpgradePlanner(const QString& path, const QString& devicePath);

    /// The content of the parameter file the device finds beside the package; by default none.
    void setSavePara(const QByteArray& content) { m_files[savePara()] = content; }
    /// The content of the parameter file the device finds in /tmp; by default none.
    void setTmpSavePara(const QByteArray& content)
    {
        m_files[QLatin1String(kTmpSavePara)] = content;
    }
    /// The device's /etc/issue; by default one naming the package's own model.
    void setIssue(const QByteArray& content) { m_files[QLatin1String(kIssueFile)] = content; }
    /// The device's /usr/scanner/config/scannerConfig.json; by default none.
    void setScannerConfig(const QByteArray& content)
    {
        m_files[QLatin1String(kScannerConfigFile)] = content;
    }
    /// The free space in /tmp before the package arrives; by default kDefaultTmpFree.
    void setTmpFree(qint64 bytes) { m_tmpFree = bytes; }
    /// What every run of the named tool does on the device.
    void setToolResult(const QString& tool, const ToolResult& result) { m_results[tool] = result; }
    /// Digests every member of the firmware archive as it is unpacked, and every file the
    /// package carries as it is extracted.
    void setDigestMembers(bool digest) { m_digestMembers = digest; }
    /// Takes the input for a firmware archive: the device's full-system upgrade runs on it, as
    /// it would once a T1 package carrying it had passed its checks.
    void setFirmwareArchive(bool archive) { m_archive = archive; }

    /// Reads the package's type and information; false with errorString() when it cannot be read.
    [[nodiscard]] bool read();
    /// The model the package was built for.
    QString packageModel() const { return m_information.value(0); }
    /// Runs the upgrade on the simulated appliance; false with errorString() when the simulation
    /// cannot follow the device.
    [[nodiscard]] bool plan(UpgradePlan& result);
    /// What a device of each known model does, as product model without a scanner type; false
    /// with errorString() when it cannot be worked out.
    [[nodiscard]] bool planFleet(FleetPlan& result);
    /// The package's upgrade type, as read().
    QString type() const { return m_type; }
    /// The package's information entries, as read().
    QStringList information() const { return m_information; }
    /// The package's item table, as read().
    QVector<PackItemInfo> items() const { return m_items; }
    /// What read() found of the package's layout: payload sizes, truncation, trailing bytes.
    const st_packRead& layout() const { return m_layout; }
    /// The members of the firmware archive the last plan unpacked.
    QVector<TarMember> unpacked() const { return m_unpacked; }
    /// The files the manifest listed in the last plan, as the device read them.
    QList<st_otaFiles> listed() const { return m_listed; }
    /// The files the last plan extracted from the package, as they were written.
    QVector<ExtractedFile> extracted() const { return m_extracted; }
    /// The regular files under ota_file/ that the last plan unpacked but the manifest does not
    /// list, the manifest aside; sorted.
    QStringList unlisted() const;

    /// The free space in /tmp a plan assumes unless told: what a tmpfs holds by default, half
    /// the memory, on the smallest appliance, one of 1 GiB.
    static constexpr qint64 kDefaultTmpFree = qint64(512) << 20;

private:
    QString savePara() const;
    [[nodiscard]] bool prepare(SimulatedAppliance& appliance, QFile& package);
    QStringList treeHazards() const;

    QString m_path;
    QString m_devicePath;
    QMap<QString, QByteArray> m_files; ///< the device's files by device path, empty ones too
    qint64 m_tmpFree = kDefaultTmpFree;
    QMap<QString, ToolResult> m_results;
    bool m_digestMembers = false;
    bool m_archive = false;

    QString m_type;
    QStringList m_information;
    QVector<PackItemInfo> m_items;
    st_packRead m_layout;
    QVector<TarMember> m_unpacked;
    QList<st_otaFiles> m_listed;
    QVector<ExtractedFile> m_extracted;
};

#endif // UPGRADEPLANNER_H
