// The package format: one hand-checked package byte for byte, writer failures, and a carried
// file above 4 GiB. Round trips are rows of the command-line table, and what the reader makes of
// broken packages shows in the device program's scenarios.
#include "fixtures.h"
#include "packprocess.h"
#include "upgradescanner.h"

#include <QtTest>

#include <sys/resource.h>

#include <csignal>

const qint64 kChunk = 10485760;
const QStringList kInfo = {"KT310", "5", QStringLiteral("\u00e9"), QStringLiteral("\u4e2d"), ""};

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
        const QByteArray expected =
            "lumacrestupgrade" + QByteArray(84, '\0') +
            QByteArray::fromHex("000000026104 000000057e61060405 0000000100 00000002c39c 0000000135"
                                "00000000 0100 00000005541b414d41 000000041a5a4541 0000000158"
                                "00000009475046504743505104 00000009475046504743505107"
                                "00000009475046504743505106 00000009475046504743505101"
                                "00000009475046504743505100 0000000107 0000000104 000000026869");
        QCOMPARE(readFile("tiny.pkg").toHex(), expected.toHex());

        QVector<PackItemInfo> items;
        QString type;
        QStringList information;
        QVERIFY(PackProcess::instance().readBinaryFile("tiny.pkg", items, type, information));
        QCOMPARE(information,
                 (QStringList{"KT310", "5", QStringLiteral("\u00e9"), QString(QChar(0)), ""}));
        QCOMPARE(items.at(0).target(), QStringLiteral("/opt"));
    }

    // The payload's size, its chunk count and its chunks, as the reader takes them apart.
    void chunksOfAPayload_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("chunks");
        QTest::newRow("empty") << 0 << 0;
        QTest::newRow("one whole chunk") << int(kChunk) << 1;
        QTest::newRow("a byte over") << int(kChunk) + 1 << 2;
    }
    void chunksOfAPayload()
    {
        QFETCH(int, size);
        QFETCH(int, chunks);
        const QByteArray payload(size, 'x');
        QVERIFY(writeFile("p.bin", payload));
        QVector<PackItemInfo> items(1);
        items[0].setName("p.bin");
        QVERIFY(PackProcess::instance().saveBinaryFile("T1", kInfo, items, "p.pkg"));
        PackageBytes tail;
        tail.text(QString::number(size)).text(QString::number(chunks));
        for (int c = 0; c < chunks; ++c)
            tail.record(payload.mid(int(c * kChunk), int(kChunk)));
        QVERIFY(readFile("p.pkg").endsWith(tail.bytes));
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
        QVERIFY(writeFiles(".", {{"good.bin", QByteArray(300000, 'g')}, {"out.pkg", "precious"}}));
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
        // No file at all, not even an empty one: Qt compares a null array equal to an empty one.
        const QByteArray left = readFile("out.pkg");
        QVERIFY(failure == "self" ? left == "precious" : left.isNull());
    }

    void fileAbove4GiBIsCarriedWhole()
    {
        // The package goes to /dev/null; the chunks are followed through the progress reports.
        const qint64 size = Q_INT64_C(4294967296) + 10;
        // Holes in a tmpfs read as the one zero page; a disk's file system fills a page for each.
        if (QFileInfo("/dev/shm").isWritable())
            QVERIFY(QDir::setCurrent("/dev/shm"));
        QTemporaryFile source("big-XXXXXX.bin");
        QVERIFY(source.open() && source.resize(size));
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
