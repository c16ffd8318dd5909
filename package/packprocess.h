#ifndef PACKPROCESS_H
#define PACKPROCESS_H

#include "packiteminfo.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

/// Progress of a long package operation: bytes done out of a total.
using PackProgress = std::function<void(qint64 done, qint64 total)>;

/// How the payload of one carried file looked when its package was read.
struct st_packPayload {
    QString size;             ///< the size text as stored
    quint32 chunkCount = 0;   ///< the chunk count as stored (0 when it is not a number)
    quint32 chunks = 0;       ///< whole chunk records found; only these are extracted
    qint64 bytes = 0;         ///< bytes the package holds, a last chunk cut short included
    bool truncated = false;   ///< the package ended before the payload was whole
    bool writeFailed = false; ///< the extracted file could not be written completely
    QString md5;              ///< digest of those bytes, when asked for
};

/// Options and findings of one package read, beyond readBinaryFile's own results.
struct st_packRead {
    bool extract = true; ///< write the carried files out
    QString outDir;      ///< where they go; empty: beside the package
    bool digest = false; ///< compute st_packPayload::md5
    /// Walk the payload by its record lengths without reading the carried bytes: the tables,
    /// sizes and truncation are found at the cost of a few seeks. Needs extract off; no digest.
    bool skipContent = false;
    PackProgress progress;
    /// Makes the file that an extracted item is written to, not yet open; a plain QFile when
    /// empty.
    std::function<std::unique_ptr<QFile>(const QString& path)> openOutput;

    QString error;                    ///< why the read returned false
    QVector<st_packPayload> payloads; ///< one per item whose payload was reached
    bool tablesTruncated = false;     ///< the package ended inside its texts or item table
    qint64 trailingBytes = 0;         ///< bytes after the last payload
};

/// Options and findings of one package write.
struct st_packWrite {
    bool digest = false; ///< compute each item's md5 while its bytes are copied
    PackProgress progress;

    QString error; ///< why the write returned false
};

/// Writer and reader of upgrade package files; one stateless object.
class PackProcess {
public:
    /// The one PackProcess object.
    static PackProcess& instance();

    /// The package texts' one-byte XOR transform; its own inverse on texts below U+0100.
    QString toXOREncryptUncrypt(QString text);

    /// Writes a package to outPath; false, with nothing left at outPath, when it cannot be written
    /// whole.
    bool saveBinaryFile(QString type, QStringList information, QVector<PackItemInfo> items,
                        QString outPath);
    /// Reads the package at path and extracts its carried files beside it.
    bool readBinaryFile(QString path, QVector<PackItemInfo>& items, QString& type,
                        QStringList& information);

    /// Writes a package to the open device out, as saveBinaryFile does, reporting through write.
    bool writePackage(QFileDevice& out, const QString& type, const QStringList& information,
                      QVector<PackItemInfo>& items, st_packWrite& write);
    /// Reads a package as readBinaryFile does, with the options and findings of read.
    bool readPackage(const QString& path, QVector<PackItemInfo>& items, QString& type,
                     QStringList& information, st_packRead& read);

    /// True when both paths name one existing file (the same inode, whatever the path).
    static bool g_isSameFile(const QString& a, const QString& b);

private:
    PackProcess() = default;
    PackProcess(const PackProcess&) = delete;
    PackProcess& operator=(const PackProcess&) = delete;
};

#endif // PACKPROCESS_H
