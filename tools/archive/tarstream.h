#ifndef TARSTREAM_H
#define TARSTREAM_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>
#include <QVector>

#include <memory>

/// One member of a tar archive, as its headers describe it.
struct TarMember {
    QString name;     ///< the path as stored, long-name and pax records applied
    char type = '0';  ///< the header's type flag: '0' file, '5' directory, '2' link, ...
    qint64 size = 0;  ///< bytes of content the archive holds for it
    quint32 mode = 0; ///< permission bits
    qint64 mtime = 0;
    QString linkName; ///< what a link points to
    QString md5;      ///< digest of the content, when asked for

    /// True for the members whose content lands in a file of their own.
    bool isRegular() const { return type == '0' || type == '\0' || type == '7'; }
};
// Archives of many members grow the list in place.
Q_DECLARE_TYPEINFO(TarMember, Q_MOVABLE_TYPE);

/// Reads a tar stream as it passes through, member by member, and passes every byte on
/// unchanged.
class TarStream {
public:
    /// Digest the content of regular members.
    bool digest = false;

    /// Takes the next bytes of the stream and appends them to out.
    void feed(const char* data, qint64 size, QByteArray& out);
    /// The members read so far, in the order of the stream.
    const QVector<TarMember>& members() const { return m_members; }

private:
    void header();
    void finish();

    enum class State { Header, SparseMap, Content, Extension, Rest };
    State m_state = State::Header;
    QByteArray m_block;       // a header being gathered
    qint64 m_remaining = 0;   // content bytes of the current member still to come
    qint64 m_padding = 0;     // bytes that end the member's last block
    char m_extensionType = 0; // 'L', 'K' or 'x' while its content is gathered
    QByteArray m_extension;
    QString m_longName;
    QString m_longLink;
    QString m_paxPath;
    QString m_paxLink;
    qint64 m_paxSize = -1;
    QVector<TarMember> m_members;
    std::unique_ptr<QCryptographicHash> m_hash;
};

#endif // TARSTREAM_H
