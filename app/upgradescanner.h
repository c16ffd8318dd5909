#ifndef UPGRADESCANNER_H
#define UPGRADESCANNER_H

#include <QByteArray>
#include <QIODevice>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

/// The directory the package is expected in and the firmware archive unpacks into.
constexpr char kUpgradeDir[] = "/tmp/upgrade/";
/// Where the firmware archive's files unpack to.
constexpr char kOtaFileDir[] = "/tmp/upgrade/ota_file/";
/// The file name of the unpacked archive's digest manifest.
constexpr char kOtaManifestName[] = "fileMd5s";
/// The unpacked archive's digest manifest.
constexpr char kOtaManifest[] = "/tmp/upgrade/ota_file/fileMd5s";
/// The parameter file used when there is none beside the package.
constexpr char kTmpSavePara[] = "/tmp/savepara.txt";

/// One file unpacked from a firmware archive, as the archive's manifest lists it.
struct st_otaFiles {
    QString path;
    QString md5;
};

/// One component stage of the full-system upgrade: which file it takes and what it does.
struct st_otaStage {
    const char* name;         ///< the component, for people
    const char* keyword;      ///< the stage takes the first file whose path holds it, case ignored
    const char* trace;        ///< debug line before the stage's message, or nullptr
    const char* startMessage; ///< sent with the file's path before the run, or nullptr
    int waitBeforeMs;         ///< event-loop wait after the start message
    const char* program;      ///< tool run without a shell, or nullptr for a shell command
    const char* arguments[2]; ///< its arguments, "%1" standing for the file's path
    const char* commandLine;  ///< shell command: %1 the quoted path, %2 the quoted destination
    const char* destination;  ///< directory a copy goes to, or nullptr
    const char* stopBefore;   ///< process stopped before the run, or nullptr
    const char* crashCode;    ///< sent when the tool crashed (tools without a shell)
    bool traceCrash;          ///< a debug line goes before the crash message
    const char* failCode;     ///< sent when the result is not 0
    bool failureNamesCommand; ///< the failure carries the command line, not the result text
    bool traceFailure;        ///< the result text also goes to the debug stream
    bool removeAfter;         ///< the file is deleted after a successful run
    const char* openAfter;    ///< path whose permissions are opened afterwards, or nullptr
    int sleepAfterS;          ///< seconds the thread sleeps after a successful run
};

/// The one upgrader of the process: start-up, status channel, request handling and installation.
class UpgradeScanner : public QObject {
    Q_OBJECT

public:
    /// Reads the device identity and announces the program to the parent process.
    explicit UpgradeScanner(QObject* parent = nullptr);
    /// Releases the members.
    ~UpgradeScanner() override;

    /// Start-up work run once by the constructor; the argument is not used.
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
    /// Reads a copy of /etc/issue as readDeviceInfo does; false when it cannot be opened.
    static bool g_readIssueFile(const QString& path, QString& productModel, QString& systemBranch,
                                QString& systemVersion);
    /// Reads a copy of scannerConfig.json as readDeviceInfo does; false when it cannot be opened.
    static bool g_readScannerConfigFile(const QString& path, QString& scannerType);
    /// True when a package built for packageModel may be installed on a deviceModel device.
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
    /// Checks a packaged file, extracted into dir, against its digest: the failure message
    /// (naming the file under /tmp/upgrade/), empty when it matches.
    static QString g_checkPackagedFile(const QString& fileName, const QString& md5,
                                       const QString& dir = QLatin1String(kUpgradeDir));
    /// Reads the unpacked archive's manifest into m_otaFiles and verifies every listed file.
    bool analysisFileMd5();
    /// Reads the manifest of the tree at otaDir into files and verifies every listed file: the
    /// first failure's message, naming the device's paths, or empty when all pass.
    static QString g_verifyOtaTree(const QString& otaDir, QList<st_otaFiles>& files);
    /// The records of an open manifest's lines, with paths under /tmp/upgrade/ota_file/.
    static QList<st_otaFiles> g_readManifest(QIODevice& manifest);
    /// Checks one manifest record against its file in the tree at otaDir: the failure message,
    /// naming the device's path, or empty when it passes.
    static QString g_checkOtaFile(const st_otaFiles& entry,
                                  const QString& otaDir = QLatin1String(kOtaFileDir));
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
    /// tar's arguments for unpacking the archive at archivePath into workDir.
    static QStringList g_tarArguments(const QString& archivePath,
                                      const QString& workDir = QLatin1String(kUpgradeDir));
    /// The path as one word of a shell command line: quoted unless no character needs it.
    static QString g_shellWord(const QString& path);
    /// Hands the one file of a T1 package to the full-system upgrade.
    void FirmwareUpgradeT1();
    /// Keeps or deletes the saved configuration as the parameter file beside the package asks.
    void runtxtOrder();
    /// Where parameter preservation first looks for the parameter file of a package.
    static QString g_saveParaPath(const QString& packagePath);
    /// The parameter file that parameter preservation uses, looked for under root: the one
    /// beside the package when it is a file, otherwise the one in /tmp.
    static QString g_saveParaFile(const QString& packagePath, const QString& root = QString());
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
    /// Starts reboot, detached; true when it started.
    bool rebootSystem();

    /// The file-name part of a path: the text after its last "/".
    static QString g_getFilenameFromPath(QString path);
    /// The path with a trailing "/".
    static QString g_addSlash(QString path);

    /// Milliseconds every status message waits before it is written.
    static constexpr int kStatusLeadMs = 500;
    /// Milliseconds every status message waits after it is written.
    static constexpr int kStatusTrailMs = 50;
    /// Milliseconds waited after the saved configuration was deleted.
    static constexpr int kSavedConfigWaitMs = 200;

protected:
    /// Runs a nested event loop until a single-shot timer of msec milliseconds quits it.
    static void g_waitEventLoop(int msec);

    QJsonObject m_upgradeConfig;
    QList<st_otaFiles> m_otaFiles;
    QString m_lastMessage;
    QString m_type;
    QString m_scannerType;
    QString m_productModel;
    QString m_systemBranch;
    QString m_systemVersion;
    QString m_memoryClass;
    QString m_packagePath;
};

#endif // UPGRADESCANNER_H
