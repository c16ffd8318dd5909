#include "upgradescanner.h"

#include <QFileInfo>

namespace {
const char* const kBuildStamp = "202312271830_M";
}

UpgradeScanner::UpgradeScanner(QObject* parent) : QObject(parent), m_type(g_builtInModel())
{
    Init(QJsonObject());
}

UpgradeScanner::~UpgradeScanner() = default;

void UpgradeScanner::Init(QJsonObject)
{
    readDeviceInfo();
    writeProcess(QStringLiteral("UB10-quillMark-") + QLatin1String(kBuildStamp));
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
