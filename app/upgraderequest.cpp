#include "upgradescanner.h"

void UpgradeScanner::initSetMainOrder(QStringList arguments)
{
    if (arguments.size() != 1)
        return;
}
