#include "upgradescanner.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace {
const char* const kLogSave = "/usr/scanner/config/logsave.txt";
const char* const kSavedConfig = "/usr/scanner/config/scannerConfig0.json";
const char* const kFallbackPara = "/tmp/savepara.txt";
} // namespace

void UpgradeScanner::runtxtOrder()
{
    QString paraPath = m_packagePath;
    const int slash = paraPath.lastIndexOf(QLatin1Char('/'));
    if (slash >= 0)
        paraPath.truncate(slash);
    paraPath += QLatin1String("/savepara.txt");

    // The record names the place beside the package even when the fallback is used, so the
    // main application can tell where the choice was expected.
    QFile logSave(QString::fromLatin1(kLogSave));
    if (logSave.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        QTextStream stream(&logSave);
        stream << paraPath;
        stream.flush();
        logSave.close();
    }

    if (!QFileInfo(paraPath).isFile())
        paraPath = QLatin1String(kFallbackPara);
    writeProcess(QStringLiteral("runtxtOrder--filePa--") + paraPath);
    if (!QFileInfo(paraPath).isFile()) {
        writeProcess(QStringLiteral("runtxtOrder--filePa-not isFile-") + paraPath);
        return;
    }

    QFile paraFile(paraPath);
    if (!paraFile.open(QIODevice::ReadOnly))
        return;
    const QByteArray content = paraFile.readAll();
    paraFile.close();

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        writeProcess(QString::fromUtf8("runtxtOrder readConfigureFile读取json文件出错-") +
                     paraPath);
        qDebug().noquote() << QString::fromUtf8("readConfigureFile读取json文件出错，错误码:")
                           << error.errorString() << QString::fromUtf8("路径：") << paraPath;
        return;
    }

    const QJsonObject settings = document.object();
    if (!settings.contains(QLatin1String("savePara")))
        return;
    const bool savePara = settings.value(QLatin1String("savePara")).toBool(false);
    writeProcess(QStringLiteral("runtxtOrder--saveparaJson--") + QString::number(savePara ? 1 : 0));
    if (!savePara) {
        QFile::remove(QLatin1String(kSavedConfig));
        g_waitEventLoop(200);
    }
}
