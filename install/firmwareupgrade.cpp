#include "upgradescanner.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <cstdlib>

namespace {

const QString kWorkDir = QStringLiteral("/tmp/upgrade/");
const QString kOtaDir = QStringLiteral("/tmp/upgrade/ota_file/");
const QString kManifest = QStringLiteral("/tmp/upgrade/ota_file/fileMd5s");
const QString kCoreFileDir = QStringLiteral("/usr/scanner/Corefile");
const QString kRpmsgDestination = QStringLiteral("/run/media/mmcblk2p1/");
const QString kScriptDestination = QStringLiteral("/etc/");

// A path goes into a shell command line unchanged only when the shell gives none of its
// characters a meaning; any other path is single-quoted, so that no file name inside a
// firmware archive can run a command.
QString shellWord(const QString& path)
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

// The local copy of stages 6 and 7; the copy keeps the file's name.
QString copyCommand(const QString& path, const QString& destination)
{
    return QStringLiteral("scp %1 %2").arg(shellWord(path), shellWord(destination));
}

int runShell(const QString& commandLine)
{
    return std::system(commandLine.toLocal8Bit().constData());
}

// The first unpacked file whose path holds the keyword, ignoring case; empty when none does.
QString stageFile(const QList<st_otaFiles>& files, const QString& keyword)
{
    for (const st_otaFiles& file : files) {
        if (file.path.contains(keyword, Qt::CaseInsensitive))
            return file.path;
    }
    return QString();
}

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

void UpgradeScanner::FirmwareUpgradeT0(QString archivePath)
{
    if (archivePath.isEmpty() || !QFile::exists(archivePath)) {
        writeProcess(QStringLiteral("UC16file not exists :") + archivePath);
        return;
    }
    writeProcess(QStringLiteral("UB14unpack file...."));

    const bool plainTar =
        QFileInfo(archivePath).suffix().compare(QLatin1String("tar"), Qt::CaseInsensitive) == 0;
    const QStringList tarArguments{plainTar ? QStringLiteral("-xf") : QStringLiteral("-xjf"),
                                   archivePath, QStringLiteral("-C"), kWorkDir};
    if (!QDir(kWorkDir).exists())
        QDir().mkpath(kWorkDir);
    removeDirectory(kCoreFileDir, "coreFileDir and its contents have been deleted successfully.",
                    "Failed to delete the coreFileDir and its contents.",
                    "The specified coreFileDir does not exist.");

    // tar's own verdict is not consulted: what it left on disk is checked next.
    QProcess unpack;
    unpack.start(QStringLiteral("tar"), tarArguments, QIODevice::ReadWrite);
    unpack.waitForFinished(-1);

    if (!QDir(kOtaDir).exists()) {
        writeProcess(QStringLiteral("UC17file not exists :") + kOtaDir);
        return;
    }
    if (!QFile::exists(kManifest)) {
        writeProcess(
            QStringLiteral("UC18") +
            QStringLiteral("The upgrade file is incomplete! %1 is not exist!").arg(kManifest));
        return;
    }

    qDebug() << "delete file:" << archivePath;
    QFile::remove(archivePath);
    writeProcess(QStringLiteral("UB15delete file:") + archivePath +
                 QStringLiteral("-=Check the decompressed files...."));

    if (!analysisFileMd5()) {
        writeProcess(QStringLiteral("UC19analysisFileMd5 err.."));
        return;
    }

    // Stages 1 to 4: the flashing tools run without a shell. QProcess::execute answers -2
    // when a tool cannot be started and -1 only when it crashed, since exit codes are 0..255.
    struct FlashStage {
        const char* keyword;
        const char* startCode;
        const char* crashCode;
        const char* failCode;
        const char* program;
        const char* target; // nullptr for the MCU tool, which takes " -u " before the path
        bool traceStart;
        bool traceCrash;
        bool traceFailure;
    };
    const FlashStage flashStages[] = {
        {"image", "UB16ota kernel-image....", "UC20", "UC21", "ota_update", "kernel-image", false,
         true, false},
        {".dtb", "UB17ota kernel-dtb....", "UC22", "UC23", "ota_update", "kernel-dtb", true, false,
         true},
        {"uboot", "UB18ota uboot....", "UC24", "UC25", "ota_update", "uboot", false, false, false},
        {"520M0App", "UB20MCU ota uboot....", "UC33", "UC34", "iap_update", nullptr, false, false,
         false},
    };
    for (const FlashStage& stage : flashStages) {
        const QString path = stageFile(m_otaFiles, QLatin1String(stage.keyword));
        if (path.isEmpty())
            continue;
        if (stage.traceStart)
            qDebug() << "ota kernel-dtb...." << path;
        writeProcess(QLatin1String(stage.startCode) + path);

        const QStringList arguments = stage.target ? QStringList{path, QLatin1String(stage.target)}
                                                   : QStringList{QStringLiteral(" -u "), path};
        const int result = QProcess::execute(QLatin1String(stage.program), arguments);
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
        QFile::remove(path);
        QThread::sleep(1);
    }

    const QString rootfs = stageFile(m_otaFiles, QStringLiteral(".ext4"));
    if (!rootfs.isEmpty()) {
        writeProcess(QStringLiteral("UB19ota scanner.rootfs.ext4....") + rootfs);
        g_waitEventLoop(1000);
        const int status = runShell(QStringLiteral("ota_update %1 ext4").arg(shellWord(rootfs)));
        if (status != 0) {
            writeProcess(QStringLiteral("UC26") + ota_update_retInfo(status));
            return;
        }
        QThread::sleep(1);
    }

    const QString rpmsg = stageFile(m_otaFiles, QStringLiteral("rpmsg"));
    if (!rpmsg.isEmpty()) {
        qDebug() << "ota copy file...." << rpmsg;
        const QString command = copyCommand(rpmsg, kRpmsgDestination);
        if (runShell(command) != 0) {
            writeProcess(QStringLiteral("UC27") + QStringLiteral("%1 err").arg(command));
            return;
        }
    }

    const QString script = stageFile(m_otaFiles, QStringLiteral("scanner-app.sh"));
    if (!script.isEmpty()) {
        closeProcess(QStringLiteral("scanner-app"));
        qDebug() << "ota copy file...." << script;
        const QString command = copyCommand(script, kScriptDestination);
        if (runShell(command) != 0) {
            writeProcess(QStringLiteral("UC28") + QStringLiteral("%1 err").arg(command));
            return;
        }
        modifyingFilePermissions(kScriptDestination + QStringLiteral("scanner-app.sh"));
    }

    runtxtOrder();
    removeDirectory(kOtaDir, "otaFileDir and its contents have been deleted successfully.",
                    "Failed to delete the otaFileDir and its contents.",
                    "The specified otaFileDir does not exist.");
    runShell(QStringLiteral("sync"));
    writeProcess(QStringLiteral("UB99upgrade success! reboot!"));
    QThread::sleep(1);
}
