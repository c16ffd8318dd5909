#include "upgradescanner.h"

#include "statustexts.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <cstdlib>

namespace {

const QString kCoreFileDir = QStringLiteral("/usr/scanner/Corefile");

void removeDirectory(const QString& path, const char* deleted, const char* failed,
                     const char* missing)
{
    QDir dir(path);
    if (!dir.exists())
        qDebug() << missing;
    else if (dir.removeRecursively())
        qDebug() << deleted;
    else
        qDebug() << failed;
}

} // namespace

// The planner on the workstation reads this table too, so that what it foretells is what the
// device does.
const QVector<st_otaStage>& UpgradeScanner::g_otaStages()
{
    static const QVector<st_otaStage> stages = {
        {"kernel image",
         "image",
         nullptr,
         "UB16ota kernel-image....",
         0,
         "ota_update",
         {"%1", "kernel-image"},
         nullptr,
         nullptr,
         nullptr,
         "UC20",
         true,
         "UC21",
         false,
         false,
         true,
         nullptr,
         1},
        {"device tree",
         ".dtb",
         "ota kernel-dtb....",
         "UB17ota kernel-dtb....",
         0,
         "ota_update",
         {"%1", "kernel-dtb"},
         nullptr,
         nullptr,
         nullptr,
         "UC22",
         false,
         "UC23",
         false,
         true,
         true,
         nullptr,
         1},
        {"boot loader",
         "uboot",
         nullptr,
         "UB18ota uboot....",
         0,
         "ota_update",
         {"%1", "uboot"},
         nullptr,
         nullptr,
         nullptr,
         "UC24",
         false,
         "UC25",
         false,
         false,
         true,
         nullptr,
         1},
        {"MCU application",
         "520M0App",
         nullptr,
         "UB20MCU ota uboot....",
         0,
         "iap_update",
         {" -u ", "%1"},
         nullptr,
         nullptr,
         nullptr,
         "UC33",
         false,
         "UC34",
         false,
         false,
         true,
         nullptr,
         1},
        {"root file system",
         ".ext4",
         nullptr,
         "UB19ota scanner.rootfs.ext4....",
         1000,
         nullptr,
         {nullptr, nullptr},
         "ota_update %1 ext4",
         nullptr,
         nullptr,
         nullptr,
         false,
         "UC26",
         false,
         false,
         false,
         nullptr,
         1},
        {"rpmsg file",
         "rpmsg",
         "ota copy file....",
         nullptr,
         0,
         nullptr,
         {nullptr, nullptr},
         "scp %1 %2",
         "/run/media/mmcblk2p1/",
         nullptr,
         nullptr,
         false,
         "UC27",
         true,
         false,
         false,
         nullptr,
         0},
        {"scanner application script",
         "scanner-app.sh",
         "ota copy file....",
         nullptr,
         0,
         nullptr,
         {nullptr, nullptr},
         "scp %1 %2",
         "/etc/",
         "scanner-app",
         nullptr,
         false,
         "UC28",
         true,
         false,
         false,
         "/etc/scanner-app.sh",
         0},
    };
    return stages;
}

QString UpgradeScanner::g_stageFile(const QList<st_otaFiles>& files, const st_otaStage& stage)
{
    for (const st_otaFiles& file : files) {
        if (file.path.contains(QLatin1String(stage.keyword), Qt::CaseInsensitive))
            return file.path;
    }
    return QString();
}

QStringList UpgradeScanner::g_stageArguments(const st_otaStage& stage, const QString& path)
{
    QStringList arguments;
    for (const char* argument : stage.arguments)
        arguments << (qstrcmp(argument, "%1") == 0 ? path : QLatin1String(argument));
    return arguments;
}

QString UpgradeScanner::g_stageCommand(const st_otaStage& stage, const QString& path)
{
    const QString command = QLatin1String(stage.commandLine);
    if (stage.destination)
        return command.arg(g_shellWord(path), g_shellWord(QLatin1String(stage.destination)));
    return command.arg(g_shellWord(path));
}

QStringList UpgradeScanner::g_tarArguments(const QString& archivePath, const QString& workDir)
{
    const bool plainTar =
        QFileInfo(archivePath).suffix().compare(QLatin1String("tar"), Qt::CaseInsensitive) == 0;
    return {plainTar ? QStringLiteral("-xf") : QStringLiteral("-xjf"), archivePath,
            QStringLiteral("-C"), workDir};
}

// A path goes into a shell command line unchanged only when the shell gives none of its
// characters a meaning; any other path is single-quoted, so that no file name inside a
// firmware archive can run a command.
QString UpgradeScanner::g_shellWord(const QString& path)
{
    static const QString safe = QStringLiteral("_@%+=:,./-");
    bool plain = !path.isEmpty();
    for (const QChar c : path) {
        const ushort u = c.unicode();
        if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
              safe.contains(c))) {
            plain = false;
            break;
        }
    }
    if (plain)
        return path;
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

void UpgradeScanner::FirmwareUpgradeT0(QString archivePath)
{
    if (archivePath.isEmpty() || !QFile::exists(archivePath)) {
        writeProcess(g_msgNoArchive(archivePath));
        return;
    }
    writeProcess(g_msgUnpack());

    const QStringList tarArguments = g_tarArguments(archivePath);
    const QString workDir = QLatin1String(kUpgradeDir);
    if (!QDir(workDir).exists())
        QDir().mkpath(workDir);
    removeDirectory(kCoreFileDir, "coreFileDir and its contents have been deleted successfully.",
                    "Failed to delete the coreFileDir and its contents.",
                    "The specified coreFileDir does not exist.");

    // tar's own verdict is not consulted: what it left on disk is checked next.
    QProcess unpack;
    unpack.start(QStringLiteral("tar"), tarArguments, QIODevice::ReadWrite);
    unpack.waitForFinished(-1);

    if (!QDir(QLatin1String(kOtaFileDir)).exists()) {
        writeProcess(g_msgNoOtaDir());
        return;
    }
    if (!QFile::exists(QLatin1String(kOtaManifest))) {
        writeProcess(g_msgNoManifest());
        return;
    }

    qDebug() << "delete file:" << archivePath;
    QFile::remove(archivePath);
    writeProcess(g_msgVerify(archivePath));

    if (!analysisFileMd5()) {
        writeProcess(g_msgVerifyFailed());
        return;
    }

    for (const st_otaStage& stage : g_otaStages()) {
        const QString path = g_stageFile(m_otaFiles, stage);
        if (path.isEmpty())
            continue;
        if (stage.stopBefore)
            closeProcess(QLatin1String(stage.stopBefore));
        if (stage.trace)
            qDebug() << stage.trace << path;
        if (stage.startMessage)
            writeProcess(QLatin1String(stage.startMessage) + path);
        if (stage.waitBeforeMs > 0)
            g_waitEventLoop(stage.waitBeforeMs);

        if (stage.program) {
            // QProcess::execute answers -2 when a tool cannot be started and -1 only when it
            // crashed, since exit codes are 0..255.
            const int result =
                QProcess::execute(QLatin1String(stage.program), g_stageArguments(stage, path));
            if (result == -1) {
                if (stage.traceCrash)
                    qDebug() << "process.execute failed!";
                writeProcess(QLatin1String(stage.crashCode) +
                             QStringLiteral("process.execute failed!"));
                return;
            }
            if (result != 0) {
                const QString text = ota_update_retInfo(result);
                if (stage.traceFailure)
                    qDebug() << text;
                writeProcess(QLatin1String(stage.failCode) + text);
                return;
            }
        } else {
            const QString command = g_stageCommand(stage, path);
            const int status = std::system(command.toLocal8Bit().constData());
            if (status != 0) {
                writeProcess(QLatin1String(stage.failCode) +
                             (stage.failureNamesCommand ? QStringLiteral("%1 err").arg(command)
                                                        : ota_update_retInfo(status)));
                return;
            }
        }

        if (stage.removeAfter)
            QFile::remove(path);
        if (stage.openAfter)
            modifyingFilePermissions(QLatin1String(stage.openAfter));
        if (stage.sleepAfterS > 0)
            QThread::sleep(stage.sleepAfterS);
    }

    runtxtOrder();
    removeDirectory(QLatin1String(kOtaFileDir),
                    "otaFileDir and its contents have been deleted successfully.",
                    "Failed to delete the otaFileDir and its contents.",
                    "The specified otaFileDir does not exist.");
    std::system("sync");
    writeProcess(g_msgSuccess());
    QThread::sleep(1);
}
