// The firmware archive's digest manifest: its lines are read into records, and every record is
// checked by an upgrader whose appliance lies in a scratch directory, against an unpacked tree
// that holds ordinary files, a subdirectory, an empty directory, symbolic links into and out of
// the tree and a FIFO.
#include "fuzzsupport.h"
#include "upgradescanner.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

/// An appliance whose files lie in a scratch directory; it sends nothing and never waits.
class ScratchAppliance : public Appliance {
public:
    explicit ScratchAppliance(const QString& root) : m_root(root) {}
    QString path(const QString& devicePath) const override { return m_root + devicePath; }
    int run(const st_toolCall&) override { return 0; }
    bool startDetached(const st_toolCall&) override { return true; }
    void send(const QString&) override {}
    void wait(int) override {}
    void sleep(int) override {}
    QDateTime now() const override { return QDateTime(); }

private:
    QString m_root;
};

QString g_tree;
UpgradeScanner* g_scanner = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static QTemporaryDir scratch;
    static ScratchAppliance appliance(QDir(scratch.path()).canonicalPath());
    static UpgradeScanner scanner(appliance);
    g_scanner = &scanner;
    g_tree = appliance.path(QStringLiteral("/tmp/upgrade/ota_file/"));
    FUZZ_EXPECT(QDir().mkpath(g_tree + QStringLiteral("boot")) &&
                QDir().mkpath(g_tree + QStringLiteral("empty-dir")));
    for (const char* name : {"zImage", "boot/u-boot.imx", "fileMd5s", "../outside.bin"}) {
        QFile file(g_tree + QLatin1String(name));
        FUZZ_EXPECT(file.open(QIODevice::WriteOnly) && file.write(name) > 0);
    }
    FUZZ_EXPECT(
        QFile::link(g_tree + QStringLiteral("../outside.bin"), g_tree + QStringLiteral("link")) &&
        QFile::link(QStringLiteral("boot/u-boot.imx"), g_tree + QStringLiteral("inside")));
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
        const QString failure = g_scanner->checkOtaFile(entry);
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
                        QFileInfo(g_tree + relative).canonicalFilePath().startsWith(g_tree) &&
                        UpgradeScanner::g_GenMd5(g_tree + relative) == entry.md5);
    }
    return 0;
}
