#ifndef PACKPIECES_H
#define PACKPIECES_H

#include <QCryptographicHash>
#include <QIODevice>
#include <QString>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

/// Bytes in each buffer that file contents are copied through, and in each write of a copy.
constexpr qint64 kPackPieceSize = 262144;

/// The buffers that file contents move through, and the digest they may feed on the way.
/// The digest runs on a thread of its own, so that hashing overlaps reading and writing
/// instead of adding to them.
class PackPieces {
public:
    /// Buffers for a plain copy, or, when digest, larger ones whose bytes are also digested.
    explicit PackPieces(bool digest);
    /// Waits for the digest thread to finish.
    ~PackPieces();
    PackPieces(const PackPieces&) = delete;
    PackPieces& operator=(const PackPieces&) = delete;

    /// Bytes in each buffer.
    qint64 size() const { return m_size; }

    /// A buffer of size() bytes to fill; waits until one is free.
    char* take();
    /// Hands back a buffer from take() whose first n bytes are to be digested.
    void give(char* piece, qint64 n);
    /// The digest of every byte given since the last result, as 32 lower-case hex digits.
    QString result();

private:
    void digestPieces();

    const bool m_digest;
    const qint64 m_size;
    std::vector<std::unique_ptr<char[]>> m_buffers;
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<char*, qint64>> m_pending;
    std::vector<char*> m_free;
    bool m_busy = false;
    bool m_stop = false;
    std::thread m_thread;
};

/// Moves n bytes from one device to another (when given) through pieces. Returns the bytes
/// read; fewer than n when the source ran short. A failed write clears writeOk, and the rest
/// is read but no longer written.
qint64 g_copyBytes(QIODevice& from, QIODevice* to, qint64 n, PackPieces& pieces, bool& writeOk);

#endif // PACKPIECES_H
