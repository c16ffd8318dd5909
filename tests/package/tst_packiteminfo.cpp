#include "packiteminfo.h"

#include <QtTest>

#include <utility>

class TestPackItemInfo : public QObject {
    Q_OBJECT

private slots:
    void defaults()
    {
        const PackItemInfo item;
        QVERIFY(item.name().isEmpty());
        QVERIFY(item.target().isEmpty());
        QVERIFY(item.md5().isEmpty());
    }

    void copiesKeepTheSource()
    {
        const PackItemInfo source(QStringLiteral("/build/fw.tar.bz2"), QStringLiteral("/opt"),
                                  QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"),
                                  QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
                                  QStringLiteral("d"), QStringLiteral("e"));
        const PackItemInfo copy(source);
        const PackItemInfo fromConstRvalue(std::move(source));
        for (const PackItemInfo* item : {&copy, &fromConstRvalue}) {
            QCOMPARE(item->name(), QStringLiteral("/build/fw.tar.bz2"));
            QCOMPARE(item->target(), QStringLiteral("/opt"));
            QCOMPARE(item->md5(), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
        }
        QCOMPARE(source.name(), QStringLiteral("/build/fw.tar.bz2"));

        PackItemInfo assigned;
        assigned = std::move(source);
        QCOMPARE(assigned.md5(), source.md5());
        QCOMPARE(source.target(), QStringLiteral("/opt"));
    }

    void selfAssignment()
    {
        PackItemInfo item;
        item.setName(QStringLiteral("n"));
        item.setTarget(QStringLiteral("t"));
        item.setMd5(QStringLiteral("m"));
        PackItemInfo& same = item;
        item = same;
        QCOMPARE(item.name(), QStringLiteral("n"));
        QCOMPARE(item.target(), QStringLiteral("t"));
        QCOMPARE(item.md5(), QStringLiteral("m"));
    }

    void storedByValue()
    {
        QVector<PackItemInfo> items(2);
        items[1].setName(QStringLiteral("second"));
        QVector<PackItemInfo> copy = items;
        copy[1].setName(QStringLiteral("changed"));
        QCOMPARE(items.at(1).name(), QStringLiteral("second"));
    }

    void typeNames_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "T0";
        QTest::newRow("1") << 1 << "T1";
        QTest::newRow("2") << 2 << "T2";
        QTest::newRow("3") << 3 << "T3";
        QTest::newRow("4") << 4 << "T4";
        QTest::newRow("5 is unknown") << 5 << "";
        QTest::newRow("7 is unknown") << 7 << "";
    }
    void typeNames()
    {
        QFETCH(int, value);
        QFETCH(QString, text);
        QCOMPARE(UpgradeTypeValMap.value(EUpgradeTypeVal(value)), text);
    }

    void typeTableHasExactlyFiveEntries() { QCOMPARE(UpgradeTypeValMap.size(), 5); }
};

QTEST_GUILESS_MAIN(TestPackItemInfo)
#include "tst_packiteminfo.moc"
