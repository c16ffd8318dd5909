// The package reader on a package file made of the input, in a scratch directory of its own:
// whatever the bytes say, the carried files land beside the package and nowhere else.
#include "fuzzsupport.h"
#include "packprocess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {
QTemporaryDir* g_base = nullptr;
const QByteArray kSentinel("left alone\n");
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The package lies in base/pkg/; base/ holds nothing but pkg/ and a file that must stay.
    g_base = new QTemporaryDir();
    FUZZ_EXPECT(g_base->isValid() && QDir(g_base->path()).mkdir(QStringLiteral("pkg")));
    QFile sentinel(g_base->filePath(QStringLiteral("sentinel")));
    FUZZ_EXPECT(sentinel.open(QIODevice::WriteOnly) &&
                sentinel.write(kSentinel) == kSentinel.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QDir dir(g_base->filePath(QStringLiteral("pkg")));
    const QString path = dir.filePath(QStringLiteral("package.bin"));
    {
        QFile package(path);
        FUZZ_EXPECT(package.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    package.write(fuzzBytes(data, size)) == qint64(size));
    }

    QVector<PackItemInfo> items;
    QString type;
    QStringList information;
    if (PackProcess::instance().readBinaryFile(path, items, type, information)) {
        FUZZ_EXPECT(type == QLatin1String("T1") || type == QLatin1String("T2") ||
                    type == QLatin1String("T3"));
        FUZZ_EXPECT(information.size() == 5);
    } else if (!fuzzBytes(data, size).startsWith("lumacrestupgrade")) {
        FUZZ_EXPECT(type == QLatin1String("T0") && items.isEmpty() && information.isEmpty());
    }

    const QStringList around =
        QDir(g_base->path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    FUZZ_EXPECT(around == (QStringList{QStringLiteral("pkg"), QStringLiteral("sentinel")}));
    QFile sentinel(g_base->filePath(QStringLiteral("sentinel")));
    FUZZ_EXPECT(sentinel.open(QIODevice::ReadOnly) && sentinel.readAll() == kSentinel);

    FUZZ_EXPECT(dir.removeRecursively() && QDir(g_base->path()).mkdir(QStringLiteral("pkg")));
    return 0;
}
