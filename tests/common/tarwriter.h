#ifndef TARWRITER_H
#define TARWRITER_H

#include <QByteArray>
#include <QList>
#include <QPair>

/// One member of a hand-made tar archive.
struct TarEntry {
    /// A member of this name, type, content and mode.
    TarEntry(const QByteArray& n = QByteArray(), char t = '0', const QByteArray& c = QByteArray(),
             quint32 m = 0644, const QByteArray& link = QByteArray())
        : name(n), type(t), content(c), mode(m), linkName(link)
    {
    }

    QByteArray name;
    char type; // the type flag as is: '0' file, '1' hard link, '2' symlink, 'S' GNU sparse...
    QByteArray content; // the data stored in the archive (for 'S': the stored pieces, back to back)
    quint32 mode;
    QByteArray linkName;                    // for '1' and '2'
    QList<QPair<qint64, qint64>> sparseMap; // for 'S': (offset, length) of each stored piece
    qint64 realSize = -1;                   // for 'S': the size of the file with its holes
    bool paxSize = false;  // the size goes in a pax 'x' record, the header's size field holds 0
    bool longName = false; // the name goes in a GNU 'L' long-name record
};

/// The bytes of an uncompressed tar archive of these members, ending in two zero blocks. Headers
/// are GNU tar's own format; a name beyond 100 bytes without longName is cut to 100, and a link
/// name beyond 100 bytes goes in a GNU 'K' record; each piece of a sparse member starts a block, as
/// GNU tar reads them, and one without realSize ends where its last piece does.
QByteArray tarArchive(const QList<TarEntry>& entries);
/// data compressed with bzip2 (runs the bzip2 program).
QByteArray bzip2(const QByteArray& data);
/// A random firmware archive, the same for a seed: under ota_file/, files, directories, hard and
/// symbolic links in and out of it, sparse files, unknown types, names written twice, pax sizes,
/// long names, up to maxBytes of content in all, and a manifest fileMd5s of some regular files.
QList<TarEntry> randomArchive(quint32 seed, qint64 maxBytes);
/// The file tar makes of a sparse member: its pieces at their offsets, zeros in the holes.
QByteArray sparseFile(const TarEntry& entry);

#endif // TARWRITER_H
