#include "upgradescanner.h"

#include "statustexts.h"

#include <QJsonArray>

void UpgradeScanner::FirmwareUpgradeT1()
{
    const QJsonArray files =
        m_upgradeConfig.value(QStringLiteral("CommKeyUpgradeConfigInfo")).toArray();
    if (files.size() != 1) {
        writeProcess(g_msgFileCount(files.size()));
        return;
    }
    const QString fileName =
        files.at(0).toObject().value(QStringLiteral("CommKeyUpgradeFileName")).toString();
    FirmwareUpgradeT0(QLatin1String(kUpgradeDir) + fileName);
}
