#include "tarstream.h"

#include <QList>

#include <cstring>

namespace {

const qint64 kBlock = 512;
const int kMaxExtension = 1 << 20;

qint64 padding(qint64 size)
{
    return (kBlock - size % kBlock) % kBlock;
}

// Numeric fields are octal text, or base-256 with the top bit set for values that do not fit.
// No archive holds more than kMaxNumber bytes: a larger value is taken as that, which leaves
// room to add a block's padding.
qint64 number(const char* field, int length)
{
    const qint64 kMaxNumber = qint64(1) << 62;
    if (static_cast<unsigned char>(field[0]) & 0x80) {
        qint64 value = static_cast<unsigned char>(field[0]) & 0x3f;
        for (int i = 1; i < length; ++i) {
            if (value >= kMaxNumber >> 8)
                return kMaxNumber;
            value = (value << 8) | static_cast<unsigned char>(field[i]);
        }
        return value;
    }
    qint64 value = 0;
    for (int i = 0; i < length && field[i]; ++i) {
        if (field[i] >= '0' && field[i] <= '7')
            value = value * 8 + (field[i] - '0');
        else if (field[i] != ' ')
            break;
    }
    return value;
}

QString text(const char* field, int length)
{
    return QString::fromUtf8(field, int(qstrnlen(field, uint(length))));
}

bool checksumMatches(const QByteArray& block)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.constData());
    qint64 unsignedSum = 0;
    qint64 signedSum = 0;
    for (int i = 0; i < kBlock; ++i) {
        const bool field = i >= 148 && i < 156;
        unsignedSum += field ? ' ' : bytes[i];
        signedSum += field ? ' ' : static_cast<signed char>(bytes[i]);
    }
    const qint64 stored = number(block.constData() + 148, 8);
    return stored == unsignedSum || stored == signedSum;
}

} // namespace

void TarStream::feed(const char* data, qint64 size, QByteArray& out)
{
    out.append(data, int(size));
    while (size > 0 && m_state != State::Rest) {
        if (m_state == State::Header || m_state == State::SparseMap) {
            const qint64 n = qMin(size, kBlock - m_block.size());
            m_block.append(data, int(n));
            data += n;
            size -= n;
            if (m_block.size() < kBlock)
                continue;
            if (m_state == State::Header) {
                header();
            } else {
                // An old GNU sparse member's map goes on in blocks of its own, before its data.
                const bool last = m_block.at(504) == 0;
                m_block.clear();
                if (last)
                    m_state = State::Content;
                if (last && m_remaining + m_padding == 0)
                    finish();
            }
            continue;
        }

        // The content of a member or an extension header, then the padding of its last block.
        const qint64 n = qMin(size, m_remaining + m_padding);
        const qint64 content = qMin(n, m_remaining);
        if (m_state == State::Extension) {
            if (m_extension.size() + content <= kMaxExtension)
                m_extension.append(data, int(content));
        } else if (m_hash) {
            m_hash->addData(data, int(content));
        }
        data += n;
        size -= n;
        m_remaining -= content;
        m_padding -= n - content;
        if (m_remaining == 0 && m_padding == 0)
            finish();
    }
}

void TarStream::finish()
{
    if (m_state == State::Extension) {
        const QByteArray value =
            m_extension.left(int(qstrnlen(m_extension.constData(), uint(m_extension.size()))));
        if (m_extensionType == 'L') {
            m_longName = QString::fromUtf8(value);
        } else if (m_extensionType == 'K') {
            m_longLink = QString::fromUtf8(value);
        } else if (m_extensionType == 'x') {
            for (const QByteArray& record : m_extension.split('\n')) {
                const QByteArray field = record.mid(record.indexOf(' ') + 1);
                if (field.startsWith("path="))
                    m_paxPath = QString::fromUtf8(field.mid(5));
                else if (field.startsWith("linkpath="))
                    m_paxLink = QString::fromUtf8(field.mid(9));
                else if (field.startsWith("size="))
                    m_paxSize = field.mid(5).toLongLong();
            }
        }
        m_extension.clear();
    } else if (m_hash) {
        m_members.last().md5 = QString::fromLatin1(m_hash->result().toHex());
        m_hash.reset();
    }
    m_state = State::Header;
}

void TarStream::header()
{
    QByteArray block;
    block.swap(m_block);
    // The end of the archive: what follows is passed on unread.
    if (block.count('\0') == kBlock) {
        m_state = State::Rest;
        return;
    }
    // tar skips a block that is no header and looks for the next one.
    if (!checksumMatches(block))
        return;

    const char* h = block.constData();
    const char type = h[156];
    const qint64 size =
        m_paxSize >= 0 && type != 'x' && type != 'g' ? m_paxSize : number(h + 124, 12);
    m_remaining = size;
    m_padding = padding(size);
    if (type == 'L' || type == 'K' || type == 'x' || type == 'g') {
        m_extensionType = type;
        m_state = State::Extension;
        if (size == 0)
            finish();
        return;
    }

    TarMember member;
    member.type = type;
    member.size = size;
    member.mode = quint32(number(h + 100, 8) & 07777);
    member.mtime = number(h + 136, 12);
    QString name = text(h, 100);
    if (std::memcmp(h + 257, "ustar\0", 6) == 0 && h[345])
        name = text(h + 345, 155) + QLatin1Char('/') + name;
    member.name = !m_longName.isEmpty() ? m_longName : !m_paxPath.isEmpty() ? m_paxPath : name;
    member.linkName = !m_longLink.isEmpty()  ? m_longLink
                      : !m_paxLink.isEmpty() ? m_paxLink
                                             : text(h + 157, 100);
    m_longName.clear();
    m_longLink.clear();
    m_paxPath.clear();
    m_paxLink.clear();
    m_paxSize = -1;
    if (digest && member.isRegular())
        m_hash = std::make_unique<QCryptographicHash>(QCryptographicHash::Md5);
    m_members.append(member);
    m_state = State::Content;
    if (type == 'S' && h[482])
        m_state = State::SparseMap;
    else if (size == 0)
        finish();
}
