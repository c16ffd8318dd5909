#include "packprocess.h"

#include <QtTest>

// A carried file of 4 GiB and more is packed whole. The package goes to /dev/null, so the test
// needs no room for it on disk; the chunks written are followed through the progress reports.
class TestPackLarge : public QObject {
    Q_OBJECT

private slots:
    void fileAbove4GiBIsPackedWhole()
    {
        const qint64 size = Q_INT64_C(4294967296) + 10;
        QTemporaryDir dir;
        QFile source(dir.filePath("big.bin"));
        QVERIFY(source.open(QIODevice::WriteOnly));
        QVERIFY(source.resize(size));
        source.close();

        QVector<PackItemInfo> items(1);
        items[0].setName(source.fileName());
        QList<qint64> chunks;
        qint64 last = 0;
        st_packWrite write;
        write.progress = [&](qint64 done, qint64 total) {
            QCOMPARE(total, size);
            chunks.append(done - last);
            last = done;
        };
        QFile out(QStringLiteral("/dev/null"));
        QVERIFY(out.open(QIODevice::WriteOnly));
        QVERIFY(PackProcess::instance().writePackage(out, "T1", {"KT310", "", "", "", ""}, items,
                                                     write));
        QCOMPARE(chunks.size(), 410);
        QCOMPARE(chunks.first(), Q_INT64_C(10485760));
        QCOMPARE(chunks.last(), size - 409 * Q_INT64_C(10485760));
        QCOMPARE(last, size);
    }
};

QTEST_GUILESS_MAIN(TestPackLarge)
#include "tst_packlarge.moc"
