// The firmware archive's digest manifest: its lines are read into records, and every record is
// checked against an unpacked tree that holds ordinary files, a subdirectory, a directory, a
// symbolic link out of the tree and a FIFO. Works on /tmp/upgrade, so it runs in the sandbox.
#include "fuzzsupport.h"
#include "upgradescanner.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kOtaDir = "/tmp/upgrade/ota_file/";

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    FUZZ_EXPECT(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_EXPECT(file.write(content) == content.size());
}

bool leavesTree(const QString& relative)
{
    return relative.startsWith(QLatin1Char('/')) ||
           relative.split(QLatin1Char('/')).contains(QLatin1String(".."));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzQuietTrace();
    fuzzRequireSandbox();
    const QString dir = QLatin1String(kOtaDir);
    FUZZ_EXPECT(QDir().mkpath(dir + QStringLiteral("boot")));
    FUZZ_EXPECT(QDir().mkpath(dir + QStringLiteral("empty-dir")));
    writeFile(dir + QStringLiteral("zImage"), "kernel image\n");
    writeFile(dir + QStringLiteral("boot/u-boot.imx"), "boot loader\n");
    writeFile(dir + QStringLiteral("fileMd5s"), "");
    writeFile(QStringLiteral("/tmp/upgrade/outside.bin"), "outside the tree\n");
    QFile::remove(dir + QStringLiteral("link"));
    FUZZ_EXPECT(
        QFile::link(QStringLiteral("/tmp/upgrade/outside.bin"), dir + QStringLiteral("link")));
    ::unlink(QFile::encodeName(dir + QStringLiteral("fifo")).constData());
    FUZZ_EXPECT(::mkfifo(QFile::encodeName(dir + QStringLiteral("fifo")).constData(), 0600) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QBuffer manifest;
    manifest.setData(fuzzBytes(data, size));
    FUZZ_EXPECT(manifest.open(QIODevice::ReadOnly));
    const QList<st_otaFiles> entries = UpgradeScanner::g_readManifest(manifest);

    const QString dir = QLatin1String(kOtaDir);
    for (const st_otaFiles& entry : entries) {
        FUZZ_EXPECT(entry.path.startsWith(dir));
        FUZZ_EXPECT(!entry.md5.isEmpty() && entry.md5 == entry.md5.trimmed());
        const QString failure = UpgradeScanner::g_checkOtaFile(entry);
        if (!failure.isEmpty()) {
            FUZZ_EXPECT(failure.startsWith(QLatin1String("UC31")) ||
                        failure.startsWith(QLatin1String("UC32")));
            break;
        }
        // A record that passes never points the pipeline outside the unpacked tree.
        FUZZ_EXPECT(!leavesTree(entry.path.mid(dir.size())));
        const QString path = entry.path;
        if (!(path.endsWith(QLatin1String(".map")) || path.endsWith(QLatin1String(".md5")) ||
              path.endsWith(QLatin1String(".size"))))
            FUZZ_EXPECT(QFileInfo(path).isFile() && UpgradeScanner::g_GenMd5(path) == entry.md5);
    }
    return 0;
}
