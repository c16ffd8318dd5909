#include "directories.h"

#include "commandline.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

QString directoryProblem(const QString& dir)
{
    const QFileInfo info(dir);
    if (!info.exists())
        return QStringLiteral("%1: no such directory").arg(dir);
    if (!info.isDir())
        return QStringLiteral("%1: not a directory").arg(dir);
    // Qt's directory listings end silently where the directory cannot be read.
    DIR* handle = ::opendir(QFile::encodeName(dir).constData());
    if (!handle)
        return QStringLiteral("cannot read %1: %2").arg(dir, systemError(errno));
    ::closedir(handle);
    return QString();
}

QString makeDirectory(const QString& dir, QStringList* made)
{
    const QFileInfo info(dir);
    if (info.exists())
        return info.isDir() ? QString() : QStringLiteral("%1: not a directory").arg(dir);
    // QDir::mkpath() does not say why it failed; this names the part of the path at fault.
    const QString parent = info.path();
    if (parent != dir) {
        const QString why = makeDirectory(parent, made);
        if (!why.isEmpty())
            return why;
    }
    if (::mkdir(QFile::encodeName(dir).constData(), 0777) != 0) {
        const int error = errno;
        if (error != EEXIST || !QFileInfo(dir).isDir())
            return QStringLiteral("cannot create %1: %2").arg(dir, systemError(error));
    } else if (made) {
        made->append(dir);
    }
    return QString();
}

void removeDirectories(const QStringList& made)
{
    for (int i = made.size() - 1; i >= 0; --i)
        ::rmdir(QFile::encodeName(made.at(i)).constData());
}
