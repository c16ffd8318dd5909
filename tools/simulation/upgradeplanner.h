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

/// A package's tables, as the planner reads them before the device does.
struct PackageTables {
    QString type;
    QStringList information;
    QVector<PackItemInfo> items;
    st_packRead layout; ///< payload sizes, truncation, trailing bytes

    /// The model the package was built for.
    QString model() const { return information.value(0); }
};

/// The device a plan runs on and the package it finds: everything a run depends on.
struct PlanSetup {
    /// The free space in /tmp a plan assumes unless told: what a tmpfs holds by default, half
    /// the memory, on the smallest appliance, one of 1 GiB.
    static constexpr qint64 kDefaultTmpFree = qint64(512) << 20;

    QString packagePath; ///< the package on the workstation
    QString devicePath;  ///< where the device finds it
    /// The device's files by device path, empty ones too; /etc/issue names the package's own
    /// model unless given.
    QMap<QString, QByteArray> files;
    qint64 tmpFree = kDefaultTmpFree;      ///< free space in /tmp before the package arrives
    QMap<QString, ToolResult> toolResults; ///< what every run of a tool does; by default 0
    /// Digests every member of the firmware archive as it is unpacked, and every file the
    /// package carries as it is extracted.
    bool digestMembers = false;
    /// The input is a firmware archive: the device's full-system upgrade runs on it, as it would
    /// once a T1 package carrying it had passed its checks.
    bool firmwareArchive = false;

    /// Where the device finds the parameter file beside the package.
    QString saveParaPath() const { return UpgradeScanner::g_saveParaPath(devicePath); }
};

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

    PackageTables tables;             ///< empty for a firmware archive
    QVector<TarMember> unpacked;      ///< the members of the firmware archive, as unpacked
    QList<st_otaFiles> listed;        ///< the files the manifest listed, as the device read them
    QVector<ExtractedFile> extracted; ///< the files extracted from the package, as written
    /// The regular files under ota_file/ unpacked but not listed, the manifest aside; sorted.
    QStringList unlisted;

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
    UpgradePlan accepted; ///< the run of a device of a model that accepts the package

    /// True when a device of at least one model installs the package.
    bool anyInstalls() const;
    /// One line per model, for people.
    QString describe() const;
    /// The models as a JSON object, for scripts.
    QJsonObject toJson() const;
};

/// Works out on the workstation what a device would do with an upgrade package: the device
/// program's own upgrader runs on a simulated appliance in a scratch directory. Each call
/// stands alone: all it depends on is its setup, all it found is in its result.
class UpgradePlanner : public Fallible {
public:
    /// Reads the tables of the package in setup (none of a firmware archive); false with
    /// errorString() when it cannot be read.
    [[nodiscard]] bool read(const PlanSetup& setup, PackageTables& tables);
    /// Reads the package and runs the upgrade on the simulated appliance; false with
    /// errorString() when the package cannot be read or the simulation cannot follow the device.
    [[nodiscard]] bool plan(const PlanSetup& setup, UpgradePlan& result);
    /// What a device of each known model does, as product model without a scanner type; false
    /// with errorString() when it cannot be worked out.
    [[nodiscard]] bool planFleet(const PlanSetup& setup, FleetPlan& result);

private:
    /// Runs the upgrade of setup on the simulated appliance, the tables already in result.
    [[nodiscard]] bool run(const PlanSetup& setup, UpgradePlan& result);
    [[nodiscard]] bool prepare(const PlanSetup& setup, const QString& packageModel,
                               SimulatedAppliance& appliance, QFile& package);
};

#endif // UPGRADEPLANNER_H
