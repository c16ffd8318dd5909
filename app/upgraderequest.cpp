#include "upgradescanner.h"

#include "packiteminfo.h"
#include "packprocess.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QVector>

namespace {

bool sameModel(const QString& a, const QString& b)
{
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

// The refusal to send for a package built for packageModel, or an empty text when the
// device accepts it. The product model decides whenever it is known; the scanner type
// stands in only for a missing product model, and the built-in model for both.
QString modelRefusal(UpgradeScanner& scanner, const QString& productModel,
                     const QString& scannerType, const QString& builtInModel,
                     const QString& packageModel)
{
    if (sameModel(productModel, packageModel))
        return QString();
    if (!productModel.isEmpty()) {
        if (scanner.model_compare(productModel, packageModel))
            return QString();
        return QStringLiteral("UC36sys type:") + productModel + QStringLiteral("not file type:") +
               packageModel;
    }
    if (sameModel(scannerType, packageModel))
        return QString();
    if (!scannerType.isEmpty()) {
        if (scanner.model_compare(scannerType, packageModel))
            return QString();
        return QStringLiteral("UC37sys type:") + productModel + QStringLiteral("sys real type:") +
               scannerType + QStringLiteral("not file type:") + packageModel;
    }
    if (sameModel(builtInModel, packageModel) || scanner.model_compare(builtInModel, packageModel))
        return QString();
    return QStringLiteral("UC38sys type:") + productModel + QStringLiteral("sys real type:") +
           scannerType + QStringLiteral("m_type:") + builtInModel +
           QStringLiteral("not file type:") + packageModel;
}

} // namespace

void UpgradeScanner::initSetMainOrder(QStringList arguments)
{
    if (arguments.size() != 1)
        return;
    const QString argument = arguments.first();

    writeProcess(QStringLiteral("UB11") + argument);
    m_packagePath = argument;
    qDebug() << "--------initSetMainOrder-----------" << m_packagePath;

    QVector<PackItemInfo> items;
    QString type;
    QStringList information;
    if (!PackProcess::instance().readBinaryFile(argument, items, type, information)) {
        if (type == UpgradeTypeValMap.value(EUpgradeType_T0))
            writeProcess(QStringLiteral("UC11") + argument);
        else
            writeProcess(QStringLiteral("UC12config analysis err!"));
        return;
    }

    const QString packageModel = information.value(0);
    if (type.isEmpty()) {
        writeProcess(QStringLiteral("UC13ota type is empty!"));
        return;
    }

    const QString refusal =
        modelRefusal(*this, m_productModel, m_scannerType, m_type, packageModel);
    if (!refusal.isEmpty()) {
        writeProcess(refusal);
        return;
    }

    writeProcess(QStringLiteral("UB21sys type:") + m_productModel +
                 QStringLiteral("sys real type:") + m_scannerType + QStringLiteral("m_type:") +
                 m_type + QStringLiteral("file type:") + packageModel);

    QFile::remove(argument);
    writeProcess(QStringLiteral("UB12delete file:") + argument);

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
        const QString path = QStringLiteral("/tmp/upgrade/") +
                             file.value(QStringLiteral("CommKeyUpgradeFileName")).toString();
        const QString expected = file.value(QStringLiteral("CommKeyUpgradeFileMd5")).toString();
        const QString actual = g_GenMd5(path);
        if (actual != expected) {
            writeProcess(QStringLiteral("UC14") +
                         QStringLiteral("Md5 check err: strMd5Orignal=%1, calcMd5=%2, filepath=%3")
                             .arg(expected, actual, path));
            return;
        }
    }

    qDebug() << "start upgrade!";
    writeProcess(QStringLiteral("UB13start upgrade!"));

    if (type == UpgradeTypeValMap.value(EUpgradeType_T1))
        FirmwareUpgradeT1();
    else if (type == UpgradeTypeValMap.value(EUpgradeType_T2))
        writeProcess(QStringLiteral("UC35Type not T1!"));
    else
        writeProcess(QStringLiteral("UC35Type not T1 or T2!"));
}
