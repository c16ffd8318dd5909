#include "tarwriter.h"
#include "fixtures.h"

#include <QMap>
#include <QSet>

#include <cstring>
#include <random>

namespace {

const int kBlock = 512;
const qint64 kTime = 1700000000;

void putText(QByteArray& block, int at, int length, const QByteArray& text)
{
    std::memcpy(block.data() + at, text.constData(), size_t(qMin(text.size(), length)));
}

// Octal digits ending in a NUL where they fit, otherwise base-256 with the top bit set, as GNU tar
// writes a size or offset beyond 8 GiB.
void putNumber(QByteArray& block, int at, int length, qint64 value)
{
    const QByteArray digits = QByteArray::number(value, 8);
    if (digits.size() < length) {
        putText(block, at, length, digits.rightJustified(length - 1, '0') + '\0');
        return;
    }
    for (int i = length - 1; i > 0; --i, value >>= 8)
        block[at + i] = char(value & 0xff);
    block[at] = char(0x80);
}

QByteArray header(const QByteArray& name, char type, qint64 size, quint32 mode = 0644,
                  const QByteArray& linkName = QByteArray())
{
    QByteArray block(kBlock, '\0');
    putText(block, 0, 100, name);
    putNumber(block, 100, 8, mode);
    putNumber(block, 108, 8, 0);
    putNumber(block, 116, 8, 0);
    putNumber(block, 124, 12, size);
    putNumber(block, 136, 12, kTime);
    block[156] = type;
    putText(block, 157, 100, linkName);
    putText(block, 257, 8, QByteArray("ustar  ", 8));
    return block;
}

// The checksum goes in last: it sums every other byte of the header, the sparse map included.
QByteArray sealed(QByteArray block)
{
    std::memset(block.data() + 148, ' ', 8);
    qint64 sum = 0;
    for (const char c : qAsConst(block))
        sum += uchar(c);
    putText(block, 148, 7, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0');
    return block;
}

QByteArray padded(const QByteArray& data)
{
    return data + QByteArray((kBlock - data.size() % kBlock) % kBlock, '\0');
}

// A pax record's length counts its own digits.
QByteArray paxRecord(const QByteArray& keyword, qint64 value)
{
    const QByteArray body = ' ' + keyword + '=' + QByteArray::number(value) + '\n';
    int length = body.size() + 1;
    while (QByteArray::number(length).size() + body.size() != length)
        length = QByteArray::number(length).size() + body.size();
    return QByteArray::number(length) + body;
}

// Map entries of 24 bytes, offset and length, from at on; the flag after them says whether an
// extension block follows.
void putSparse(QByteArray& block, int at, const QList<QPair<qint64, qint64>>& map, int from,
               int count, int flagAt)
{
    for (int i = 0; i < count && from + i < map.size(); ++i) {
        putNumber(block, at + 24 * i, 12, map.at(from + i).first);
        putNumber(block, at + 24 * i + 12, 12, map.at(from + i).second);
    }
    block[flagAt] = char(map.size() > from + count);
}

} // namespace

QByteArray tarArchive(const QList<TarEntry>& entries)
{
    QByteArray archive;
    for (const TarEntry& entry : entries) {
        if (entry.longName)
            archive += sealed(header("././@LongLink", 'L', entry.name.size() + 1)) +
                       padded(entry.name + '\0');
        if (entry.linkName.size() > 100)
            archive += sealed(header("././@LongLink", 'K', entry.linkName.size() + 1)) +
                       padded(entry.linkName + '\0');
        // GNU tar reads each piece of a sparse file from a block of its own.
        QByteArray stored = entry.type == 'S' ? QByteArray() : entry.content;
        if (entry.type == 'S') {
            int from = 0;
            for (const auto& piece : entry.sparseMap) {
                if (piece.second > 0 && from < entry.content.size())
                    stored = padded(stored) + entry.content.mid(from, int(piece.second));
                from += int(piece.second);
            }
            stored += entry.content.mid(from);
        }
        const qint64 size = stored.size();
        if (entry.paxSize) {
            const QByteArray record = paxRecord("size", size);
            const QByteArray name = "PaxHeaders/" + entry.name.mid(entry.name.lastIndexOf('/') + 1);
            archive += sealed(header(name, 'x', record.size())) + padded(record);
        }
        QByteArray block =
            header(entry.name, entry.type, entry.paxSize ? 0 : size, entry.mode, entry.linkName);
        QByteArray extensions;
        if (entry.type == 'S') {
            const QList<QPair<qint64, qint64>>& map = entry.sparseMap;
            putSparse(block, 386, map, 0, 4, 482);
            const qint64 realSize = entry.realSize >= 0 ? entry.realSize
                                    : map.isEmpty()
                                        ? 0
                                        : map.constLast().first + map.constLast().second;
            putNumber(block, 483, 12, realSize);
            for (int from = 4; from < map.size(); from += 21) {
                QByteArray extension(kBlock, '\0');
                putSparse(extension, 0, map, from, 21, 504);
                extensions += extension;
            }
        }
        archive += sealed(block) + extensions + padded(stored);
    }
    return archive + QByteArray(2 * kBlock, '\0');
}

QByteArray bzip2(const QByteArray& data)
{
    return runProcess({"bzip2", "-c"}, QString(), data);
}

QList<TarEntry> randomArchive(quint32 seed, qint64 maxBytes)
{
    std::mt19937 generator(seed);
    const auto below = [&generator](qint64 n) {
        return n <= 1 ? qint64(0) : std::uniform_int_distribution<qint64>(0, n - 1)(generator);
    };
    qint64 left = maxBytes;
    // Most contents are small, so that many members share the budget; now and then one takes all
    // that is left.
    const auto content = [&](qint64 least) {
        const qint64 size = qMin(left, least + below(below(4) == 0 ? left + 1 : 1100));
        left -= size;
        QByteArray data(int(size), Qt::Uninitialized);
        for (char& c : data)
            c = char(generator());
        return data;
    };
    static const char* const stems[] = {
        "Image",        "board.dtb",      "uboot.imx", "520M0App.bin", "scanner.rootfs.ext4",
        "rpmsg_fw.bin", "scanner-app.sh", "notes.txt", "System.map",   "x.bin"};
    static const char* const outside[] = {"/etc/issue", "../outside.bin", "ota_file/../../x",
                                          "outside.bin"};
    static const char* const inside[] = {"Image", "../ota_file/x.bin", "d1/notes.txt",
                                         "./board.dtb"};
    const auto directory = [&]() { return "d" + QByteArray::number(below(3)); };
    const auto newName = [&]() {
        QByteArray name = "ota_file/";
        if (below(3) == 0)
            name += directory() + '/';
        if (below(6) == 0)
            name += QByteArray(90 + int(below(80)), 'l') + '/';
        return name + stems[below(10)];
    };

    QList<TarEntry> entries;
    QMap<QByteArray, QByteArray> files; // the regular files tar leaves, by path, with content
    // tar makes a symbolic link only once the rest is extracted, and a file written under its name
    // in between may or may not survive it: such a file is not listed.
    QSet<QByteArray> linked;
    const int count = 2 + int(below(14));
    for (int i = 0; i < count; ++i) {
        TarEntry entry(newName());
        QByteArray extracted;
        const int kind = int(below(9));
        if (kind == 0) {
            entry.type = '5';
            entry.name = "ota_file/" + directory() + '/';
            entry.mode = 0755;
        } else if (kind == 1 || kind == 2) {
            entry.type = kind == 1 ? '1' : '2';
            if (below(2) == 0)
                entry.linkName = outside[below(4)];
            else if (kind == 1 && !entries.isEmpty())
                entry.linkName = entries.at(int(below(entries.size()))).name;
            else
                entry.linkName = kind == 1 ? "ota_file/Image" : inside[below(4)];
            entry.mode = 0777;
        } else if (kind == 3) {
            entry.type = 'S';
            const int pieces = 1 + int(below(below(2) == 0 ? 4 : 30));
            qint64 at = 0;
            for (int p = 0; p < pieces && left > 0; ++p) {
                at += below(65536);
                const QByteArray piece = content(1);
                entry.sparseMap << qMakePair(at, qint64(piece.size()));
                entry.content += piece;
                at += piece.size();
            }
            entry.realSize = at + (below(2) == 0 ? below(65536) : 0);
            // As GNU tar writes a file that ends in a hole: an empty last piece at its end.
            if (entry.sparseMap.isEmpty() || entry.realSize > at)
                entry.sparseMap << qMakePair(entry.realSize, qint64(0));
            extracted = sparseFile(entry);
        } else {
            // The other kinds are files: one of a type tar does not know, one under the name of
            // an earlier member, and plain ones.
            if (kind == 4)
                entry.type = "ZQJUWY"[below(6)];
            if (kind == 5 && !files.isEmpty())
                entry.name = files.keys().at(int(below(files.size())));
            entry.content = extracted = content(0);
            entry.paxSize = below(5) == 0;
        }
        entry.longName = entry.name.size() > 100;
        if (entry.type == '2')
            linked.insert(entry.name);
        files.remove(entry.name);
        if (entry.type != '1' && entry.type != '2' && entry.type != '5')
            files.insert(entry.name, extracted);
        entries << entry;
    }

    QByteArray manifest;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (below(3) == 0 || linked.contains(it.key()))
            continue;
        const QByteArray digest = below(8) == 0 ? md5("not " + it.value()) : md5(it.value());
        manifest += digest + "  " + it.key().mid(9) + '\n';
    }
    return entries << TarEntry{"ota_file/fileMd5s", '0', manifest};
}

QByteArray sparseFile(const TarEntry& entry)
{
    const auto& last = entry.sparseMap.constLast();
    QByteArray file(int(qMax(entry.realSize, last.first + last.second)), '\0');
    qint64 from = 0;
    for (const auto& [offset, length] : entry.sparseMap) {
        file.replace(int(offset), int(length), entry.content.mid(int(from), int(length)));
        from += length;
    }
    return file;
}
