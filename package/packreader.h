#ifndef PACKREADER_H
#define PACKREADER_H

#include "packformat.h"
#include "packiteminfo.h"

#include <QDataStream>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

class PackPieces;

/// How the payload of one carried file looked when its package was read.
struct st_packPayload {
    QString size;           ///< the size text as stored
    quint32 chunkCount = 0; ///< the chunk count as stored (0 when it is not a number)
    quint32 chunks = 0;     ///< whole chunk records found; only these are extracted
    qint64 bytes = 0;       ///< bytes the package holds, a last chunk cut short included
    bool truncated = false; ///< the package ended before the payload was whole
    QString writeError;     ///< why the extracted file could not be written whole, if so
    QString md5;            ///< digest of those bytes, when the sink digests
};

/// What one package read found beyond the items and texts it returns.
struct st_packRead {
    QString error;                    ///< why the read stopped
    int itemCount = 0;                ///< the item count as stored, a negative one included
    QVector<st_packPayload> payloads; ///< one per item whose payload was reached
    bool tablesTruncated = false;     ///< the package ended inside its texts or item table
    qint64 trailingBytes = 0;         ///< bytes after the last payload
};

/// What becomes of the carried bytes.
enum EPackSink {
    EPackSink_Skip,    ///< stepped over by their record lengths, with seeks
    EPackSink_Digest,  ///< read and digested
    EPackSink_Extract, ///< written to files, and digested when asked for
};

/// Where a package's payloads go once its tables are read.
class PackSink {
public:
    /// Makes the file that an extracted item is written to, not yet open.
    using OpenOutput = std::function<std::unique_ptr<QFile>(const QString& path)>;

    /// Walks the payloads by their record lengths: sizes and truncation at the cost of a few
    /// seeks, no carried byte read.
    static PackSink g_skip();
    /// Reads every payload into st_packPayload::md5.
    static PackSink g_digest();
    /// Writes each item into dir (empty: beside the package) under its extracted name, also
    /// digesting it when digest; openOutput makes the files, a plain QFile when empty.
    static PackSink g_extract(const QString& dir, bool digest, OpenOutput openOutput = {});

    /// What becomes of the carried bytes.
    EPackSink kind() const { return m_kind; }
    /// True when the payloads are digested.
    bool digests() const { return m_digest; }
    /// The directory extracted files go to; empty: beside the package.
    const QString& dir() const { return m_dir; }
    /// The file an extracted item goes to at path, not yet open.
    std::unique_ptr<QFile> output(const QString& path) const;

private:
    PackSink(EPackSink kind, bool digest, const QString& dir, OpenOutput openOutput);

    EPackSink m_kind;
    bool m_digest;
    QString m_dir;
    OpenOutput m_openOutput;
};

/// Reads one open package in two steps: its header and tables, then its payloads into a sink.
class PackReader {
public:
    /// A reader of package, open for reading; when stream, a pipe is read as the stream it is,
    /// never asked what is left.
    PackReader(QFile& package, bool stream);

    /// Reads the header, type, information and item table, appending the items; false, with
    /// findings().error, when it is no package or its type is refused (unless anyType).
    [[nodiscard]] bool readTables(QVector<PackItemInfo>& items, QString& type,
                                  QStringList& information, bool anyType);
    /// Takes the payloads of the items readTables() appended into sink; false, with
    /// findings().error, when an extracted file cannot be opened.
    [[nodiscard]] bool readPayloads(const PackSink& sink, const PackProgress& progress = {});

    /// What the read found so far.
    const st_packRead& findings() const { return m_read; }

private:
    QString readText();
    QString readStreamedText();
    void readChunks(st_packPayload& payload, QIODevice* out, bool& writeOk, PackPieces& pieces,
                    const PackSink& sink, const PackProgress& progress);

    QFile& m_package;
    const bool m_streamed;
    QDataStream m_stream;
    QStringList m_names;
    st_packRead m_read;
    qint64 m_packageSize = 0;
    qint64 m_streamedBytes = 0;
};

#endif // PACKREADER_H
