#ifndef PACKFORMAT_H
#define PACKFORMAT_H

#include <QtGlobal>

#include <functional>

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

#endif // PACKFORMAT_H
