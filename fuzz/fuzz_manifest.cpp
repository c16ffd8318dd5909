// The firmware archive's digest manifest: its lines are read into records, and every record is
// checked against an unpacked tree in a scratch directory that holds ordinary files, a
// subdirectory, an empty directory, a symbolic link out of the tree and a FIFO.
#include "fuzzsupport.h"
#include "upgradescanner.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {
QString g_tree;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzQuietTrace();
    static QTemporaryDir scratch;
    g_tree = scratch.filePath(QStringLiteral("ota_file/"));
    FUZZ_EXPECT(QDir().mkpath(g_tree + QStringLiteral("boot")) &&
                QDir().mkpath(g_tree + QStringLiteral("empty-dir")));
    for (const char* name : {"zImage", "boot/u-boot.imx", "fileMd5s", "../outside.bin"}) {
        QFile file(g_tree + QLatin1String(name));
        FUZZ_EXPECT(file.open(QIODevice::WriteOnly) && file.write(name) > 0);
    }
    FUZZ_EXPECT(
        QFile::link(g_tree + QStringLiteral("../outside.bin"), g_tree + QStringLiteral("link")));
    FUZZ_EXPECT(::mkfifo(QFile::encodeName(g_tree + QStringLiteral("fifo")).constData(), 0600) ==
                0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QBuffer manifest;
    manifest.setData(fuzzBytes(data, size));
    FUZZ_EXPECT(manifest.open(QIODevice::ReadOnly));
    const QString device = QStringLiteral("/tmp/upgrade/ota_file/");
    for (const st_otaFiles& entry : UpgradeScanner::g_readManifest(manifest)) {
        FUZZ_EXPECT(entry.path.startsWith(device));
        FUZZ_EXPECT(!entry.md5.isEmpty() && entry.md5 == entry.md5.trimmed());
        const QString failure = UpgradeScanner::g_checkOtaFile(entry, g_tree);
        if (!failure.isEmpty()) {
            FUZZ_EXPECT(failure.startsWith(QLatin1String("UC31")) ||
                        failure.startsWith(QLatin1String("UC32")));
            break;
        }
        // A record that passes never points the pipeline outside the unpacked tree.
        const QString relative = entry.path.mid(device.size());
        FUZZ_EXPECT(!relative.startsWith(QLatin1Char('/')) &&
                    !relative.split(QLatin1Char('/')).contains(QLatin1String("..")));
        if (!UpgradeScanner::g_isSideFile(entry.path))
            FUZZ_EXPECT(QFileInfo(g_tree + relative).isFile() &&
                        UpgradeScanner::g_GenMd5(g_tree + relative) == entry.md5);
    }
    return 0;
}
