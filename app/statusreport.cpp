#include "upgradescanner.h"

#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {
const char* const kErrorMarker = "/usr/scanner/config/upgradeError.json";
const char* const kSuccessLog = "/usr/scanner/config/upgradeLog.json";
} // namespace

void UpgradeScanner::g_waitEventLoop(int msec)
{
    // A coarse timer may fire up to 5% early; the parent relies on the full spacing.
    QEventLoop loop;
    QTimer::singleShot(msec, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void UpgradeScanner::writeProcess(QString message)
{
    if (message.startsWith(QLatin1String("UB99")))
        upgradesuccessLog();
    else if (message.startsWith(QLatin1String("UC")))
        upgradeerrorLog();

    g_waitEventLoop(kStatusLeadMs);
    m_lastMessage = message;
    writeToProcess(m_lastMessage);
    g_waitEventLoop(kStatusTrailMs);
}

void UpgradeScanner::writeToProcess(QString message)
{
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return;
    out.write(message.toLocal8Bit());
    out.close();
}

void UpgradeScanner::upgradeerrorLog()
{
    const QString path = QLatin1String(kErrorMarker);
    QFile marker(path);
    if (marker.open(QIODevice::WriteOnly | QIODevice::Text)) {
        marker.close();
        qDebug() << "--upgradeErrorLog--: OK:" << path;
    } else {
        qDebug() << "---upgradeErrorLog--: error:" << path;
    }
}

void UpgradeScanner::upgradesuccessLog()
{
    const QString markerPath = QLatin1String(kErrorMarker);
    if (QFileInfo(markerPath).isFile())
        QFile::remove(markerPath);

    const QString path = QLatin1String(kSuccessLog);
    const QFileInfo info(path);
    QFile log(path);
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
    stream << QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmsszzz"))
           << "--upgradesuccess--" << m_packagePath;
    stream.flush();
    log.close();
    qDebug() << okText << path;
}
