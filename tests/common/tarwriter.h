#ifndef TARWRITER_H
#define TARWRITER_H

#include <QByteArray>
#include <QList>
#include <QPair>

/// One member of a hand-made tar archive.
struct TarEntry {
    QByteArray name;
    char type = '0'; // '0' file, '1' hard link, '2' symlink, '3' char dev, '4' block dev, '5' dir,
                     // '6' FIFO, 'S' GNU sparse, any other letter as is (e.g. 'Z')
    QByteArray content; // the data stored in the archive (for 'S': the stored pieces, back to back)
    quint32 mode = 0644;
    QByteArray linkName;                    // for '1' and '2'
    QList<QPair<qint64, qint64>> sparseMap; // for 'S': (offset, length) of each stored piece
    qint64 realSize = -1;                   // for 'S': the size of the file with its holes
    bool paxSize = false;  // the size goes in a pax 'x' record (size=N), the header's size field
                           // holds 0
    bool longName = false; // the name goes in a GNU 'L' long-name record
};

/// The bytes of an uncompressed tar archive of these members, ending in two zero blocks. Headers
/// are GNU tar's own format; a name beyond 100 bytes without longName is cut to 100, and a link
/// name beyond 100 bytes goes in a GNU 'K' record; each piece of a sparse member starts a block, as
/// GNU tar reads them, and one without realSize ends where its last piece does.
QByteArray tarArchive(const QList<TarEntry>& entries);
/// data compressed with bzip2 (runs the bzip2 program).
QByteArray bzip2(const QByteArray& data);
/// A random firmware archive for seed: members under ota_file/ of random types (files,
/// directories, hard and symbolic links inside and outside ota_file/, GNU sparse files with
/// random maps, a member of an unknown type letter, a name written twice, pax size records, long
/// names), random sizes from 0 to maxBytes in all, and a manifest ota_file/fileMd5s listing some
/// of the regular files with their right digests (and sometimes a wrong one). Deterministic for a
/// seed.
QList<TarEntry> randomArchive(quint32 seed, qint64 maxBytes);

#endif // TARWRITER_H
