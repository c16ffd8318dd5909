#include "upgradescanner.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>

QString UpgradeScanner::g_GenMd5(QString filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "file open error.";
        return QString();
    }

    QCryptographicHash hash(QCryptographicHash::Md5);
    const qint64 size = file.size();
    qint64 hashed = 0;
    char buffer[4096];
    while (hashed < size) {
        const qint64 n = file.read(buffer, qMin<qint64>(size - hashed, sizeof buffer));
        // A file that shrank under us, or a failed read, has no digest worth comparing.
        if (n <= 0)
            return QString();
        hash.addData(buffer, int(n));
        hashed += n;
    }
    file.close();
    return QString::fromLatin1(hash.result().toHex());
}
