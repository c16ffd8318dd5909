#ifndef TARHEADERS_H
#define TARHEADERS_H

#include <QByteArray>

/// Bytes of a tar block: headers and member data fill whole blocks.
constexpr int kTarBlock = 512;
/// GNU tar's record: an archive is padded to a whole one, as tar itself pads it.
constexpr int kTarRecord = 20 * kTarBlock;

/// The zero bytes that fill size bytes of member data up to a whole block.
QByteArray tarPadding(qint64 size);
/// The header of a member as GNU tar writes it, owned by root and stamped with time; a name too
/// long for the header goes before it in a GNU long-name member.
QByteArray tarHeader(const QByteArray& name, char type, qint64 size, int mode, qint64 time);

#endif // TARHEADERS_H
