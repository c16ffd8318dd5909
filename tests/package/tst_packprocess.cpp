// The package format: one hand-checked package byte for byte, round trips at the chunk
// boundaries, what the reader makes of every kind of broken package, writer failures, and a
// carried file above 4 GiB.
#include "fixtures.h"
#include "packprocess.h"
#include "upgradescanner.h"

#include <QtTest>

#include <sys/resource.h>

#include <csignal>

namespace {

const qint64 kChunk = 10485760;
const QStringList kInfo = {"KT310", "5", QStringLiteral("\u00e9"), QStringLiteral("\u4e2d"), ""};

PackageBytes head(const QString& type = "T1")
{
    return PackageBytes().header().text(type).text("KT310").text("").text("").text("").text("");
}
PackageBytes& item(PackageBytes& p, const QString& name)
{
    p.text(name).text("/opt").text("md5");
    for (int r = 1; r <= 5; ++r)
        p.text("r");
    return p;
}
PackageBytes& payload(PackageBytes& p, const QByteArray& content)
{
    p.text(QString::number(content.size())).text(content.isEmpty() ? "0" : "1");
    return content.isEmpty() ? p : p.record(content);
}

} // namespace

class TestPackProcess : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void init()
    {
        static int n = 0;
        const QString dir = m_dir.filePath(QString::number(++n));
        QVERIFY(QDir().mkpath(dir) && QDir::setCurrent(dir));
    }

    void tinyPackageIsByteExact()
    {
        QVERIFY(writeFile("a.txt", "hi"));
        QVERIFY(PackProcess::instance().saveBinaryFile(
            "T1", kInfo,
            {PackItemInfo("a.txt", "/opt", "m", "reserved1", "reserved2", "reserved3", "reserved4",
                          "reserved5")},
            "tiny.pkg"));
        // The key becomes a zero byte, U+00E9 two UTF-8 bytes, U+4E2D the key itself.
        const QByteArray expected = "lumacrestupgrade" + QByteArray(84, '\0') +
                                    QByteArray::fromHex("000000026104"
                                                        "000000057e61060405"
                                                        "0000000100"
                                                        "00000002c39c"
                                                        "0000000135"
                                                        "00000000"
                                                        "0100"
                                                        "00000005541b414d41"
                                                        "000000041a5a4541"
                                                        "0000000158"
                                                        "00000009475046504743505104"
                                                        "00000009475046504743505107"
                                                        "00000009475046504743505106"
                                                        "00000009475046504743505101"
                                                        "00000009475046504743505100"
                                                        "0000000107"
                                                        "0000000104"
                                                        "000000026869");
        QCOMPARE(readFile("tiny.pkg").toHex(), expected.toHex());

        QVector<PackItemInfo> items;
        QString type;
        QStringList information;
        QVERIFY(PackProcess::instance().readBinaryFile("tiny.pkg", items, type, information));
        QCOMPARE(information,
                 (QStringList{"KT310", "5", QStringLiteral("\u00e9"), QString(QChar(0)), ""}));
        QCOMPARE(items.at(0).target(), QStringLiteral("/opt"));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QList<qint64>>("sizes");
        QTest::newRow("two small items") << QList<qint64>{5, 300};
        QTest::newRow("empty file") << QList<qint64>{0};
        QTest::newRow("exactly one chunk") << QList<qint64>{kChunk};
        QTest::newRow("one byte more: a second chunk") << QList<qint64>{kChunk + 1};
    }
    void roundTrip()
    {
        QFETCH(QList<qint64>, sizes);
        QTemporaryDir src;
        QVector<PackItemInfo> written(sizes.size());
        QList<QByteArray> contents;
        for (int i = 0; i < sizes.size(); ++i) {
            contents << QByteArray(int(sizes.at(i)), char('a' + i));
            if (sizes.at(i))
                contents.last()[0] = 'z';
            written[i].setName(src.filePath(QStringLiteral("dir/file%1.bin").arg(i)));
            written[i].setTarget(QStringLiteral("/target/%1").arg(i));
            QVERIFY(writeFile(written.at(i).name(), contents.last()));
        }
        // The digests are computed while the files are copied.
        QFile out(m_dir.filePath("update.pkg"));
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        st_packWrite write;
        write.digest = true;
        QVERIFY(PackProcess::instance().writePackage(out, "T2", kInfo, written, write));
        out.close();

        QVector<PackItemInfo> items;
        QString type;
        QStringList information;
        st_packRead read;
        read.digest = true;
        read.outDir = src.filePath("out");
        QVERIFY(QDir().mkpath(read.outDir));
        QVERIFY(
            PackProcess::instance().readPackage(out.fileName(), items, type, information, read));
        QCOMPARE(type, QStringLiteral("T2"));
        QCOMPARE(items.size(), sizes.size());
        for (int i = 0; i < items.size(); ++i) {
            const st_packPayload& payload = read.payloads.at(i);
            QCOMPARE(items.at(i).name(), written.at(i).name());
            QCOMPARE(items.at(i).target(), written.at(i).target());
            QCOMPARE(items.at(i).md5(), QString::fromLatin1(md5(contents.at(i))));
            QCOMPARE(payload.md5, items.at(i).md5());
            QCOMPARE(payload.size, QString::number(sizes.at(i)));
            QCOMPARE(payload.chunkCount, quint32((sizes.at(i) + kChunk - 1) / kChunk));
            QCOMPARE(payload.chunks, payload.chunkCount);
            QVERIFY(!payload.truncated);
            QVERIFY(readFile(read.outDir + QStringLiteral("/file%1.bin").arg(i)) == contents.at(i));
        }
        QCOMPARE(read.trailingBytes, 0);
    }

    void reader_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("information");
        QTest::addColumn<QStringList>("files"); // name:content of each file written

        PackageBytes p = head();
        QTest::newRow("cannot be opened") << QByteArray() << false << "unset" << 0 << QStringList();
        QTest::newRow("empty file") << QByteArray("") << false << "T0" << 0 << QStringList();
        QTest::newRow("not a package")
            << QByteArray("BZh91AY&SY plain archive") << false << "T0" << 0 << QStringList();
        QTest::newRow("magic without its zero")
            << QByteArray("lumacrestupgradeX") + QByteArray(100, '\0') << false << "T0" << 0
            << QStringList();
        QTest::newRow("magic alone reads an empty type")
            << QByteArray("lumacrestupgrade") << false << "" << 0 << QStringList();
        for (const char* type : {"T0", "T4", "t1"})
            QTest::newRow(type) << payload(item(head(type).count(1), "a"), "x").bytes << false
                                << type << 0 << QStringList();
        QTest::newRow("negative count means none")
            << payload(item(head().count(0x8000), "a"), "x").bytes << true << "T1" << 5
            << QStringList();
        QTest::newRow("truncated before the count")
            << PackageBytes().header().text("T3").text("KT310").bytes << true << "T3" << 5
            << QStringList();
        p = head().count(2);
        QTest::newRow("two items, low byte first, names with directories")
            << payload(payload(item(item(p, "/build/dir/a.bin"), "b.bin"), "AAA"), "").bytes << true
            << "T1" << 5 << QStringList{"a.bin:AAA", "b.bin:"};
        p = head().count(2);
        QTest::newRow("a payload cut short gives an empty file")
            << payload(item(item(p, "a.bin"), "b.bin"), "AAAA").bytes.append("\0\0\0\1\4\0", 6)
            << true << "T1" << 5 << QStringList{"a.bin:AAAA", "b.bin:"};
        p = head().count(2);
        QTest::newRow("a chunk count beyond the data ends with the data")
            << payload(item(item(p, "a.bin"), "b.bin"), "xyz")
                   .text("3")
                   .text("4294967295")
                   .record("abc")
                   .bytes
            << true << "T1" << 5 << QStringList{"a.bin:xyz", "b.bin:abc"};
        p = head().count(3);
        QTest::newRow("an output that cannot be opened")
            << payload(payload(payload(item(item(item(p, "a.bin"), "dir/"), "c.bin"), "A"), "B"),
                       "C")
                   .bytes
            << false << "T1" << 5 << QStringList{"a.bin:A"};
        p = head().count(2);
        QTest::newRow("an item named like the package is refused")
            << payload(payload(item(item(p, "a.bin"), "/other/pkg"), "A"), "evil").bytes << false
            << "T1" << 5 << QStringList{"a.bin:A"};
    }
    void reader()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, information);
        if (!bytes.isNull())
            QVERIFY(writeFile("pkg", bytes));
        QVector<PackItemInfo> items;
        QString type = "unset";
        QStringList info;
        // A path without "/": the files go into the current directory.
        QTEST(PackProcess::instance().readBinaryFile("pkg", items, type, info), "result");
        QTEST(type, "type");
        QCOMPARE(info.size(), information);
        QStringList files;
        for (const QString& name : QDir().entryList(QDir::Files, QDir::Name)) {
            if (name != "pkg")
                files << name + ':' + readFile(name);
        }
        QTEST(files, "files");
        QVERIFY(readFile("pkg") == bytes);
    }

    void writerFailuresLeaveNoPackage_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("unreadable source") << "missing";
        QTest::newRow("source is the output") << "self";
        QTest::newRow("disk full") << "full";
    }
    void writerFailuresLeaveNoPackage()
    {
        QFETCH(QString, failure);
        QVERIFY(writeFile("good.bin", QByteArray(300000, 'g')));
        QVERIFY(writeFile("out.pkg", "precious"));
        QVector<PackItemInfo> items(2);
        items[0].setName("good.bin");
        items[1].setName(failure == "missing" ? "missing.bin"
                         : failure == "self"  ? "out.pkg"
                                              : "good.bin");
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit small{400000, saved.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, failure == "full" ? &small : &saved), 0);
        const bool ok = PackProcess::instance().saveBinaryFile("T1", kInfo, items, "out.pkg");
        setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY(!ok);
        QCOMPARE(readFile("out.pkg"), failure == "self" ? QByteArray("precious") : QByteArray());
    }

    void fileAbove4GiBIsCarriedWhole()
    {
        // The package goes to /dev/null; the chunks are followed through the progress reports.
        const qint64 size = Q_INT64_C(4294967296) + 10;
        QFile source("big.bin");
        QVERIFY(source.open(QIODevice::WriteOnly) && source.resize(size));
        source.close();
        QVector<PackItemInfo> items(1);
        items[0].setName(source.fileName());
        QList<qint64> chunks;
        st_packWrite write;
        write.progress = [&](qint64 done, qint64 total) {
            QCOMPARE(total, size);
            chunks << done;
        };
        QFile out("/dev/null");
        QVERIFY(out.open(QIODevice::WriteOnly));
        QVERIFY(PackProcess::instance().writePackage(out, "T1", kInfo, items, write));
        QCOMPARE(chunks.size(), 410);
        QCOMPARE(chunks.first(), kChunk);
        QCOMPARE(chunks.at(408), 409 * kChunk);
        QCOMPARE(chunks.last(), size);
    }
};

QTEST_GUILESS_MAIN(TestPackProcess)
#include "tst_packprocess.moc"
