#include "upgradescanner.h"

#include "statustexts.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace {
const char* const kLogSave = "/usr/scanner/config/logsave.txt";
const char* const kSavedConfig = "/usr/scanner/config/scannerConfig0.json";
} // namespace

bool UpgradeScanner::g_parseSavePara(const QByteArray& content, bool& hasChoice, bool& savePara,
                                     QString& parseError)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        parseError = error.errorString();
        return false;
    }
    const QJsonObject settings = document.object();
    hasChoice = settings.contains(QLatin1String("savePara"));
    savePara = hasChoice && settings.value(QLatin1String("savePara")).toBool(false);
    return true;
}

QString UpgradeScanner::g_saveParaPath(const QString& packagePath)
{
    QString paraPath = packagePath;
    const int slash = paraPath.lastIndexOf(QLatin1Char('/'));
    if (slash >= 0)
        paraPath.truncate(slash);
    return paraPath + QLatin1String("/savepara.txt");
}

void UpgradeScanner::runtxtOrder()
{
    const QString besidePath = g_saveParaPath(m_packagePath);

    // The record names the place beside the package even when the fallback is used, so the
    // main application can tell where the choice was expected.
    QFile logSave(m_appliance->path(QLatin1String(kLogSave)));
    if (logSave.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        QTextStream stream(&logSave);
        stream << besidePath;
        stream.flush();
        logSave.close();
    }

    const QString paraPath = QFileInfo(m_appliance->path(besidePath)).isFile()
                                 ? besidePath
                                 : QLatin1String(kTmpSavePara);
    writeProcess(g_msgParaFile(paraPath));
    if (!QFileInfo(m_appliance->path(paraPath)).isFile()) {
        writeProcess(g_msgParaNotFile(paraPath));
        return;
    }

    QFile paraFile(m_appliance->path(paraPath));
    if (!paraFile.open(QIODevice::ReadOnly))
        return;
    const QByteArray content = paraFile.readAll();
    paraFile.close();

    bool hasChoice = false;
    bool savePara = false;
    QString parseError;
    if (!g_parseSavePara(content, hasChoice, savePara, parseError)) {
        writeProcess(g_msgParaNotJson(paraPath));
        qDebug().noquote() << QString::fromUtf8("readConfigureFile读取json文件出错，错误码:")
                           << parseError << QString::fromUtf8("路径：") << paraPath;
        return;
    }
    if (!hasChoice)
        return;
    writeProcess(g_msgParaChoice(savePara));
    if (!savePara) {
        QFile::remove(m_appliance->path(QLatin1String(kSavedConfig)));
        m_appliance->wait(kSavedConfigWaitMs);
    }
}
