#include "asidefile.h"

#include "commandline.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

bool moveIntoPlace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
#if defined(__linux__) && defined(RENAME_EXCHANGE)
    // ext4 writes a file's data out before renaming it over another one, which takes about as
    // long as writing it did. Swapping the two and unlinking the old one is just as atomic for
    // readers of the final path, and does not wait.
    struct stat existing;
    if (::lstat(target.constData(), &existing) == 0 && S_ISREG(existing.st_mode) &&
        ::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_EXCHANGE) ==
            0) {
        if (::unlink(source.constData()) == 0)
            return true;
        // Something other than that file had taken its place: swap back, and let rename() say
        // what it makes of it.
        ::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_EXCHANGE);
    }
#endif
    return std::rename(source.constData(), target.constData()) == 0;
}

AsideFile::AsideFile(const QString& path) : m_path(path), m_file(path) {}

AsideFile::~AsideFile()
{
    if (m_asidePath.isEmpty())
        return;
    m_file.close();
    ::unlink(QFile::encodeName(m_asidePath).constData());
}

bool AsideFile::open()
{
    QFileInfo target(m_path);
    // Through a link, what it points to is replaced, as by a QSaveFile.
    if (target.isSymLink() && !target.canonicalFilePath().isEmpty())
        target.setFile(target.canonicalFilePath());
    if (target.isDir())
        return fail(QStringLiteral("is a directory"));
    const auto adopt = [this](int fd) {
        if (m_file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
            return true;
        ::close(fd);
        return fail(m_file.errorString());
    };
    const QByteArray path = QFile::encodeName(m_path);
    struct stat existing;
    if (::stat(path.constData(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        // Replacing it would leave a regular file where /dev/null was, or the reader of a FIFO
        // waiting for good: like cp and tar, write into it.
        const int fd = ::open(path.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        return fd >= 0 ? adopt(fd) : fail(systemError());
    }
    if (target.exists() && !target.isWritable())
        return fail(QStringLiteral("the existing file is not writable"));
    m_targetPath = target.filePath();

    // The hidden name must be a legal one too: for a long output name, a short stand-in.
    QString name = target.fileName();
    if (QFile::encodeName(name).size() > NAME_MAX - 10)
        name = QStringLiteral("upgrade-pack");
    int fd = -1;
    int error = EEXIST;
    SignalsHeld held;
    for (int attempt = 0; fd < 0 && error == EEXIST && attempt < 100; ++attempt) {
        m_asidePath = QStringLiteral("%1/.%2.%3")
                          .arg(target.path(), name)
                          .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        // Created as any new file is (the umask applies); O_EXCL never takes over another file.
        fd = ::open(QFile::encodeName(m_asidePath).constData(),
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        error = fd < 0 ? errno : 0;
    }
    if (fd < 0) {
        m_asidePath.clear();
        return fail(systemError(error));
    }
    m_removal.set(m_asidePath);
    held.release();
    // A replaced file passes its permissions on.
    if (::stat(QFile::encodeName(m_targetPath).constData(), &existing) == 0)
        ::fchmod(fd, existing.st_mode & 07777);
    return adopt(fd);
}

bool AsideFile::commit()
{
    m_file.close();
    if (m_file.error() != QFileDevice::NoError)
        return fail(m_file.errorString());
    // An output written directly is in place already.
    if (m_asidePath.isEmpty())
        return true;
    if (!moveIntoPlace(m_asidePath, m_targetPath))
        return fail(systemError());
    m_asidePath.clear();
    m_removal.clear();
    return true;
}
