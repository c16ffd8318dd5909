#include "upgradescanner.h"

#include "statustexts.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace {
const char* const kErrorMarker = "/usr/scanner/config/upgradeError.json";
const char* const kSuccessLog = "/usr/scanner/config/upgradeLog.json";
} // namespace

void UpgradeScanner::writeProcess(QString message)
{
    if (g_isSuccess(message))
        upgradesuccessLog();
    else if (g_isFailure(message))
        upgradeerrorLog();

    m_appliance->wait(kStatusLeadMs);
    m_lastMessage = message;
    writeToProcess(m_lastMessage);
    m_appliance->wait(kStatusTrailMs);
}

void UpgradeScanner::writeToProcess(QString message)
{
    m_appliance->send(message);
}

void UpgradeScanner::upgradeerrorLog()
{
    const QString path = QLatin1String(kErrorMarker);
    QFile marker(m_appliance->path(path));
    if (marker.open(QIODevice::WriteOnly | QIODevice::Text)) {
        marker.close();
        qDebug() << "--upgradeErrorLog--: OK:" << path;
    } else {
        qDebug() << "---upgradeErrorLog--: error:" << path;
    }
}

void UpgradeScanner::upgradesuccessLog()
{
    const QString markerPath = m_appliance->path(QLatin1String(kErrorMarker));
    if (QFileInfo(markerPath).isFile())
        QFile::remove(markerPath);

    const QString path = QLatin1String(kSuccessLog);
    const QFileInfo info(m_appliance->path(path));
    QFile log(info.filePath());
    bool opened = false;
    const char* okText = nullptr;
    const char* errorText = nullptr;
    if (info.exists() && info.isFile()) {
        opened = log.open(QIODevice::Append | QIODevice::Text);
        okText = "--upgradeSuccessLog-A-: OK:";
        errorText = "--upgradeSuccessLog-A-: error:";
    } else if (info.exists()) {
        opened = log.open(QIODevice::WriteOnly | QIODevice::Text);
        okText = "--upgradeSuccessLog--: OK:";
        errorText = "--upgradeSuccessLog--: error:";
    } else {
        opened = log.open(QIODevice::WriteOnly | QIODevice::Text);
        okText = "---升级成功则生成此文件--: OK:";
        errorText = "---升级成功则生成此文件--: error:";
    }

    if (!opened) {
        qDebug() << errorText << path;
        return;
    }
    QTextStream stream(&log);
    stream << m_appliance->now().toString(QStringLiteral("yyyyMMddhhmmsszzz"))
           << "--upgradesuccess--" << m_packagePath;
    stream.flush();
    log.close();
    qDebug() << okText << path;
}
