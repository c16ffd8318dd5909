#include "packreader.h"
#include "packpieces.h"
#include "packprocess.h"

#include <QtEndian>

namespace {

// No text the writer makes comes near this; a longer one read from a pipe is damage.
const int kMaxStreamedText = 256 * 1024 * 1024;

/// Reads what is left of a pipe, without keeping it; returns how many bytes that was.
qint64 drain(QIODevice& pipe)
{
    qint64 drained = 0;
    char piece[65536];
    for (qint64 got; (got = pipe.read(piece, qint64(sizeof piece))) > 0;)
        drained += got;
    return drained;
}

} // namespace

PackSink::PackSink(EPackSink kind, bool digest, const QString& dir, OpenOutput openOutput)
    : m_kind(kind), m_digest(digest), m_dir(dir), m_openOutput(std::move(openOutput))
{
}

PackSink PackSink::g_skip()
{
    return PackSink(EPackSink_Skip, false, QString(), {});
}

PackSink PackSink::g_digest()
{
    return PackSink(EPackSink_Digest, true, QString(), {});
}

PackSink PackSink::g_extract(const QString& dir, bool digest, OpenOutput openOutput)
{
    return PackSink(EPackSink_Extract, digest, dir, std::move(openOutput));
}

std::unique_ptr<QFile> PackSink::output(const QString& path) const
{
    return m_openOutput ? m_openOutput(path) : std::make_unique<QFile>(path);
}

PackReader::PackReader(QFile& package, bool stream)
    : m_package(package), m_streamed(stream && package.isSequential()), m_stream(&package)
{
}

// A pipe cannot tell what is left: its record is read in pieces, so that a damaged length costs
// no more than the bytes that really follow it. A record running past the end takes the rest of
// the stream with it, as it does in a file.
QString PackReader::readStreamedText()
{
    quint32 length = 0;
    m_stream >> length;
    QByteArray bytes;
    while (m_stream.status() == QDataStream::Ok && quint32(bytes.size()) < length) {
        const qint64 want = qMin<qint64>(length - quint32(bytes.size()), kPackPieceSize);
        const QByteArray piece = m_package.read(want);
        bytes += piece;
        // Past what one text can hold, the record cannot be whole anyway.
        if (piece.size() < want || bytes.size() > kMaxStreamedText) {
            drain(m_package);
            m_stream.setStatus(QDataStream::ReadPastEnd);
        }
    }
    if (m_stream.status() != QDataStream::Ok)
        return QString(QLatin1String(""));
    return PackProcess::instance().toXOREncryptUncrypt(
        QString::fromUtf8(bytes.isEmpty() ? nullptr : bytes.constData(), bytes.size()));
}

QString PackReader::readText()
{
    // A record that ran past the end left the file exhausted: every record after it reads as
    // empty, as an empty record does (an empty text, not a null one), without asking the file.
    if (m_stream.status() != QDataStream::Ok)
        return QString(QLatin1String(""));
    if (m_streamed)
        return readStreamedText();
    // A record that runs past the end reads as empty and takes the rest of the file with it.
    // QDataStream would first copy all of that rest into memory, a megabyte more each time and
    // the whole anew: for a damaged length in a large package, the device's memory and minutes.
    const QByteArray length4 = m_package.peek(4);
    if (length4.size() == 4 &&
        qFromBigEndian<quint32>(length4.constData()) > m_package.bytesAvailable() - 4) {
        m_package.seek(m_package.size());
        m_stream.setStatus(QDataStream::ReadPastEnd);
        return QString(QLatin1String(""));
    }
    char* bytes = nullptr;
    uint length = 0;
    m_stream.readBytes(bytes, length);
    // A transformed key character is a zero byte: decode all length bytes, not up to the first
    // zero.
    const QString text = QString::fromUtf8(bytes, int(length));
    delete[] bytes;
    return PackProcess::instance().toXOREncryptUncrypt(text);
}

bool PackReader::readTables(QVector<PackItemInfo>& items, QString& type, QStringList& information,
                            bool anyType)
{
    QByteArray magic = m_package.read(kPackageHeaderSize);
    const qint64 headerSize = magic.size();
    const int zero = magic.indexOf('\0');
    if (zero >= 0)
        magic.truncate(zero);
    if (magic != kPackageMagic) {
        type = UpgradeTypeValMap.value(EUpgradeType_T0);
        m_read.error = QStringLiteral("not an upgrade package");
        return false;
    }

    type = readText();
    if (!g_readerAcceptsType(type)) {
        if (headerSize < kPackageHeaderSize) {
            m_read.error = QStringLiteral("the package is cut short: it ends after %1 bytes, "
                                          "inside its %2-byte header")
                               .arg(headerSize)
                               .arg(kPackageHeaderSize);
            return false;
        }
        if (m_stream.status() != QDataStream::Ok) {
            m_read.error = QStringLiteral("the package is cut short: it ends inside its type");
            return false;
        }
        if (!anyType) {
            m_read.error = QStringLiteral("upgrade type \"%1\" is not accepted").arg(type);
            return false;
        }
    }
    for (int i = 0; i < 5; ++i)
        information.append(readText());

    unsigned char countBytes[2] = {0, 0};
    // Nothing is left: every record after this reads as empty.
    if (m_package.read(reinterpret_cast<char*>(countBytes), 2) != 2)
        m_stream.setStatus(QDataStream::ReadPastEnd);
    const qint16 count = qint16(countBytes[0] | (countBytes[1] << 8));
    m_read.itemCount = count;

    const int first = items.size();
    items.reserve(first + qMax<int>(count, 0));
    while (items.size() < first + count && m_stream.status() == QDataStream::Ok) {
        QString fields[8];
        for (QString& field : fields)
            field = readText();
        items.append(PackItemInfo(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
                                  fields[6], fields[7]));
    }
    if (items.size() < first + count) {
        // The table is cut short: every record the file no longer holds is eight empty texts.
        const QString text = readText();
        const PackItemInfo record(text, text, text, text, text, text, text, text);
        while (items.size() < first + count)
            items.append(record);
    }
    for (int i = first; i < items.size(); ++i)
        m_names.append(items.at(i).name());
    m_read.tablesTruncated = m_stream.status() != QDataStream::Ok;
    return true;
}

bool PackReader::readPayloads(const PackSink& sink, const PackProgress& progress)
{
    const QString path = m_package.fileName();
    QString outDir = sink.dir();
    if (outDir.isEmpty())
        outDir = path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
    else if (!outDir.endsWith(QLatin1Char('/')))
        outDir.append(QLatin1Char('/'));
    const bool extract = sink.kind() == EPackSink_Extract;

    // A pipe's size says nothing; progress then counts the bytes alone.
    m_packageSize = m_streamed ? 0 : m_package.size();
    PackPieces pieces(sink.digests());
    for (int i = 0; i < m_names.size(); ++i) {
        const QString& name = m_names.at(i);
        const QString outPath = outDir + PackProcess::g_extractedName(name);
        std::unique_ptr<QFile> out;
        if (extract) {
            // Extracting over the package would destroy it while it is being read.
            if (PackProcess::g_isSameFile(outPath, path)) {
                m_read.error = QStringLiteral("item %1 (%2) would overwrite the package itself")
                                   .arg(i + 1)
                                   .arg(name);
                return false;
            }
            out = sink.output(outPath);
            // Unbuffered: each piece goes to the file as it is, not through another buffer.
            if (!out->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
                m_read.error =
                    QStringLiteral("cannot write %1: %2").arg(outPath, out->errorString());
                return false;
            }
        }

        st_packPayload payload;
        payload.size = readText();
        payload.chunkCount = readText().toUInt();
        payload.truncated = m_stream.status() != QDataStream::Ok;
        bool writeOk = true;
        readChunks(payload, out.get(), writeOk, pieces, sink, progress);
        if (payload.chunks < payload.chunkCount)
            payload.truncated = true;
        if (out) {
            // Closing forgets why a write failed.
            if (!writeOk)
                payload.writeError = out->errorString();
            out->close();
            if (payload.writeError.isEmpty() && out->error() != QFileDevice::NoError)
                payload.writeError = out->errorString();
        }
        if (sink.digests())
            payload.md5 = pieces.result();
        m_read.payloads.append(payload);
    }
    m_read.trailingBytes = m_streamed ? drain(m_package) : m_package.bytesAvailable();
    return true;
}

void PackReader::readChunks(st_packPayload& payload, QIODevice* out, bool& writeOk,
                            PackPieces& pieces, const PackSink& sink, const PackProgress& progress)
{
    // The count comes from the file: trust it only as far as the data goes. A pipe knows
    // whether anything is left only once it is asked.
    while (payload.chunks < payload.chunkCount &&
           !(m_streamed ? m_package.peek(1).isEmpty() : m_package.atEnd())) {
        quint32 length = 0;
        m_stream >> length;
        if (m_stream.status() != QDataStream::Ok ||
            (!m_streamed && length > m_package.bytesAvailable())) {
            // A chunk cut short reads as empty, the rest of the file with it. The bytes it
            // does hold are still counted, and digested when asked for, but never written.
            const qint64 rest = m_streamed ? 0 : m_package.bytesAvailable();
            payload.bytes +=
                sink.digests() ? g_copyBytes(m_package, nullptr, rest, pieces, writeOk) : rest;
            if (!m_streamed)
                m_package.seek(m_packageSize);
            m_stream.setStatus(QDataStream::ReadPastEnd);
            payload.truncated = true;
            return;
        }
        if (sink.kind() == EPackSink_Skip) {
            payload.bytes += m_package.seek(m_package.pos() + length) ? length : 0;
        } else {
            const qint64 copied = g_copyBytes(m_package, out, length, pieces, writeOk);
            payload.bytes += copied;
            m_streamedBytes += copied;
            // Only a pipe gets here short; what it held of the chunk is written.
            if (m_streamed && copied < length) {
                m_stream.setStatus(QDataStream::ReadPastEnd);
                payload.truncated = true;
                return;
            }
        }
        ++payload.chunks;
        if (progress)
            progress(m_streamed ? m_streamedBytes : m_package.pos(), m_packageSize);
    }
}
