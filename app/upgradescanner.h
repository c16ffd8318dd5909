#ifndef UPGRADESCANNER_H
#define UPGRADESCANNER_H

#include "appliance.h"

#include <QByteArray>
#include <QIODevice>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

// The paths of the unpacked firmware are joined from these parts, each spelled once.
#define SCANNER_UPGRADE_DIR "/tmp/upgrade/"
#define SCANNER_OTA_TOP "ota_file/"
#define SCANNER_OTA_MANIFEST "fileMd5s"

/// The directory the package is expected in and the firmware archive unpacks into.
constexpr char kUpgradeDir[] = SCANNER_UPGRADE_DIR;
/// The directory every member of a firmware archive lies in, as the archive names it.
constexpr char kOtaTop[] = SCANNER_OTA_TOP;
/// Where the firmware archive's files unpack to.
constexpr char kOtaFileDir[] = SCANNER_UPGRADE_DIR SCANNER_OTA_TOP;
/// The file name of the unpacked archive's digest manifest.
constexpr char kOtaManifestName[] = SCANNER_OTA_MANIFEST;
/// The digest manifest as the firmware archive names it.
constexpr char kOtaManifestMember[] = SCANNER_OTA_TOP SCANNER_OTA_MANIFEST;
/// The unpacked archive's digest manifest.
constexpr char kOtaManifest[] = SCANNER_UPGRADE_DIR SCANNER_OTA_TOP SCANNER_OTA_MANIFEST;
/// The device file that names the product model, the system branch and its version.
constexpr char kIssueFile[] = "/etc/issue";
/// The scanner's configuration, which names the scanner type.
constexpr char kScannerConfigFile[] = "/usr/scanner/config/scannerConfig.json";
/// The tool that unpacks the firmware archive.
constexpr char kUnpackTool[] = "tar";
/// The tool that stops a process before a stage.
constexpr char kStopTool[] = "killall";
/// The tool that opens a file's permissions after a stage.
constexpr char kOpenTool[] = "chmod";
/// The tool that flushes the file systems at the end.
constexpr char kSyncTool[] = "sync";
/// The parameter file used when there is none beside the package.
constexpr char kTmpSavePara[] = "/tmp/savepara.txt";

/// One file unpacked from a firmware archive, as the archive's manifest lists it.
struct st_otaFiles {
    QString path;
    QString md5;
};

/// One component stage of the full-system upgrade: which file it takes and what it does. A row
/// of the stage table is built by field name: st_otaStage(name, keyword) and named setters.
struct st_otaStage {
    const char* name;                   ///< the component, for people
    const char* keyword;                ///< it takes the first file whose path holds it, any case
    const char* trace = nullptr;        ///< debug line before the stage's message
    const char* startMessage = nullptr; ///< sent with the file's path before the run
    int waitBeforeMs = 0;               ///< event-loop wait after the start message
    const char* program = nullptr;      ///< tool run without a shell
    const char* arguments[2] = {};      ///< its arguments, "%1" standing for the file's path
    const char* commandLine = nullptr;  ///< shell command: %1 the quoted path, %2 the destination
    const char* shellTool = nullptr;    ///< the tool the shell command runs
    const char* destination = nullptr;  ///< directory a copy goes to
    const char* stopBefore = nullptr;   ///< process stopped before the run
    const char* crashCode = nullptr;    ///< sent when the tool crashed (tools without a shell)
    bool traceCrash = false;            ///< a debug line goes before the crash message
    const char* failCode = nullptr;     ///< sent when the result is not 0
    bool failureNamesCommand = false;   ///< the failure carries the command line, not the result
    bool traceFailure = false;          ///< the result text also goes to the debug stream
    bool removeAfter = false;           ///< the file is deleted after a successful run
    const char* openAfter = nullptr;    ///< path whose permissions are opened afterwards
    int sleepAfterS = 0;                ///< seconds the thread sleeps after a successful run

    /// A stage of the named component that takes the first file holding keyword.
    st_otaStage(const char* component, const char* key) : name(component), keyword(key) {}
    /// True when the stage would take the file at path: the path holds the keyword, in any case.
    bool matches(const QString& path) const
    {
        return path.contains(QLatin1String(keyword), Qt::CaseInsensitive);
    }
    /// Writes a debug line with the file's path before the stage's message.
    st_otaStage& tracing(const char* text) { return trace = text, *this; }
    /// Sends message, followed by the file's path, before the run.
    st_otaStage& announcing(const char* message) { return startMessage = message, *this; }
    /// Waits in the event loop after the start message.
    st_otaStage& waitingBefore(int msec) { return waitBeforeMs = msec, *this; }
    /// Runs tool without a shell with these two arguments; "%1" is the file's path.
    st_otaStage& runningTool(const char* tool, const char* first, const char* second)
    {
        program = tool;
        arguments[0] = first;
        arguments[1] = second;
        return *this;
    }
    /// Runs tool through the shell with a command line; %1 is the file's path.
    st_otaStage& runningShell(const char* tool, const char* line)
    {
        shellTool = tool;
        commandLine = line;
        return *this;
    }
    /// Copies the file into directory with "scp %1 %2" through the shell.
    st_otaStage& copyingTo(const char* directory)
    {
        shellTool = "scp";
        commandLine = "scp %1 %2";
        destination = directory;
        failureNamesCommand = true;
        return *this;
    }
    /// Stops the named processes before the run.
    st_otaStage& stopping(const char* process) { return stopBefore = process, *this; }
    /// Sends code when the tool crashed.
    st_otaStage& onCrash(const char* code) { return crashCode = code, *this; }
    /// Writes a debug line before the crash message.
    st_otaStage& tracingCrash() { return traceCrash = true, *this; }
    /// Sends code, followed by the result text, when the result is not 0.
    st_otaStage& onFailure(const char* code) { return failCode = code, *this; }
    /// Also writes the result text of a failure as a debug line.
    st_otaStage& tracingFailure() { return traceFailure = true, *this; }
    /// Deletes the file after a successful run.
    st_otaStage& removingFile() { return removeAfter = true, *this; }
    /// Opens the permissions of path after a successful run.
    st_otaStage& opening(const char* path) { return openAfter = path, *this; }
    /// Blocks the thread for seconds after a successful run.
    st_otaStage& sleepingAfter(int seconds) { return sleepAfterS = seconds, *this; }
};

/// The one upgrader of the process: start-up, status channel, request handling and installation.
/// Everything it does outside itself goes through its appliance.
class UpgradeScanner : public QObject {
    Q_OBJECT

public:
    /// Reads the device identity and announces the program to the parent process, on the
    /// appliance the program runs on.
    explicit UpgradeScanner(QObject* parent = nullptr);
    /// The same on another appliance, which must outlive the upgrader.
    explicit UpgradeScanner(Appliance& appliance, QObject* parent = nullptr);
    /// Releases the members.
    ~UpgradeScanner() override;

    /// Start-up work run once by the constructor. It stays with its unused argument: the
    /// system's start-up operation is named and called so.
    void Init(QJsonObject);

    /// Handles the command line: reads, checks and dispatches one upgrade package.
    void initSetMainOrder(QStringList arguments);

    /// Sends one status message to the parent and keeps the result files up to date.
    void writeProcess(QString message);
    /// Writes the bytes of one message to standard output, without any delimiter.
    void writeToProcess(QString message);
    /// Removes the error marker and appends one record to the success log.
    void upgradesuccessLog();
    /// Creates or empties the error marker.
    void upgradeerrorLog();

    /// Fills the product model, system branch and version, memory class and scanner type.
    void readDeviceInfo();
    /// Takes the product model, system branch and version from the lines of an open /etc/issue.
    static void g_parseIssue(QIODevice& issue, QString& productModel, QString& systemBranch,
                             QString& systemVersion);
    /// Takes the memory class from the text of an open /proc/meminfo; unchanged when it has none.
    static void g_parseMemInfo(QIODevice& meminfo, QString& memoryClass);
    /// Takes the scanner type from the content of scannerConfig.json; unchanged when it has none.
    static void g_parseScannerConfig(const QByteArray& data, QString& scannerType);
    /// The content of an /etc/issue naming productModel, which g_parseIssue reads back.
    static QByteArray g_issueText(const QString& productModel);
    /// The content of a scannerConfig.json naming scannerType, which g_parseScannerConfig reads
    /// back.
    static QByteArray g_scannerConfigText(const QString& scannerType);
    /// True when a package built for packageModel may be installed on a deviceModel device. The
    /// request decides through g_modelRefusal, which the host's planner shares; this stays as
    /// the system's named operation.
    bool model_compare(QString deviceModel, QString packageModel);
    /// model_compare without an upgrader: true when both models stand in one group.
    static bool g_modelCompare(const QString& deviceModel, const QString& packageModel);
    /// Every model name of the compatibility table, in table order.
    static QStringList g_compatibleModels();
    /// The model a device assumes when it tells nothing about itself.
    static QString g_builtInModel();
    /// The refusal a device of this identity sends for a package built for packageModel, or
    /// empty when it accepts it; byGroup tells whether only a compatibility group accepted it.
    static QString g_modelRefusal(const QString& productModel, const QString& scannerType,
                                  const QString& builtInModel, const QString& packageModel,
                                  bool* byGroup = nullptr);

    /// MD5 of a file's content as 32 lower-case hex digits; empty when it cannot be read whole.
    static QString g_GenMd5(QString filePath);
    /// Reads the unpacked archive's manifest into m_otaFiles and verifies every listed file.
    bool analysisFileMd5();
    /// The records of an open manifest's lines, with paths under /tmp/upgrade/ota_file/.
    static QList<st_otaFiles> g_readManifest(QIODevice& manifest);
    /// Checks one manifest record against its unpacked file: the failure message, or empty when
    /// it passes.
    QString checkOtaFile(const st_otaFiles& entry) const;
    /// Where path, an absolute path at or below root, leads once every symbolic link in it is
    /// followed part by part as the kernel does, with root taken for "/" (empty: the real root);
    /// parts that do not exist are taken as written. Empty after more than 40 links, a loop.
    /// climbed, when given, tells whether a ".." or an absolute link tried to leave root.
    static QString g_followLinks(const QString& path, const QString& root = QString(),
                                 bool* climbed = nullptr);
    /// True for the side files that a manifest lists but that are never checked.
    static bool g_isSideFile(const QString& path);

    /// The full-system upgrade from the firmware archive at archivePath.
    void FirmwareUpgradeT0(QString archivePath);
    /// The component stages of the full-system upgrade, in the order they run.
    static const QVector<st_otaStage>& g_otaStages();
    /// The file a stage takes from the unpacked files; empty when it takes none.
    static QString g_stageFile(const QList<st_otaFiles>& files, const st_otaStage& stage);
    /// The arguments a stage's tool gets for the file at path.
    static QStringList g_stageArguments(const st_otaStage& stage, const QString& path);
    /// The shell command line a stage runs for the file at path.
    static QString g_stageCommand(const st_otaStage& stage, const QString& path);
    /// True when the archive at archivePath is unpacked as plain tar, not bzip2: the text after
    /// its file name's last "." is "tar", in any case.
    static bool g_isPlainTar(const QString& archivePath);
    /// tar's arguments for unpacking the archive at archivePath into /tmp/upgrade/.
    static QStringList g_tarArguments(const QString& archivePath);
    /// The tool call that unpacks the archive at archivePath into /tmp/upgrade/.
    static st_toolCall g_unpackCall(const QString& archivePath);
    /// The tool call a stage makes for the file at path.
    static st_toolCall g_stageCall(const st_otaStage& stage, const QString& path);
    /// Every tool an upgrade may run on the appliance but tar, which unpacks, sorted.
    static QStringList g_applianceTools();
    /// The path as one word of a shell command line: quoted unless no character needs it.
    static QString g_shellWord(const QString& path);
    /// Hands the one file of a T1 package to the full-system upgrade.
    void FirmwareUpgradeT1();
    /// Keeps or deletes the saved configuration as the parameter file beside the package asks.
    void runtxtOrder();
    /// Where parameter preservation first looks for the parameter file of a package.
    static QString g_saveParaPath(const QString& packagePath);
    /// Reads a parameter file's content: false, with the parser's text, when it is not JSON;
    /// otherwise whether it holds the "savePara" choice and its value.
    static bool g_parseSavePara(const QByteArray& content, bool& hasChoice, bool& savePara,
                                QString& parseError);
    /// Text for a flashing tool's non-zero result: a label followed by the value.
    QString ota_update_retInfo(int result);

    /// Starts killall for the named processes, detached; true when it started.
    bool closeProcess(QString name);
    /// Starts chmod 777 on the path, detached; true when it started.
    bool modifyingFilePermissions(QString path);
    /// Starts reboot, detached; true when it started. Nothing calls it: restarting is left to
    /// the parent, and it stays as the system's named action for that.
    bool rebootSystem();

    /// The file-name part of a path: the text after its last "/".
    static QString g_getFilenameFromPath(QString path);
    /// The path with a trailing "/".
    static QString g_addSlash(QString path);

    /// The files the unpacked archive's manifest listed, as analysisFileMd5 read them.
    const QList<st_otaFiles>& otaFiles() const { return m_otaFiles; }
    /// The device's product model, as readDeviceInfo found it.
    const QString& productModel() const { return m_productModel; }
    /// The device's scanner type, as readDeviceInfo found it.
    const QString& scannerType() const { return m_scannerType; }

    /// Milliseconds every status message waits before it is written.
    static constexpr int kStatusLeadMs = 500;
    /// Milliseconds every status message waits after it is written.
    static constexpr int kStatusTrailMs = 50;
    /// Milliseconds waited after the saved configuration was deleted.
    static constexpr int kSavedConfigWaitMs = 200;

protected:
    QJsonObject m_upgradeConfig;
    QList<st_otaFiles> m_otaFiles;
    /// The message being sent; nothing reads it back, but the status channel keeps it as the
    /// run's last word, as it always has.
    QString m_lastMessage;
    QString m_type;
    QString m_scannerType;
    QString m_productModel;
    QString m_systemBranch;
    QString m_systemVersion;
    QString m_memoryClass;
    QString m_packagePath;
    /// The world outside: files, tools, the status channel, waits and the clock.
    Appliance* m_appliance;
};

#endif // UPGRADESCANNER_H
