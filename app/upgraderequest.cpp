#include "upgradescanner.h"

#include "packiteminfo.h"
#include "packprocess.h"
#include "statustexts.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QVector>

namespace {

bool sameModel(const QString& a, const QString& b)
{
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

} // namespace

// The product model decides whenever it is known; the scanner type stands in only for a
// missing product model, and the built-in model for both.
QString UpgradeScanner::g_modelRefusal(const QString& productModel, const QString& scannerType,
                                       const QString& builtInModel, const QString& packageModel,
                                       bool* byGroup)
{
    if (byGroup)
        *byGroup = false;
    const QString* deviceModel = &builtInModel;
    if (!productModel.isEmpty() || sameModel(productModel, packageModel))
        deviceModel = &productModel;
    else if (!scannerType.isEmpty() || sameModel(scannerType, packageModel))
        deviceModel = &scannerType;
    if (sameModel(*deviceModel, packageModel))
        return QString();
    if (g_modelCompare(*deviceModel, packageModel)) {
        if (byGroup)
            *byGroup = true;
        return QString();
    }
    if (deviceModel == &productModel)
        return QStringLiteral("UC36sys type:") + productModel + QStringLiteral("not file type:") +
               packageModel;
    if (deviceModel == &scannerType)
        return QStringLiteral("UC37sys type:") + productModel + QStringLiteral("sys real type:") +
               scannerType + QStringLiteral("not file type:") + packageModel;
    return QStringLiteral("UC38sys type:") + productModel + QStringLiteral("sys real type:") +
           scannerType + QStringLiteral("m_type:") + builtInModel +
           QStringLiteral("not file type:") + packageModel;
}

QString UpgradeScanner::g_checkPackagedFile(const QString& fileName, const QString& md5,
                                            const QString& dir)
{
    const QString actual = g_GenMd5(dir + fileName);
    if (actual == md5)
        return QString();
    return QStringLiteral("UC14") +
           QStringLiteral("Md5 check err: strMd5Orignal=%1, calcMd5=%2, filepath=%3")
               .arg(md5, actual, QLatin1String(kUpgradeDir) + fileName);
}

void UpgradeScanner::initSetMainOrder(QStringList arguments)
{
    if (arguments.size() != 1)
        return;
    const QString argument = arguments.first();

    writeProcess(g_msgRequest(argument));
    m_packagePath = argument;
    qDebug() << "--------initSetMainOrder-----------" << m_packagePath;

    QVector<PackItemInfo> items;
    QString type;
    QStringList information;
    if (!PackProcess::instance().readBinaryFile(argument, items, type, information)) {
        if (type == UpgradeTypeValMap.value(EUpgradeType_T0))
            writeProcess(g_msgNotAPackage(argument));
        else
            writeProcess(g_msgUnreadable());
        return;
    }

    const QString packageModel = information.value(0);
    if (type.isEmpty()) {
        writeProcess(g_msgNoType());
        return;
    }

    const QString refusal = g_modelRefusal(m_productModel, m_scannerType, m_type, packageModel);
    if (!refusal.isEmpty()) {
        writeProcess(refusal);
        return;
    }

    writeProcess(g_msgAccepted(m_productModel, m_scannerType, m_type, packageModel));

    QFile::remove(argument);
    writeProcess(g_msgPackageDeleted(argument));

    QJsonArray files;
    for (const PackItemInfo& item : items) {
        QJsonObject file;
        file.insert(QStringLiteral("CommKeyUpgradeFileName"), g_getFilenameFromPath(item.name()));
        file.insert(QStringLiteral("CommKeyUpgradeTargetPath"), g_addSlash(item.target()));
        file.insert(QStringLiteral("CommKeyUpgradeFileMd5"), item.md5());
        files.append(file);
    }
    m_upgradeConfig = QJsonObject();
    m_upgradeConfig.insert(QStringLiteral("CommKeyUpgradeType"), type);
    m_upgradeConfig.insert(QStringLiteral("CommKeyUpgradeConfigInfo"), files);

    for (const QJsonValue& value : qAsConst(files)) {
        const QJsonObject file = value.toObject();
        const QString failure =
            g_checkPackagedFile(file.value(QStringLiteral("CommKeyUpgradeFileName")).toString(),
                                file.value(QStringLiteral("CommKeyUpgradeFileMd5")).toString());
        if (!failure.isEmpty()) {
            writeProcess(failure);
            return;
        }
    }

    qDebug() << "start upgrade!";
    writeProcess(g_msgStart());

    if (type == UpgradeTypeValMap.value(EUpgradeType_T1))
        FirmwareUpgradeT1();
    else
        writeProcess(g_msgTypeRefused(type));
}
