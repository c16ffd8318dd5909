#include "devicesandbox.h"
#include "scannerprobe.h"
#include "stdoutcapture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString kOtaDir = QStringLiteral("/tmp/upgrade/ota_file/");
const QString kManifest = QStringLiteral("/tmp/upgrade/ota_file/fileMd5s");

QByteArray md5Of(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

void writeFile(const QString& path, const QByteArray& data)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), qint64(data.size()));
}

// The unpacked tree every manifest row is checked against; ../outside.bin lies beside it.
const QByteArray kKernel("kernel image");
const QByteArray kUboot("boot loader");
const QByteArray kOutside("outside the unpacked tree");
const QByteArray kDots("dots in the name");

void prepareTree(const QByteArray& manifest)
{
    QDir(QStringLiteral("/tmp/upgrade")).removeRecursively();
    writeFile(kOtaDir + "zImage", kKernel);
    writeFile(kOtaDir + "boot/u-boot.imx", kUboot);
    writeFile(kOtaDir + "fw..bin", kDots);
    writeFile(QStringLiteral("/tmp/upgrade/outside.bin"), kOutside);
    QByteArray text = manifest;
    text.replace("%K", md5Of(kKernel))
        .replace("%U", md5Of(kUboot))
        .replace("%O", md5Of(kOutside))
        .replace("%D", md5Of(kDots));
    writeFile(kManifest, text);
}

} // namespace

class TestFileMd5 : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScannerProbe> m_scanner;

    QStringList records() const
    {
        QStringList list;
        for (const st_otaFiles& entry : qAsConst(m_scanner->m_otaFiles))
            list << entry.md5 + " " + entry.path;
        return list;
    }

private slots:
    void initTestCase()
    {
        REQUIRE_DEVICE_SANDBOX();
        m_scanner = ScannerProbe::createQuietly();
    }

    void genMd5_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("digest");
        QTest::newRow("empty file") << QByteArray("") << "d41d8cd98f00b204e9800998ecf8427e";
        QTest::newRow("short file") << QByteArray("abc") << "900150983cd24fb0d6963f7d28e17f72";
        QTest::newRow("two whole reads")
            << QByteArray(8192, 'x') << QString::fromLatin1(md5Of(QByteArray(8192, 'x')));
        QTest::newRow("partial last read")
            << QByteArray(10001, '\xa5') << QString::fromLatin1(md5Of(QByteArray(10001, '\xa5')));
        QTest::newRow("missing file") << QByteArray() << "";
    }
    void genMd5()
    {
        QFETCH(QByteArray, content);
        const QString path = QStringLiteral("/tmp/md5/file");
        QFile::remove(path);
        if (!content.isNull())
            writeFile(path, content);
        QTEST(UpgradeScanner::g_GenMd5(path), "digest");
    }

    void genMd5ShortRead()
    {
        // Attribute files under /sys claim a whole page but hold a few bytes: to the reader
        // that is a file that shrank after its size was taken.
        const QString path = QStringLiteral("/sys/devices/system/cpu/online");
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() <= file.readAll().size())
            QSKIP("no file here whose content is shorter than its size");
        QCOMPARE(UpgradeScanner::g_GenMd5(path), QString());
    }

    void genMd5NotARegularFile()
    {
        const QString fifo = QStringLiteral("/tmp/md5/fifo");
        QVERIFY(QDir().mkpath(QStringLiteral("/tmp/md5")));
        QFile::remove(fifo);
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QCOMPARE(UpgradeScanner::g_GenMd5(fifo), QString());
        QCOMPARE(UpgradeScanner::g_GenMd5(QStringLiteral("/tmp")), QString());
    }

    void manifest_data()
    {
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QStringList>("records");

        const QString k = QString::fromLatin1(md5Of(kKernel));
        const QString u = QString::fromLatin1(md5Of(kUboot));
        const QString o = QString::fromLatin1(md5Of(kOutside));
        const QStringList both{k + " " + kOtaDir + "zImage", u + " " + kOtaDir + "boot/u-boot.imx"};

        static const char crlf[] = "%K zImage\r\n%U boot/u-boot.imx\0 trailing junk";
        QTest::newRow("any number of spaces, subdirectory")
            << QByteArray("%K  zImage\n%U   boot/u-boot.imx\n") << true << QByteArray() << both;
        QTest::newRow("CRLF, NUL, no final line end")
            << QByteArray(crlf, sizeof crlf - 1) << true << QByteArray() << both;
        QTest::newRow("empty, blank, single-field and three-field lines")
            << QByteArray("\n   \n%K\n%K zImage extra\n") << true << QByteArray()
            << QStringList{k + " " + kOtaDir + "zImage"};
        QTest::newRow("side files are recorded, not verified")
            << QByteArray("bad zImage.map\nbad gone.md5\nbad gone.size\n%K zImage\n") << true
            << QByteArray()
            << QStringList{"bad " + kOtaDir + "zImage.map", "bad " + kOtaDir + "gone.md5",
                           "bad " + kOtaDir + "gone.size", k + " " + kOtaDir + "zImage"};
        QTest::newRow("dots inside a name are no parent")
            << QByteArray("%D fw..bin\n") << true << QByteArray()
            << QStringList{QString::fromLatin1(md5Of(kDots)) + " " + kOtaDir + "fw..bin"};
        QTest::newRow("empty manifest") << QByteArray("") << true << QByteArray() << QStringList();

        QTest::newRow("upper-case digest")
            << (md5Of(kKernel).toUpper() + " zImage\n") << false
            << ("UC32Md5 check err: strMd5Orignal=" + k.toUpper() + ", calcMd5=" + k +
                ", filepath=/tmp/upgrade/ota_file/zImage")
                   .toUtf8()
            << QStringList{k.toUpper() + " " + kOtaDir + "zImage"};
        QTest::newRow("missing file stops before a later mismatch")
            << QByteArray("%K gone.bin\nbad zImage\n") << false
            << QByteArray("UC31file not exists :/tmp/upgrade/ota_file/gone.bin")
            << QStringList{k + " " + kOtaDir + "gone.bin", "bad " + kOtaDir + "zImage"};
        QTest::newRow("side-file suffix is case-sensitive")
            << QByteArray("bad gone.MAP\n") << false
            << QByteArray("UC31file not exists :/tmp/upgrade/ota_file/gone.MAP")
            << QStringList{"bad " + kOtaDir + "gone.MAP"};
        QTest::newRow("directory listed as a file")
            << QByteArray("%U boot\n") << false
            << ("UC32Md5 check err: strMd5Orignal=" + u +
                ", calcMd5=, filepath=/tmp/upgrade/ota_file/boot")
                   .toUtf8()
            << QStringList{u + " " + kOtaDir + "boot"};

        QTest::newRow("absolute path")
            << QByteArray("%K /zImage\n") << false
            << QByteArray("UC31file not exists :/tmp/upgrade/ota_file//zImage")
            << QStringList{k + " " + kOtaDir + "/zImage"};
        QTest::newRow("parent component")
            << QByteArray("%O boot/../../outside.bin\n") << false
            << QByteArray("UC31file not exists :/tmp/upgrade/ota_file/boot/../../outside.bin")
            << QStringList{o + " " + kOtaDir + "boot/../../outside.bin"};
        QTest::newRow("side file outside the tree")
            << QByteArray("%K zImage\nbad ../outside.map\n") << false
            << QByteArray("UC31file not exists :/tmp/upgrade/ota_file/../outside.map")
            << QStringList{k + " " + kOtaDir + "zImage", "bad " + kOtaDir + "../outside.map"};
    }
    void manifest()
    {
        QFETCH(QByteArray, manifest);
        QFETCH(bool, result);
        prepareTree(manifest);
        m_scanner->m_otaFiles = {{QStringLiteral("stale"), QStringLiteral("stale")}};

        StdoutCapture capture;
        QCOMPARE(m_scanner->analysisFileMd5(), result);
        QTEST(capture.take(), "message");
        QTEST(records(), "records");
        QCOMPARE(QFileInfo::exists(kManifest), !result);
        QVERIFY(QFileInfo::exists(QStringLiteral("/tmp/upgrade/outside.bin")));
    }

    void unusableManifest_data()
    {
        QTest::addColumn<bool>("directory");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("missing") << false
                                 << QByteArray(
                                        "UC29file not exists :/tmp/upgrade/ota_file/fileMd5s");
        QTest::newRow("a directory")
            << true << QByteArray("UC30file open err: /tmp/upgrade/ota_file/fileMd5s");
    }
    void unusableManifest()
    {
        QFETCH(bool, directory);
        QDir(QStringLiteral("/tmp/upgrade")).removeRecursively();
        QVERIFY(QDir().mkpath(directory ? kManifest : kOtaDir));
        m_scanner->m_otaFiles = {{QStringLiteral("stale"), QStringLiteral("stale")}};

        StdoutCapture capture;
        QVERIFY(!m_scanner->analysisFileMd5());
        QTEST(capture.take(), "message");
        QVERIFY(m_scanner->m_otaFiles.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFileMd5)
#include "tst_filemd5.moc"
