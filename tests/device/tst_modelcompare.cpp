#include "devicesandbox.h"
#include "scannerprobe.h"

#include <QtTest>

class TestModelCompare : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScannerProbe> m_scanner;

private slots:
    void initTestCase()
    {
        REQUIRE_DEVICE_SANDBOX();
        m_scanner = ScannerProbe::createQuietly();
    }

    void modelCompare_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("compatible");

        QTest::newRow("group 1") << "KT310"
                                 << "LR310" << true;
        QTest::newRow("group 1, factory form") << "KT260"
                                               << "factoryLR520" << true;
        QTest::newRow("group 2") << "KT410Max"
                                 << "factoryLRX740" << true;
        QTest::newRow("group 3, both factory") << "factoryHRT900"
                                               << "factoryKT310SC" << true;
        QTest::newRow("group 4") << "PM930"
                                 << "LR860" << true;
        QTest::newRow("group 5, itself") << "PM750"
                                         << "PM750" << true;
        QTest::newRow("group 6, factory of itself") << "factoryKT220"
                                                    << "KT220" << true;

        QTest::newRow("groups 1 and 4") << "KT310"
                                        << "KT520" << false;
        QTest::newRow("KT310S is group 3") << "KT310S"
                                           << "KT310" << false;
        QTest::newRow("groups 5 and 6") << "factoryPM750"
                                        << "KT220" << false;
        QTest::newRow("equal names outside the table") << "KT999"
                                                       << "KT999" << false;
        QTest::newRow("empty names") << ""
                                     << "" << false;

        QTest::newRow("case is ignored") << "kt310"
                                         << "Kt260" << true;
        QTest::newRow("prefix in capitals") << "FACTORYKT310"
                                            << "lr520" << true;
        QTest::newRow("trailing blank") << "KT310 "
                                        << "KT260" << false;
        QTest::newRow("leading blank") << " KT310"
                                       << "KT310" << false;
        QTest::newRow("prefix with a hyphen") << "factory-KT310"
                                              << "KT310" << false;
        QTest::newRow("prefix alone") << "factory"
                                      << "KT310" << false;
        QTest::newRow("no prefix match") << "KT31"
                                         << "KT310" << false;
        QTest::newRow("no substring match") << "KT310SC"
                                            << "XKT310SCX" << false;
    }
    void modelCompare()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QTEST(m_scanner->model_compare(a, b), "compatible");
        QTEST(m_scanner->model_compare(b, a), "compatible");
    }
};

QTEST_GUILESS_MAIN(TestModelCompare)
#include "tst_modelcompare.moc"
