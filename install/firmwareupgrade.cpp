#include "upgradescanner.h"

#include "statustexts.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString kCoreFileDir = QStringLiteral("/usr/scanner/Corefile");
// What QProcess::execute and the shell answer for a tool that cannot be started.
const int kCannotStart = -2;
const int kShellCannotStart = 127 << 8;

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

// The hazard checks on the workstation read this table too, so that what they warn of is what
// the device does.
const QVector<st_otaStage>& UpgradeScanner::g_otaStages()
{
    static const QVector<st_otaStage> stages = {
        st_otaStage("kernel image", "image")
            .announcing("UB16ota kernel-image....")
            .runningTool("ota_update", "%1", "kernel-image")
            .onCrash("UC20")
            .tracingCrash()
            .onFailure("UC21")
            .removingFile()
            .sleepingAfter(1),
        st_otaStage("device tree", ".dtb")
            .tracing("ota kernel-dtb....")
            .announcing("UB17ota kernel-dtb....")
            .runningTool("ota_update", "%1", "kernel-dtb")
            .onCrash("UC22")
            .onFailure("UC23")
            .tracingFailure()
            .removingFile()
            .sleepingAfter(1),
        st_otaStage("boot loader", "uboot")
            .announcing("UB18ota uboot....")
            .runningTool("ota_update", "%1", "uboot")
            .onCrash("UC24")
            .onFailure("UC25")
            .removingFile()
            .sleepingAfter(1),
        st_otaStage("MCU application", "520M0App")
            .announcing("UB20MCU ota uboot....")
            .runningTool("iap_update", " -u ", "%1")
            .onCrash("UC33")
            .onFailure("UC34")
            .removingFile()
            .sleepingAfter(1),
        st_otaStage("root file system", ".ext4")
            .announcing("UB19ota scanner.rootfs.ext4....")
            .waitingBefore(1000)
            .runningShell("ota_update", "ota_update %1 ext4")
            .onFailure("UC26")
            .sleepingAfter(1),
        st_otaStage("rpmsg file", "rpmsg")
            .tracing("ota copy file....")
            .copyingTo("/run/media/mmcblk2p1/")
            .onFailure("UC27"),
        st_otaStage("scanner application script", "scanner-app.sh")
            .stopping("scanner-app")
            .tracing("ota copy file....")
            .copyingTo("/etc/")
            .onFailure("UC28")
            .opening("/etc/scanner-app.sh"),
    };
    return stages;
}

QString UpgradeScanner::g_stageFile(const QList<st_otaFiles>& files, const st_otaStage& stage)
{
    for (const st_otaFiles& file : files) {
        if (stage.matches(file.path))
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

st_toolCall UpgradeScanner::g_stageCall(const st_otaStage& stage, const QString& path)
{
    st_toolCall call;
    call.reads = QStringList{path};
    if (stage.program) {
        call.program = QLatin1String(stage.program);
        call.arguments = g_stageArguments(stage, path);
    } else {
        call.program = QLatin1String(stage.shellTool);
        call.commandLine = g_stageCommand(stage, path);
        if (stage.destination)
            call.copyTo = QLatin1String(stage.destination);
    }
    return call;
}

QStringList UpgradeScanner::g_applianceTools()
{
    QStringList tools{QLatin1String(kSyncTool)};
    for (const st_otaStage& stage : g_otaStages()) {
        tools << QLatin1String(stage.program ? stage.program : stage.shellTool);
        if (stage.stopBefore)
            tools << QLatin1String(kStopTool);
        if (stage.openAfter)
            tools << QLatin1String(kOpenTool);
    }
    tools.removeDuplicates();
    tools.sort();
    return tools;
}

QString UpgradeScanner::g_stageCommand(const st_otaStage& stage, const QString& path)
{
    const QString command = QLatin1String(stage.commandLine);
    if (stage.destination)
        return command.arg(g_shellWord(path), g_shellWord(QLatin1String(stage.destination)));
    return command.arg(g_shellWord(path));
}

bool UpgradeScanner::g_isPlainTar(const QString& archivePath)
{
    return QFileInfo(archivePath).suffix().compare(QLatin1String("tar"), Qt::CaseInsensitive) == 0;
}

QStringList UpgradeScanner::g_tarArguments(const QString& archivePath)
{
    return {g_isPlainTar(archivePath) ? QStringLiteral("-xf") : QStringLiteral("-xjf"), archivePath,
            QStringLiteral("-C"), QLatin1String(kUpgradeDir)};
}

st_toolCall UpgradeScanner::g_unpackCall(const QString& archivePath)
{
    st_toolCall call;
    call.program = QLatin1String(kUnpackTool);
    call.arguments = g_tarArguments(archivePath);
    call.reads = QStringList{archivePath};
    call.unpackTo = QLatin1String(kUpgradeDir);
    call.bzip2 = call.arguments.constFirst() == QLatin1String("-xjf");
    call.forwarded = false;
    return call;
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
    if (archivePath.isEmpty() || !QFile::exists(m_appliance->path(archivePath))) {
        writeProcess(g_msgNoArchive(archivePath));
        return;
    }
    writeProcess(g_msgUnpack());

    const QString workDir = m_appliance->path(QLatin1String(kUpgradeDir));
    if (!QDir(workDir).exists())
        QDir().mkpath(workDir);
    removeDirectory(m_appliance->path(kCoreFileDir),
                    "coreFileDir and its contents have been deleted successfully.",
                    "Failed to delete the coreFileDir and its contents.",
                    "The specified coreFileDir does not exist.");

    // A tar that failed, on a full /tmp say, can leave a manifest cut short that lists only
    // some components, or none: its files are never verified, let alone flashed.
    const int unpacked = m_appliance->run(g_unpackCall(archivePath));
    if (unpacked != 0)
        qDebug() << "tar failed:" << unpacked;

    if (!QDir(m_appliance->path(QLatin1String(kOtaFileDir))).exists()) {
        writeProcess(g_msgNoOtaDir());
        return;
    }
    if (!QFile::exists(m_appliance->path(QLatin1String(kOtaManifest)))) {
        writeProcess(g_msgNoManifest());
        return;
    }

    qDebug() << "delete file:" << archivePath;
    QFile::remove(m_appliance->path(archivePath));
    writeProcess(g_msgVerify(archivePath));

    if (unpacked != 0 || !analysisFileMd5()) {
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
            m_appliance->wait(stage.waitBeforeMs);

        // A FIFO would block the tool's read for good, and a directory or a device is no
        // component: such a file fails its stage as a tool that cannot run.
        const QFileInfo file(m_appliance->path(path));
        const bool runnable = !file.exists() || file.isFile();
        if (!runnable)
            qDebug() << "not a regular file, not handed to the tool:" << path;
        const st_toolCall call = g_stageCall(stage, path);
        if (stage.program) {
            // -2 answers a tool that cannot be started, and -1 only one that crashed, since exit
            // codes are 0..255.
            const int result = runnable ? m_appliance->run(call) : kCannotStart;
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
            const int status = runnable ? m_appliance->run(call) : kShellCannotStart;
            if (status != 0) {
                writeProcess(QLatin1String(stage.failCode) +
                             (stage.failureNamesCommand
                                  ? QStringLiteral("%1 err").arg(call.commandLine)
                                  : ota_update_retInfo(status)));
                return;
            }
        }

        if (stage.removeAfter)
            QFile::remove(m_appliance->path(path));
        if (stage.openAfter)
            modifyingFilePermissions(QLatin1String(stage.openAfter));
        if (stage.sleepAfterS > 0)
            m_appliance->sleep(stage.sleepAfterS);
    }

    runtxtOrder();
    removeDirectory(m_appliance->path(QLatin1String(kOtaFileDir)),
                    "otaFileDir and its contents have been deleted successfully.",
                    "Failed to delete the otaFileDir and its contents.",
                    "The specified otaFileDir does not exist.");
    st_toolCall sync;
    sync.program = QLatin1String(kSyncTool);
    sync.commandLine = QLatin1String(kSyncTool);
    m_appliance->run(sync);
    writeProcess(g_msgSuccess());
    m_appliance->sleep(1);
}
