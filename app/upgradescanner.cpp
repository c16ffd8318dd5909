#include "upgradescanner.h"

#include "statustexts.h"

#include <QFileInfo>

UpgradeScanner::UpgradeScanner(QObject* parent)
    : UpgradeScanner(DeviceAppliance::instance(), parent)
{
}

UpgradeScanner::UpgradeScanner(Appliance& appliance, QObject* parent)
    : QObject(parent), m_type(g_builtInModel()), m_appliance(&appliance)
{
    Init(QJsonObject());
}

UpgradeScanner::~UpgradeScanner() = default;

void UpgradeScanner::Init(QJsonObject)
{
    readDeviceInfo();
    writeProcess(g_msgStarted());
}

QString UpgradeScanner::g_getFilenameFromPath(QString path)
{
    return QFileInfo(path).fileName();
}

QString UpgradeScanner::g_addSlash(QString path)
{
    if (!path.endsWith(QLatin1Char('/')))
        path.append(QLatin1Char('/'));
    return path;
}
