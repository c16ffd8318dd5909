#include "packagecreator.h"
#include "asidefile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHash>

namespace {

const int kMaxItems = 32767;

bool fitsTheFormat(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return false;
    }
    return true;
}

} // namespace

PackageCreator::PackageCreator(const PackageRequest& request) : m_request(request) {}

bool PackageCreator::check()
{
    const PackageRequest& r = m_request;
    if (r.files.size() > kMaxItems)
        return fail(QStringLiteral("too many files: %1 (a package carries at most %2)")
                        .arg(r.files.size())
                        .arg(kMaxItems));

    // The XOR transform maps every character above U+00FF to one and the same byte.
    QStringList texts = QStringList{r.type, r.model, r.target} + r.information + r.files;
    for (const QString& text : texts) {
        if (!fitsTheFormat(text))
            return fail(QStringLiteral("\"%1\" has characters above U+00FF, which a package "
                                       "cannot carry")
                            .arg(text));
    }

    QHash<QString, QString> byFileName;
    for (const QString& path : r.files) {
        QFile file(path);
        const QFileInfo info(path);
        // Opening a FIFO would wait for a writer; a device's content has no size to record.
        if (info.exists() && !info.isFile())
            return fail(QStringLiteral("cannot read %1: %2")
                            .arg(path, info.isDir() ? QStringLiteral("is a directory")
                                                    : QStringLiteral("not a regular file")));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        if (PackProcess::g_isSameFile(path, r.output))
            return fail(QStringLiteral("%1 is both the output and a file to pack").arg(path));
        // The device extracts every file under its file name alone, side by side.
        const QString fileName = PackProcess::g_extractedName(path);
        const QString other = byFileName.value(fileName);
        if (!other.isNull())
            return fail(QStringLiteral("%1 and %2 would both be extracted as %3")
                            .arg(other, path, fileName));
        byFileName.insert(fileName, path);
    }
    return true;
}

bool PackageCreator::run(const PackProgress& progress)
{
    if (!check())
        return false;

    QStringList information = QStringList{m_request.model} + m_request.information;
    while (information.size() < 5)
        information.append(QString());

    QVector<PackItemInfo> items;
    for (const QString& path : m_request.files) {
        PackItemInfo item;
        item.setName(path);
        item.setTarget(m_request.target);
        items.append(item);
    }

    // Like cp and tar, and unlike QSaveFile, this does not wait for the package to reach the
    // disk: that wait once cost more than the rest of the job.
    AsideFile out(m_request.output);
    if (!out.open())
        return fail(QStringLiteral("cannot write %1: %2").arg(m_request.output, out.errorString()));
    st_packWrite write;
    // The digests go into the item table once the payload is written, by seeking back: for an
    // output that cannot seek, such as a pipe, each file is read once more beforehand.
    write.digest = !out.file().isSequential();
    for (int i = 0; !write.digest && i < items.size(); ++i) {
        QFile source(items.at(i).name());
        QCryptographicHash md5(QCryptographicHash::Md5);
        if (!source.open(QIODevice::ReadOnly) || !md5.addData(&source))
            return fail(
                QStringLiteral("cannot read %1: %2").arg(source.fileName(), source.errorString()));
        items[i].setMd5(QString::fromLatin1(md5.result().toHex()));
    }
    write.progress = progress;
    if (!PackProcess::instance().writePackage(out.file(), m_request.type, information, items,
                                              write))
        return fail(write.error);
    if (!out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(m_request.output, out.errorString()));
    return true;
}
