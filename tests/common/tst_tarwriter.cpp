// The tests' hand-made tar archives as GNU tar extracts them: the members that tar cannot make
// from a tree, which tar -t lists alike whether their data lies as tar reads it or not.
#include "fixtures.h"
#include "tarwriter.h"

#include <QTemporaryDir>
#include <QtTest>

using Expected = QMap<QByteArray, QByteArray>;
Q_DECLARE_METATYPE(QList<TarEntry>)
Q_DECLARE_METATYPE(Expected)

class TestTarWriter : public QObject {
    Q_OBJECT

    /// A sparse file whose pieces, one letter each, lie at these offsets with these lengths.
    static TarEntry sparse(const QByteArray& name, const QList<QPair<qint64, qint64>>& map,
                           qint64 realSize = -1)
    {
        TarEntry entry(name, 'S');
        entry.sparseMap = map;
        entry.realSize = realSize;
        for (int i = 0; i < map.size(); ++i)
            entry.content += QByteArray(int(map.at(i).second), char('a' + i % 26));
        return entry;
    }

private slots:
    void extracted_data()
    {
        QTest::addColumn<QList<TarEntry>>("entries");
        QTest::addColumn<Expected>("files");
        const TarEntry unaligned =
            sparse("unaligned", {{0, 10}, {1 << 20, 5}, {3 << 20, 512}, {4 << 20, 0}}, 4 << 20);
        QList<QPair<qint64, qint64>> map;
        for (int i = 0; i < 30; ++i)
            map << qMakePair(i * 65536 + 100, qint64(i % 3 * 300 + 7));
        const TarEntry extended = sparse("extended", map);
        TarEntry file(QByteArray(150, 'l') + "/file", '0', "linked");
        file.longName = true;
        const TarEntry link("link", '1', {}, 0644, file.name);
        QTest::newRow("sparse pieces that do not fill their blocks")
            << QList<TarEntry>{unaligned, file} << Expected{{"unaligned", sparseFile(unaligned)}};
        QTest::newRow("sparse map in two extension blocks")
            << QList<TarEntry>{extended, file} << Expected{{"extended", sparseFile(extended)}};
        QTest::newRow("hard link to a name beyond 100 bytes")
            << QList<TarEntry>{file, link} << Expected{{"link", "linked"}};
    }
    void extracted()
    {
        QFETCH(QList<TarEntry>, entries);
        QFETCH(Expected, files);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("a.tar"), tarArchive(entries)));
        int code = -1;
        QString err;
        runProcess({"tar", "-xf", "a.tar"}, dir.path(), QByteArray(), &code, &err);
        QCOMPARE(err, QString());
        QCOMPARE(code, 0);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY2(readFile(dir.filePath(it.key())) == it.value(), it.key().constData());
    }
};

QTEST_GUILESS_MAIN(TestTarWriter)
#include "tst_tarwriter.moc"
