#include "upgradescanner.h"

#include <QJsonArray>

void UpgradeScanner::FirmwareUpgradeT1()
{
    const QJsonArray files =
        m_upgradeConfig.value(QStringLiteral("CommKeyUpgradeConfigInfo")).toArray();
    if (files.size() != 1) {
        writeProcess(
            QStringLiteral("UC15") +
            QStringLiteral("type T1 can only contains one file but not %1").arg(files.size()));
        return;
    }
    const QString fileName =
        files.at(0).toObject().value(QStringLiteral("CommKeyUpgradeFileName")).toString();
    FirmwareUpgradeT0(QStringLiteral("/tmp/upgrade/") + fileName);
}
