#include "statustexts.h"

#include "upgradescanner.h"

namespace {
const char kBuildStamp[] = "202312271830_M";

QString digestMismatch(const QString& md5, const QString& computed, const QString& path)
{
    return QStringLiteral("Md5 check err: strMd5Orignal=%1, calcMd5=%2, filepath=%3")
        .arg(md5, computed, path);
}
} // namespace

const QVector<st_statusCode>& g_statusCodes()
{
    static const QVector<st_statusCode> codes = {
        {"UB10", "started; device information read"},
        {"UB11", "request taken up"},
        {kCodeAccepted, "package model accepted"},
        {"UB12", "package unpacked and deleted"},
        {"UB13", "every packaged file matched its digest"},
        {"UB14", "unpacking the firmware archive"},
        {"UB15", "archive unpacked and deleted; verifying"},
        {"UB16", "flashing the kernel image"},
        {"UB17", "flashing the device tree"},
        {"UB18", "flashing the boot loader"},
        {"UB20", "flashing the MCU application"},
        {"UB19", "flashing the root file system"},
        {kCodeSuccess, "upgrade finished; the device may be restarted"},
        {kCodeNotAPackage, "not an upgrade package, or of type T0"},
        {kCodeUnreadable, "package unreadable, or of an unknown type"},
        {"UC13", "package names no upgrade type"},
        {"UC14", "a packaged file does not match its digest"},
        {"UC15", "a T1 package must hold exactly one file"},
        {"UC16", "no firmware archive"},
        {"UC17", "unpacking left no ota_file/"},
        {"UC18", "unpacking left no manifest"},
        {"UC19", "verification of the unpacked files failed"},
        {"UC20", "kernel image tool crashed"},
        {"UC21", "kernel image tool failed"},
        {"UC22", "device tree tool crashed"},
        {"UC23", "device tree tool failed"},
        {"UC24", "boot loader tool crashed"},
        {"UC25", "boot loader tool failed"},
        {"UC26", "root file system command failed"},
        {"UC27", "copying the rpmsg file failed"},
        {"UC28", "copying the scanner application script failed"},
        {"UC29", "manifest missing"},
        {"UC30", "manifest cannot be opened"},
        {"UC31", "a file named in the manifest is missing"},
        {"UC32", "an unpacked file does not match the manifest"},
        {"UC33", "MCU tool crashed"},
        {"UC34", "MCU tool failed"},
        {kCodeTypeRefused, "upgrade type not carried out on this device"},
        {kCodeRefusedByProduct, "package model refused (product model)"},
        {kCodeRefusedByScanner, "package model refused (scanner type)"},
        {kCodeRefusedByBuiltIn, "package model refused (built-in model)"},
    };
    return codes;
}

bool g_isSuccess(const QString& message)
{
    return message.startsWith(QLatin1String(kCodeSuccess));
}

bool g_isFailure(const QString& message)
{
    return message.startsWith(QLatin1String(kCodeFailure));
}

bool g_isModelVerdict(const QString& message)
{
    for (const char* code :
         {kCodeAccepted, kCodeRefusedByProduct, kCodeRefusedByScanner, kCodeRefusedByBuiltIn}) {
        if (message.startsWith(QLatin1String(code)))
            return true;
    }
    return false;
}

QString g_typeVerdictCode(EUpgradeTypeVerdict verdict)
{
    switch (verdict) {
    case EUpgradeTypeVerdict_NotPackage:
        return QLatin1String(kCodeNotAPackage);
    case EUpgradeTypeVerdict_Unreadable:
        return QLatin1String(kCodeUnreadable);
    case EUpgradeTypeVerdict_Refused:
        return QLatin1String(kCodeTypeRefused);
    case EUpgradeTypeVerdict_Run:
        break;
    }
    return QString();
}

QString g_statusMeaning(const QString& message)
{
    for (const st_statusCode& code : g_statusCodes()) {
        if (message.startsWith(QLatin1String(code.code)))
            return QLatin1String(code.meaning);
    }
    // The parameter file's messages carry no code; the longer prefix comes first.
    static const char* const parameterMessages[][2] = {
        {"runtxtOrder--filePa-not isFile-", "no parameter file: saved configuration kept"},
        {"runtxtOrder--filePa--", "parameter file in use"},
        {"runtxtOrder--saveparaJson--1", "saved configuration kept"},
        {"runtxtOrder--saveparaJson--0", "saved configuration deleted"},
        {"runtxtOrder readConfigureFile", "parameter file is not valid JSON"},
    };
    for (const auto& parameter : parameterMessages) {
        if (message.startsWith(QLatin1String(parameter[0])))
            return QLatin1String(parameter[1]);
    }
    return QString();
}

QString g_msgStarted()
{
    return QStringLiteral("UB10-quillMark-") + QLatin1String(kBuildStamp);
}

QString g_msgRefusedByProduct(const QString& productModel, const QString& packageModel)
{
    return QString::fromLatin1(kCodeRefusedByProduct) + QStringLiteral("sys type:") + productModel +
           QStringLiteral("not file type:") + packageModel;
}

QString g_msgRefusedByScanner(const QString& productModel, const QString& scannerType,
                              const QString& packageModel)
{
    return QString::fromLatin1(kCodeRefusedByScanner) + QStringLiteral("sys type:") + productModel +
           QStringLiteral("sys real type:") + scannerType + QStringLiteral("not file type:") +
           packageModel;
}

QString g_msgRefusedByBuiltIn(const QString& productModel, const QString& scannerType,
                              const QString& builtInModel, const QString& packageModel)
{
    return QString::fromLatin1(kCodeRefusedByBuiltIn) + QStringLiteral("sys type:") + productModel +
           QStringLiteral("sys real type:") + scannerType + QStringLiteral("m_type:") +
           builtInModel + QStringLiteral("not file type:") + packageModel;
}

QString g_msgPackagedMismatch(const QString& md5, const QString& computed, const QString& path)
{
    return QStringLiteral("UC14") + digestMismatch(md5, computed, path);
}

QString g_msgManifestMissing()
{
    return QStringLiteral("UC29file not exists :") + QLatin1String(kOtaManifest);
}

QString g_msgManifestUnreadable()
{
    return QStringLiteral("UC30file open err: ") + QLatin1String(kOtaManifest);
}

QString g_msgListedMissing(const QString& path)
{
    return QStringLiteral("UC31file not exists :") + path;
}

QString g_msgListedMismatch(const QString& md5, const QString& computed, const QString& path)
{
    return QStringLiteral("UC32") + digestMismatch(md5, computed, path);
}

QString g_msgRequest(const QString& package)
{
    return QStringLiteral("UB11") + package;
}

QString g_msgNotAPackage(const QString& package)
{
    return QString::fromLatin1(kCodeNotAPackage) + package;
}

QString g_msgUnreadable()
{
    return QString::fromLatin1(kCodeUnreadable) + QStringLiteral("config analysis err!");
}

QString g_msgNoType()
{
    return QStringLiteral("UC13ota type is empty!");
}

QString g_msgAccepted(const QString& productModel, const QString& scannerType,
                      const QString& builtInModel, const QString& packageModel)
{
    return QString::fromLatin1(kCodeAccepted) + QStringLiteral("sys type:") + productModel +
           QStringLiteral("sys real type:") + scannerType + QStringLiteral("m_type:") +
           builtInModel + QStringLiteral("file type:") + packageModel;
}

QString g_msgPackageDeleted(const QString& package)
{
    return QStringLiteral("UB12delete file:") + package;
}

QString g_msgStart()
{
    return QStringLiteral("UB13start upgrade!");
}

QString g_msgTypeRefused(const QString& type)
{
    if (type == UpgradeTypeValMap.value(EUpgradeType_T2))
        return QString::fromLatin1(kCodeTypeRefused) + QStringLiteral("Type not T1!");
    return QString::fromLatin1(kCodeTypeRefused) + QStringLiteral("Type not T1 or T2!");
}

QString g_msgFileCount(int count)
{
    return QStringLiteral("UC15") +
           QStringLiteral("type T1 can only contains one file but not %1").arg(count);
}

QString g_msgNoArchive(const QString& archive)
{
    return QStringLiteral("UC16file not exists :") + archive;
}

QString g_msgUnpack()
{
    return QStringLiteral("UB14unpack file....");
}

QString g_msgNoOtaDir()
{
    return QStringLiteral("UC17file not exists :") + QLatin1String(kOtaFileDir);
}

QString g_msgNoManifest()
{
    return QStringLiteral("UC18") +
           QStringLiteral("The upgrade file is incomplete! %1 is not exist!")
               .arg(QLatin1String(kOtaManifest));
}

QString g_msgVerify(const QString& archive)
{
    return QStringLiteral("UB15delete file:") + archive +
           QStringLiteral("-=Check the decompressed files....");
}

QString g_msgVerifyFailed()
{
    return QStringLiteral("UC19analysisFileMd5 err..");
}

QString g_msgSuccess()
{
    return QString::fromLatin1(kCodeSuccess) + QStringLiteral("upgrade success! reboot!");
}

QString g_msgParaFile(const QString& path)
{
    return QStringLiteral("runtxtOrder--filePa--") + path;
}

QString g_msgParaNotFile(const QString& path)
{
    return QStringLiteral("runtxtOrder--filePa-not isFile-") + path;
}

QString g_msgParaNotJson(const QString& path)
{
    return QString::fromUtf8("runtxtOrder readConfigureFile读取json文件出错-") + path;
}

QString g_msgParaChoice(bool savePara)
{
    return QStringLiteral("runtxtOrder--saveparaJson--") + QString::number(savePara ? 1 : 0);
}
