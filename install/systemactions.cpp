#include "upgradescanner.h"

#include <QDebug>

// Each tool gets its arguments as separate argv entries, without a shell, so names and
// paths with blanks or shell characters arrive unchanged.

bool UpgradeScanner::closeProcess(QString name)
{
    qDebug().noquote() << QStringLiteral("close %1....").arg(name);
    return m_appliance->startDetached(QStringLiteral("killall"), {name});
}

bool UpgradeScanner::modifyingFilePermissions(QString path)
{
    return m_appliance->startDetached(QStringLiteral("chmod"), {QStringLiteral("777"), path});
}

bool UpgradeScanner::rebootSystem()
{
    return m_appliance->startDetached(QStringLiteral("reboot"), QStringList());
}
