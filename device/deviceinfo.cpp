#include "upgradescanner.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegExp>

namespace {
const char kProductModelKey[] = "product_model";
const char kDeviceScannerKey[] = "DeviceScanner";
const char kScannerTypeKey[] = "SType";
} // namespace

void UpgradeScanner::g_parseIssue(QIODevice& issue, QString& productModel, QString& systemBranch,
                                  QString& systemVersion)
{
    struct Key {
        QLatin1String name;
        QString* member;
    };
    const Key keys[] = {{QLatin1String(kProductModelKey), &productModel},
                        {QLatin1String("system_branch"), &systemBranch},
                        {QLatin1String("system_version"), &systemVersion}};

    while (!issue.atEnd()) {
        // fromUtf8 on the raw pointer stops at an embedded NUL byte, as the file's text does.
        QString line = QString::fromUtf8(issue.readLine().constData());
        qDebug() << line;
        if (line.length() < 16)
            continue;
        line.remove(QLatin1Char('\n'));
        for (const Key& key : keys) {
            if (line.contains(key.name, Qt::CaseInsensitive)) {
                // The value is positional: everything after a key at the start and one separator.
                *key.member = line.right(line.length() - key.name.size() - 1);
                break;
            }
        }
    }
}

void UpgradeScanner::g_parseMemInfo(QIODevice& meminfo, QString& memoryClass)
{
    QString text = QString::fromUtf8(meminfo.readAll().constData());
    qDebug() << text;
    if (text.length() < 11)
        return;

    text.remove(QLatin1Char('\n'));
    text.replace(QRegExp(QStringLiteral("\\s")), QString());
    qDebug() << text;
    if (!text.contains(QLatin1String("MemTotal"), Qt::CaseInsensitive))
        return;
    const int unitAt = text.indexOf(QLatin1String("kB"));
    if (unitAt <= 9)
        return;
    text = text.left(unitAt);
    qDebug() << text;

    memoryClass = text.mid(9);
    bool ok = false;
    uint totalKb = memoryClass.toUInt(&ok, 10);
    if (!ok)
        totalKb = 0;
    if (totalKb > 2500000)
        memoryClass.prepend(QLatin1String("3G-"));
    else if (totalKb <= 1200000)
        memoryClass.prepend(QLatin1String("1G-"));
    else
        memoryClass.prepend(QLatin1String("2G-"));
}

void UpgradeScanner::g_parseScannerConfig(const QByteArray& data, QString& scannerType)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError)
        return;
    const QJsonObject root = document.object();
    if (!root.contains(QLatin1String(kDeviceScannerKey)))
        return;
    const QJsonObject device = root.value(QLatin1String(kDeviceScannerKey)).toObject();
    if (device.contains(QLatin1String(kScannerTypeKey)))
        scannerType = device.value(QLatin1String(kScannerTypeKey)).toString();
}

QByteArray UpgradeScanner::g_issueText(const QString& productModel)
{
    return QByteArray(kProductModelKey) + '=' + productModel.toUtf8() + '\n';
}

QByteArray UpgradeScanner::g_scannerConfigText(const QString& scannerType)
{
    return QJsonDocument(QJsonObject{{QLatin1String(kDeviceScannerKey),
                                      QJsonObject{{QLatin1String(kScannerTypeKey), scannerType}}}})
        .toJson();
}

namespace {
// Opening a FIFO would wait for a writer that never comes, before the start-up message; like a
// directory, anything but a regular file counts as a file that cannot be opened.
bool openRegular(QFile& file, QIODevice::OpenMode mode)
{
    return QFileInfo(file.fileName()).isFile() && file.open(mode);
}
} // namespace

void UpgradeScanner::readDeviceInfo()
{
    QFile issue(m_appliance->path(QLatin1String(kIssueFile)));
    if (openRegular(issue, QIODevice::ReadOnly | QIODevice::Text)) {
        g_parseIssue(issue, m_productModel, m_systemBranch, m_systemVersion);
        issue.close();
    } else {
        qDebug() << "-----Can't open the file!--------/etc/issue";
    }
    qDebug() << "----------/etc/issue-----" << m_productModel << m_systemBranch << m_systemVersion;

    QFile meminfo(m_appliance->path(QStringLiteral("/proc/meminfo")));
    if (openRegular(meminfo, QIODevice::ReadOnly | QIODevice::Text)) {
        g_parseMemInfo(meminfo, m_memoryClass);
        meminfo.close();
    } else {
        qDebug() << "-----Can't open the file!--------/proc/meminfo";
    }
    qDebug() << "---------/proc/meminfo----" << m_memoryClass;

    QFile config(m_appliance->path(QLatin1String(kScannerConfigFile)));
    if (openRegular(config, QIODevice::ReadOnly)) {
        const QByteArray data = config.readAll();
        config.close();
        g_parseScannerConfig(data, m_scannerType);
    }
}
