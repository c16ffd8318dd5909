// upgrade-pack's tar stream reader on any bytes, fed in pieces of varying size with digests on:
// it passes on exactly what came in, and what it reads of the members does not depend on where
// the pieces end.
#include "fuzzsupport.h"
#include "tarstream.h"

#include <QHash>

namespace {

/// The stream read through a TarStream fed in pieces of these sizes in turn, again and again.
TarStream readInPieces(const QByteArray& input, const QVector<qint64>& sizes, QByteArray& out)
{
    TarStream stream;
    stream.digest = true;
    for (qint64 at = 0, i = 0; at < input.size(); ++i) {
        const qint64 size = qMin(sizes.at(int(i % sizes.size())), input.size() - at);
        stream.feed(input.constData() + at, size, out);
        at += size;
    }
    return stream;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = fuzzBytes(data, size);
    // The pieces follow from the input itself, so that a seed is a plain archive: single bytes,
    // a block and a byte either side of it, and long runs.
    static const qint64 kinds[] = {1, 7, 511, 512, 513, 4096, 65536};
    QVector<qint64> sizes;
    for (quint32 state = qHash(input); sizes.size() < 16; state = state * 1103515245u + 12345u)
        sizes << kinds[(state >> 16) % 7];
    QByteArray pieced;
    const TarStream stream = readInPieces(input, sizes, pieced);
    FUZZ_EXPECT(pieced == input);

    QByteArray whole;
    const TarStream once = readInPieces(input, {qMax(input.size(), 1)}, whole);
    FUZZ_EXPECT(whole == input);
    FUZZ_EXPECT(once.members().size() == stream.members().size());
    for (int i = 0; i < once.members().size(); ++i) {
        const TarMember& a = stream.members().at(i);
        const TarMember& b = once.members().at(i);
        FUZZ_EXPECT(a.name == b.name && a.type == b.type && a.size == b.size && a.mode == b.mode &&
                    a.mtime == b.mtime && a.linkName == b.linkName && a.md5 == b.md5);
    }
    return 0;
}
