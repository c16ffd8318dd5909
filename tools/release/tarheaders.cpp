#include "tarheaders.h"

#include <cstring>

namespace {

/// A numeric header field of width bytes, the last a NUL: octal digits where they fit, else
/// the base-256 form in which GNU tar writes larger numbers (a file of 8 GiB or more).
void putNumber(char* field, int width, quint64 value)
{
    if (value >> (3 * (width - 1)) == 0) {
        for (int i = width - 2; i >= 0; --i, value >>= 3)
            field[i] = char('0' + (value & 7));
        field[width - 1] = '\0';
        return;
    }
    field[0] = char(0x80);
    for (int i = width - 1; i > 0; --i, value >>= 8)
        field[i] = char(value & 0xff);
}

/// One header block as GNU tar writes it, owned by root and stamped with time.
QByteArray headerBlock(const QByteArray& name, char type, qint64 size, int mode, qint64 time)
{
    char h[kTarBlock] = {};
    std::memcpy(h, name.constData(), size_t(qMin(name.size(), 100)));
    putNumber(h + 100, 8, quint64(mode));
    putNumber(h + 108, 8, 0);
    putNumber(h + 116, 8, 0);
    putNumber(h + 124, 12, quint64(size));
    putNumber(h + 136, 12, quint64(time));
    std::memset(h + 148, ' ', 8);
    h[156] = type;
    std::memcpy(h + 257, "ustar  ", 8);
    unsigned sum = 0;
    for (const char c : h)
        sum += uchar(c);
    putNumber(h + 148, 7, sum);
    return QByteArray(h, kTarBlock);
}

} // namespace

QByteArray tarPadding(qint64 size)
{
    return QByteArray(int((kTarBlock - size % kTarBlock) % kTarBlock), '\0');
}

QByteArray tarHeader(const QByteArray& name, char type, qint64 size, int mode, qint64 time)
{
    if (name.size() < 100)
        return headerBlock(name, type, size, mode, time);
    return headerBlock("././@LongLink", 'L', name.size() + 1, 0644, 0) + name + '\0' +
           tarPadding(name.size() + 1) + headerBlock(name, type, size, mode, time);
}
