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
qint64 number(const char* field, int length)
{
    if (static_cast<unsigned char>(field[0]) & 0x80) {
        qint64 value = static_cast<unsigned char>(field[0]) & 0x3f;
        for (int i = 1; i < length; ++i)
            value = (value << 8) | static_cast<unsigned char>(field[i]);
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

void setChecksum(QByteArray& block)
{
    std::memset(block.data() + 148, ' ', 8);
    qint64 sum = 0;
    for (int i = 0; i < kBlock; ++i)
        sum += static_cast<unsigned char>(block.at(i));
    const QByteArray digits = QByteArray::number(sum, 8).rightJustified(6, '0');
    std::memcpy(block.data() + 148, digits.constData(), 6);
    block[154] = '\0';
}

} // namespace

void TarStream::feed(const char* data, qint64 size, QByteArray& out)
{
    while (size > 0) {
        if (m_state == State::Rest) {
            out.append(data, int(size));
            return;
        }
        if (m_state == State::Header) {
            const qint64 n = qMin(size, kBlock - m_block.size());
            m_block.append(data, int(n));
            data += n;
            size -= n;
            if (m_block.size() == kBlock)
                header(out);
            continue;
        }

        // The content of a member or an extension header, then the padding of its last block.
        const qint64 n = qMin(size, m_remaining + m_padding);
        const qint64 content = qMin(n, m_remaining);
        if (m_state == State::Extension) {
            if (m_extension.size() + content <= kMaxExtension)
                m_extension.append(data, int(content));
            out.append(data, int(n));
        } else {
            const qint64 passed = qMin(content, m_pass);
            out.append(data, int(passed));
            if (m_hash)
                m_hash->addData(data, int(passed));
            m_pass -= passed;
            // A member cut short ends its last block with zeros of its own; the archive's are
            // passed on with a whole member.
            if (m_passPadding < 0)
                out.append(data + content, int(n - content));
        }
        data += n;
        size -= n;
        m_remaining -= content;
        m_padding -= n - content;
        if (m_remaining == 0 && m_padding == 0)
            finish(out);
    }
}

void TarStream::finish(QByteArray& out)
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
    } else {
        if (m_passPadding > 0)
            out.append(QByteArray(int(m_passPadding), '\0'));
        if (m_hash)
            m_members.last().md5 = QString::fromLatin1(m_hash->result().toHex());
        m_hash.reset();
    }
    m_state = State::Header;
}

void TarStream::header(QByteArray& out)
{
    QByteArray block;
    block.swap(m_block);
    if (block.count('\0') == kBlock) {
        // The end of the archive: what follows is passed on unread.
        out += block;
        m_state = State::Rest;
        return;
    }
    if (!checksumMatches(block)) {
        // tar skips a block that is no header and looks for the next one.
        out += block;
        return;
    }

    const char* h = block.constData();
    const char type = h[156];
    const qint64 size =
        m_paxSize >= 0 && type != 'x' && type != 'g' ? m_paxSize : number(h + 124, 12);
    m_remaining = size;
    m_padding = padding(size);
    m_pass = size;
    m_passPadding = -1;
    if (type == 'L' || type == 'K' || type == 'x' || type == 'g') {
        m_extensionType = type;
        m_state = State::Extension;
        out += block;
        if (size == 0)
            finish(out);
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
    const bool paxSize = m_paxSize >= 0;
    m_paxSize = -1;

    member.kept = size;
    if (member.isRegular() && keep)
        member.kept = qBound<qint64>(0, keep(member), size);
    if (member.kept < size && paxSize) {
        // The size a pax record gives cannot be rewritten in the header.
        m_error = QStringLiteral("%1 would be cut short, but its size is in a pax record")
                      .arg(member.name);
        member.kept = size;
    }
    if (member.kept < size) {
        const QByteArray digits = QByteArray::number(member.kept, 8).rightJustified(11, '0');
        std::memcpy(block.data() + 124, digits.constData(), 11);
        block[135] = '\0';
        setChecksum(block);
        m_pass = member.kept;
        m_passPadding = padding(member.kept);
    }
    if (digest && member.isRegular())
        m_hash = std::make_unique<QCryptographicHash>(QCryptographicHash::Md5);
    m_members.append(member);
    out += block;
    m_state = State::Content;
    if (size == 0)
        finish(out);
}
