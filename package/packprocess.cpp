#include "packprocess.h"

#include <sys/stat.h>

namespace {

const ushort kXorKey = 0x35;

} // namespace

PackProcess& PackProcess::instance()
{
    static PackProcess qinstance;
    return qinstance;
}

QString PackProcess::toXOREncryptUncrypt(QString text)
{
    for (QChar& c : text) {
        const ushort code = c.unicode();
        c = QChar(code < 256 ? ushort(code ^ kXorKey) : kXorKey);
    }
    return text;
}

QString PackProcess::g_extractedName(const QString& name)
{
    return name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
}

bool PackProcess::g_isSameFile(const QString& a, const QString& b)
{
    struct stat sa;
    struct stat sb;
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0 ||
        ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool PackProcess::readBinaryFile(QString path, QVector<PackItemInfo>& items, QString& type,
                                 QStringList& information)
{
    st_packRead read;
    return readPackage(path, items, type, information, PackSink::g_extract(QString(), false), read);
}

bool PackProcess::readPackage(const QString& path, QVector<PackItemInfo>& items, QString& type,
                              QStringList& information, const PackSink& sink, st_packRead& read)
{
    QFile package(path);
    if (!package.open(QIODevice::ReadOnly)) {
        read.error = QStringLiteral("cannot open %1: %2").arg(path, package.errorString());
        return false;
    }
    PackReader reader(package, false);
    const bool ok = reader.readTables(items, type, information, false) && reader.readPayloads(sink);
    read = reader.findings();
    return ok;
}
