#include "devicesandbox.h"
#include "scannerprobe.h"

#include <QtTest>

#include <climits>

class TestOtaResult : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScannerProbe> m_scanner;

private slots:
    void initTestCase()
    {
        REQUIRE_DEVICE_SANDBOX();
        m_scanner = ScannerProbe::createQuietly();
    }

    void retInfo_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("text");
        QTest::newRow("-1") << -1 << "Get system disk error:-1";
        QTest::newRow("-2") << -2 << "File size > disk size:-2";
        QTest::newRow("-3") << -3 << "The system type error:-3";
        QTest::newRow("-4") << -4 << "Sys disk write error:-4";
        QTest::newRow("-5") << -5 << "System environment variable set error:-5";
        QTest::newRow("-6") << -6 << "System other error:-6";
        QTest::newRow("0") << 0 << "System other error:0";
        QTest::newRow("exit code 255") << 255 << "System other error:255";
        QTest::newRow("shell status of exit 255") << 255 * 256 << "System other error:65280";
        QTest::newRow("lowest int") << INT_MIN << "System other error:-2147483648";
    }
    void retInfo()
    {
        QFETCH(int, result);
        QTEST(m_scanner->ota_update_retInfo(result), "text");
    }
};

QTEST_GUILESS_MAIN(TestOtaResult)
#include "tst_otaresult.moc"
