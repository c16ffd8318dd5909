#include "upgradescanner.h"

QString UpgradeScanner::ota_update_retInfo(int result)
{
    QString label;
    switch (result) {
    case -1:
        label = tr("Get system disk error:");
        break;
    case -2:
        label = tr("File size > disk size:");
        break;
    case -3:
        label = tr("The system type error:");
        break;
    case -4:
        label = tr("Sys disk write error:");
        break;
    case -5:
        label = tr("System environment variable set error:");
        break;
    default:
        label = tr("System other error:");
        break;
    }
    return label + QString::number(result);
}
