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
        return g_msgRefusedByProduct(productModel, packageModel);
    if (deviceModel == &scannerType)
        return g_msgRefusedByScanner(productModel, scannerType, packageModel);
    return g_msgRefusedByBuiltIn(productModel, scannerType, builtInModel, packageModel);
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
    // The appliance decides where the extracted files lie and how their writes go.
    const PackSink sink = PackSink::g_extract(
        QString(), false, [this](const QString& path) { return m_appliance->writableFile(path); });
    st_packRead read;
    if (!PackProcess::instance().readPackage(m_appliance->path(argument), items, type, information,
                                             sink, read)) {
        if (g_upgradeTypeVerdict(type) == EUpgradeTypeVerdict_NotPackage)
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

    QFile::remove(m_appliance->path(argument));
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
        const QString path = QLatin1String(kUpgradeDir) +
                             file.value(QStringLiteral("CommKeyUpgradeFileName")).toString();
        const QString md5 = file.value(QStringLiteral("CommKeyUpgradeFileMd5")).toString();
        const QString computed = g_GenMd5(m_appliance->path(path));
        if (computed != md5) {
            writeProcess(g_msgPackagedMismatch(md5, computed, path));
            return;
        }
    }

    qDebug() << "start upgrade!";
    writeProcess(g_msgStart());

    if (g_upgradeTypeVerdict(type) == EUpgradeTypeVerdict_Run)
        FirmwareUpgradeT1();
    else
        writeProcess(g_msgTypeRefused(type));
}
