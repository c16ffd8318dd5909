#ifndef UPGRADEPLANNER_H
#define UPGRADEPLANNER_H

#include "packprocess.h"
#include "upgradescanner.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

/// A stage of the full-system upgrade that would take a file not meant for it, or none.
struct StageHazard {
    enum Kind { KeywordInDirectory, TwoStages, SecondFile, NoFile };
    Kind kind;
    QString text;
};

/// One tool the device would start.
struct PlannedTool {
    QStringList argv;      ///< program and arguments of a tool started without a shell
    QString commandLine;   ///< the command line of a tool run through the shell
    QString copyTo;        ///< where a copy lands
    bool detached = false; ///< started and never waited for
};

/// What a device would do with a package, and what to look out for.
struct UpgradePlan {
    QString devicePath;
    QString productModel;
    QString scannerType;
    bool modelAssumed = false;
    QStringList messages; ///< every status message after the start-up message, in order
    QVector<PlannedTool> tools;
    QStringList left; ///< what stays in /tmp/upgrade, relative to it; directories end in "/"
    qint64 tmpPeakBytes = 0;
    QString tmpPeakStage;
    bool tmpRunsOut = false; ///< the peak is above the free space given: the device fails first
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

/// Works out on the workstation what a device would do with an upgrade package, with the
/// device program's own rules; everything it unpacks stays in a scratch directory.
class UpgradePlanner {
public:
    /// A planner for the package at path, placed on the device at devicePath.
    UpgradePlanner(const QString& path, const QString& devicePath);

    /// The content of the parameter file the device finds beside the package.
    void setSavePara(const QByteArray& content) { m_savePara = content; }
    /// The content of the parameter file the device finds in /tmp.
    void setTmpSavePara(const QByteArray& content) { m_tmpSavePara = content; }
    /// The free space in /tmp; a peak above it is a hazard.
    void setTmpFree(qint64 bytes) { m_tmpFree = bytes; }

    /// Reads the package into the scratch directory as the device does; false with error().
    bool read();
    /// The model the package was built for.
    QString packageModel() const { return m_information.value(0); }
    /// Works out what a device of this identity does; false with error() when it cannot.
    bool plan(const QString& productModel, const QString& scannerType, UpgradePlan& result);
    /// Works out what a device of each known model does, as product model without a scanner
    /// type; false with error() when it cannot.
    bool planFleet(FleetPlan& result);
    /// Why the last operation failed.
    QString error() const { return m_error; }

    /// The hazards of the stage table for unpacked files listed in this order (device paths),
    /// each path shown without the prefix shownFrom.
    static QVector<StageHazard> stageHazards(const QStringList& paths, const QString& shownFrom);

private:
    /// How far a plan got, for what it leaves behind.
    struct Progress {
        bool packageDeleted = false;
        bool unpacked = false;
        bool archiveDeleted = false;
        bool done = false;
        QString archive;
    };

    bool fail(const QString& why);
    QString local(const QString& devicePath) const;
    QStringList workDirEntries() const;
    qint64 tmpUsage() const;
    bool unpack(const QString& archive);
    bool checkLinks();
    QStringList treeHazards() const;
    void parameterStage(UpgradePlan& result) const;
    void finish(UpgradePlan& result, const Progress& progress) const;

    QString m_path;
    QString m_devicePath;
    QByteArray m_savePara;
    QByteArray m_tmpSavePara;
    qint64 m_tmpFree = -1;
    QTemporaryDir m_scratch;
    QString m_root;

    bool m_readOk = false;
    QString m_type;
    QStringList m_information;
    QVector<PackItemInfo> m_items;
    qint64 m_extractPeak = 0;
    QStringList m_extractedEntries;

    bool m_digestsChecked = false;
    QString m_digestFailure;
    bool m_unpacked = false;
    qint64 m_unpackPeak = 0;
    QStringList m_unpackedEntries;
    bool m_verified = false;
    QString m_verifyFailure;
    QList<st_otaFiles> m_otaFiles;
    QString m_error;
};

#endif // UPGRADEPLANNER_H
