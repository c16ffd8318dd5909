#include "statustexts.h"

#include "packiteminfo.h"
#include "upgradescanner.h"

QString g_msgRequest(const QString& package)
{
    return QStringLiteral("UB11") + package;
}

QString g_msgNotAPackage(const QString& package)
{
    return QStringLiteral("UC11") + package;
}

QString g_msgUnreadable()
{
    return QStringLiteral("UC12config analysis err!");
}

QString g_msgNoType()
{
    return QStringLiteral("UC13ota type is empty!");
}

QString g_msgAccepted(const QString& productModel, const QString& scannerType,
                      const QString& builtInModel, const QString& packageModel)
{
    return QStringLiteral("UB21sys type:") + productModel + QStringLiteral("sys real type:") +
           scannerType + QStringLiteral("m_type:") + builtInModel + QStringLiteral("file type:") +
           packageModel;
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
        return QStringLiteral("UC35Type not T1!");
    return QStringLiteral("UC35Type not T1 or T2!");
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
    return QStringLiteral("UB99upgrade success! reboot!");
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
