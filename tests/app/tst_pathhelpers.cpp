#include "upgradescanner.h"

#include <QtTest>

class TestPathHelpers : public QObject {
    Q_OBJECT

private slots:
    void fileName_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("absolute") << "/tmp/upgrade/a.tar"
                                  << "a.tar";
        QTest::newRow("bare name") << "a.tar"
                                   << "a.tar";
        QTest::newRow("directory") << "/tmp/upgrade/"
                                   << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("relative") << "some/dir/fw.tar.bz2"
                                  << "fw.tar.bz2";
        QTest::newRow("spaces kept") << "/x/a b.tar"
                                     << "a b.tar";
    }
    void fileName()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(UpgradeScanner::g_getFilenameFromPath(path), expected);
    }

    void addSlash_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("without") << "/usr/bin"
                                 << "/usr/bin/";
        QTest::newRow("with") << "/usr/bin/"
                              << "/usr/bin/";
        QTest::newRow("empty") << ""
                               << "/";
        QTest::newRow("root") << "/"
                              << "/";
        QTest::newRow("double kept") << "/usr//"
                                     << "/usr//";
    }
    void addSlash()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(UpgradeScanner::g_addSlash(path), expected);
    }
};

QTEST_GUILESS_MAIN(TestPathHelpers)
#include "tst_pathhelpers.moc"
