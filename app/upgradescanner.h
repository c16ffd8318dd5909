#ifndef UPGRADESCANNER_H
#define UPGRADESCANNER_H

#include <QByteArray>
#include <QIODevice>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

/// One file unpacked from a firmware archive, as the archive's manifest lists it.
struct st_otaFiles {
    QString path;
    QString md5;
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
    /// True when a package built for packageModel may be installed on a deviceModel device.
    bool model_compare(QString deviceModel, QString packageModel);

    /// MD5 of a file's content as 32 lower-case hex digits; empty when it cannot be read whole.
    static QString g_GenMd5(QString filePath);
    /// Reads the unpacked archive's manifest into m_otaFiles and verifies every listed file.
    bool analysisFileMd5();
    /// The records of an open manifest's lines, with paths under /tmp/upgrade/ota_file/.
    static QList<st_otaFiles> g_readManifest(QIODevice& manifest);
    /// Checks one manifest record against its file: the failure message, empty when it passes.
    static QString g_checkOtaFile(const st_otaFiles& entry);

    /// The full-system upgrade from the firmware archive at archivePath.
    void FirmwareUpgradeT0(QString archivePath);
    /// Hands the one file of a T1 package to the full-system upgrade.
    void FirmwareUpgradeT1();
    /// Keeps or deletes the saved configuration as the parameter file beside the package asks.
    void runtxtOrder();
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
