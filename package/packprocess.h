#ifndef PACKPROCESS_H
#define PACKPROCESS_H

#include "packformat.h"
#include "packiteminfo.h"
#include "packreader.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <QVector>

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
    /// Reads the package at path as readBinaryFile does, its payloads into sink, with the
    /// findings in read.
    bool readPackage(const QString& path, QVector<PackItemInfo>& items, QString& type,
                     QStringList& information, const PackSink& sink, st_packRead& read);

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
