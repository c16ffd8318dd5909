#ifndef PACKPROCESS_H
#define PACKPROCESS_H

#include "packiteminfo.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

/// The text a package begins with, in the first bytes of its header.
constexpr char kPackageMagic[] = "lumacrestupgrade";
/// Bytes of the package header: the magic, then zero bytes.
constexpr int kPackageHeaderSize = 100;
/// The most bytes one chunk record carries; every chunk of a file but its last is this long.
constexpr qint64 kPackageChunkSize = 10485760;

/// The chunk records that carry a file of size bytes.
constexpr qint64 g_packageChunkCount(qint64 size)
{
    return (size + kPackageChunkSize - 1) / kPackageChunkSize;
}

/// Progress of a long package operation: bytes done out of a total.
using PackProgress = std::function<void(qint64 done, qint64 total)>;

/// How the payload of one carried file looked when its package was read.
struct st_packPayload {
    QString size;           ///< the size text as stored
    quint32 chunkCount = 0; ///< the chunk count as stored (0 when it is not a number)
    quint32 chunks = 0;     ///< whole chunk records found; only these are extracted
    qint64 bytes = 0;       ///< bytes the package holds, a last chunk cut short included
    bool truncated = false; ///< the package ended before the payload was whole
    QString writeError;     ///< why the extracted file could not be written whole, if so
    QString md5;            ///< digest of those bytes, when asked for
};

/// Options and findings of one package read, beyond readBinaryFile's own results.
struct st_packRead {
    bool extract = true;      ///< write the carried files out
    QString outDir;           ///< where they go; empty: beside the package
    bool digest = false;      ///< compute st_packPayload::md5
    bool anyType = false;     ///< read on whatever the type, as a package of an accepted one
    bool stream = false;      ///< read a pipe as the stream it is, never asking what is left
    QFile* package = nullptr; ///< the package at the path, already open; null: open the path
    /// Called once the item table is read into the items, before any file is written: why the
    /// read is to stop there, or an empty text to go on.
    std::function<QString()> checkItems;
    /// Walk the payload by its record lengths without reading the carried bytes: the tables,
    /// sizes and truncation are found at the cost of a few seeks. Needs extract off; no digest.
    bool skipContent = false;
    PackProgress progress;
    /// Makes the file that an extracted item is written to, not yet open; a plain QFile when
    /// empty.
    std::function<std::unique_ptr<QFile>(const QString& path)> openOutput;

    QString error;                    ///< why the read returned false
    int itemCount = 0;                ///< the item count as stored, a negative one included
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

    /// The name the reader extracts an item of the given name under: the text after its last
    /// "/".
    static QString g_extractedName(const QString& name);
    /// True when both paths name one existing file (the same inode, whatever the path).
    static bool g_isSameFile(const QString& a, const QString& b);

private:
    PackProcess() = default;
    PackProcess(const PackProcess&) = delete;
    PackProcess& operator=(const PackProcess&) = delete;
};

#endif // PACKPROCESS_H
