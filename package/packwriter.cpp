#include "packpieces.h"
#include "packprocess.h"

#include <QDataStream>
#include <QDebug>
#include <QFileInfo>

namespace {

const int kMd5Length = 32;

void writeText(QDataStream& stream, const QString& text)
{
    const QByteArray bytes = PackProcess::instance().toXOREncryptUncrypt(text).toUtf8();
    stream.writeBytes(bytes.constData(), uint(bytes.size()));
}

// Truncating the output first would destroy a source that is the output itself.
bool sourceIsOutput(const QVector<PackItemInfo>& items, const QString& outPath, QString& error)
{
    for (const PackItemInfo& item : items) {
        if (PackProcess::g_isSameFile(item.name(), outPath)) {
            error = QStringLiteral("%1 is the package being written").arg(item.name());
            return true;
        }
    }
    return false;
}

} // namespace

bool PackProcess::saveBinaryFile(QString type, QStringList information, QVector<PackItemInfo> items,
                                 QString outPath)
{
    st_packWrite write;
    if (sourceIsOutput(items, outPath, write.error)) {
        qDebug() << write.error;
        return false;
    }
    QFile out(outPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (writePackage(out, type, information, items, write))
        return true;

    // A package cut short would still begin like a valid one.
    qDebug() << write.error;
    out.close();
    if (QFileInfo(outPath).isFile())
        QFile::remove(outPath);
    return false;
}

bool PackProcess::writePackage(QFileDevice& out, const QString& type,
                               const QStringList& information, QVector<PackItemInfo>& items,
                               st_packWrite& write)
{
    if (sourceIsOutput(items, out.fileName(), write.error))
        return false;

    const auto writeFailed = [&]() {
        write.error = QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString());
        return false;
    };

    QByteArray header(kPackageHeaderSize, '\0');
    header.replace(0, int(sizeof kPackageMagic) - 1, kPackageMagic);
    if (out.write(header) != header.size())
        return writeFailed();

    QDataStream stream(&out);
    writeText(stream, type);
    for (const QString& entry : information)
        writeText(stream, entry);

    const int count = items.size();
    const char countBytes[2] = {char(count & 0xff), char((count >> 8) & 0xff)};
    if (out.write(countBytes, 2) != 2)
        return writeFailed();

    // The digests are known only once the payload is copied: their fixed-length texts are
    // written as placeholders now and overwritten in place at the end.
    QVector<qint64> md5Offsets;
    for (const PackItemInfo& item : items) {
        writeText(stream, item.m_name);
        writeText(stream, item.m_target);
        if (write.digest) {
            md5Offsets.append(out.pos() + 4);
            writeText(stream, QString(kMd5Length, QLatin1Char('0')));
        } else {
            writeText(stream, item.m_md5);
        }
        writeText(stream, item.m_reserved1);
        writeText(stream, item.m_reserved2);
        writeText(stream, item.m_reserved3);
        writeText(stream, item.m_reserved4);
        writeText(stream, item.m_reserved5);
    }
    if (stream.status() != QDataStream::Ok)
        return writeFailed();

    qint64 total = 0;
    if (write.progress) {
        for (const PackItemInfo& item : items)
            total += QFileInfo(item.m_name).size();
    }
    qint64 done = 0;
    PackPieces pieces(write.digest);
    for (PackItemInfo& item : items) {
        QFile source(item.m_name);
        if (!source.open(QIODevice::ReadOnly)) {
            qDebug() << "Could not open file for reading";
            write.error =
                QStringLiteral("cannot read %1: %2").arg(item.m_name, source.errorString());
            return false;
        }
        const qint64 size = source.size();
        writeText(stream, QString::number(size));
        writeText(stream, QString::number(g_packageChunkCount(size)));

        for (qint64 offset = 0; offset < size;) {
            const qint64 length = qMin(size - offset, kPackageChunkSize);
            stream << quint32(length);
            bool writeOk = stream.status() == QDataStream::Ok;
            const qint64 read = g_copyBytes(source, &out, length, pieces, writeOk);
            if (!writeOk)
                return writeFailed();
            // The chunk's length is already written: a source that shrinks or fails now
            // cannot be carried faithfully.
            if (read != length) {
                write.error = QStringLiteral("cannot read %1: %2")
                                  .arg(item.m_name, source.error() != QFileDevice::NoError
                                                        ? source.errorString()
                                                        : QStringLiteral("file shrank"));
                return false;
            }
            offset += length;
            done += length;
            if (write.progress)
                write.progress(done, total);
        }
        if (write.digest)
            item.m_md5 = pieces.result();
    }
    if (stream.status() != QDataStream::Ok)
        return writeFailed();

    for (int i = 0; i < md5Offsets.size(); ++i) {
        const QByteArray text = toXOREncryptUncrypt(items.at(i).m_md5).toUtf8();
        if (!out.seek(md5Offsets.at(i)) || out.write(text) != text.size())
            return writeFailed();
    }
    if (!out.flush())
        return writeFailed();
    return true;
}
