#include "devicesandbox.h"
#include "scannerprobe.h"

#include <QFile>
#include <QtTest>

namespace {

// A null array stands for a missing file.
void place(const QString& path, const QByteArray& content)
{
    QFile::remove(path);
    if (content.isNull())
        return;
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

} // namespace

class TestDeviceInfo : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScannerProbe> m_scanner;

private slots:
    void initTestCase()
    {
        REQUIRE_DEVICE_SANDBOX();
        m_scanner = ScannerProbe::createQuietly();
    }

    void issue_data()
    {
        QTest::addColumn<QByteArray>("issue");
        QTest::addColumn<QString>("productModel");
        QTest::addColumn<QString>("systemBranch");
        QTest::addColumn<QString>("systemVersion");

        QTest::newRow("missing file") << QByteArray() << "old"
                                      << "old"
                                      << "old";
        QTest::newRow("all three keys")
            << QByteArray("product_model=KT310\nsystem_branch=release\nsystem_version=1.2.3\n")
            << "KT310"
            << "release"
            << "1.2.3";
        QTest::newRow("key in capitals") << QByteArray("PRODUCT_MODEL=kt310\n") << "kt310"
                                         << "old"
                                         << "old";
        QTest::newRow("16 characters are used") << QByteArray("product_model=X\n") << "X"
                                                << "old"
                                                << "old";
        QTest::newRow("15 characters are ignored") << QByteArray("product_model=\n") << "old"
                                                   << "old"
                                                   << "old";
        QTest::newRow("blank after separator") << QByteArray("product_model= KT310\n") << " KT310"
                                               << "old"
                                               << "old";
        QTest::newRow("value is positional") << QByteArray("  product_model=KT310\n") << "l=KT310"
                                             << "old"
                                             << "old";
        QTest::newRow("first key wins")
            << QByteArray("product_model=KT310 system_version=9\n") << "KT310 system_version=9"
            << "old"
            << "old";
        QTest::newRow("last line without line end")
            << QByteArray("system_branch=main\nproduct_model=LR520") << "LR520"
            << "main"
            << "old";
        QTest::newRow("later line replaces")
            << QByteArray("product_model=KT310\nproduct_model=KT260\n") << "KT260"
            << "old"
            << "old";
        QTest::newRow("NUL ends the line")
            << QByteArray("product_model=KT310\0junk\n", 26) << "KT310"
            << "old"
            << "old";
        QTest::newRow("carriage return") << QByteArray("product_model=KT310\r\n") << "KT310"
                                         << "old"
                                         << "old";
        QTest::newRow("plain distribution banner")
            << QByteArray("Debian GNU/Linux 12 \\n \\l\n\n") << "old"
            << "old"
            << "old";
    }
    void issue()
    {
        QFETCH(QByteArray, issue);
        place(QStringLiteral("/etc/issue"), issue);
        m_scanner->m_productModel = m_scanner->m_systemBranch = m_scanner->m_systemVersion =
            QStringLiteral("old");
        m_scanner->readDeviceInfo();
        QTEST(m_scanner->m_productModel, "productModel");
        QTEST(m_scanner->m_systemBranch, "systemBranch");
        QTEST(m_scanner->m_systemVersion, "systemVersion");
    }

    void meminfo_data()
    {
        QTest::addColumn<QByteArray>("meminfo");
        QTest::addColumn<QString>("memoryClass");
        QTest::newRow("1200000 kB")
            << QByteArray("MemTotal:        1200000 kB\nMemFree: 1 kB\n") << "1G-1200000";
        QTest::newRow("1200001 kB") << QByteArray("MemTotal:        1200001 kB\n") << "2G-1200001";
        QTest::newRow("2500000 kB") << QByteArray("MemTotal:        2500000 kB\n") << "2G-2500000";
        QTest::newRow("2500001 kB") << QByteArray("MemTotal:        2500001 kB\n") << "3G-2500001";
        QTest::newRow("not a number") << QByteArray("MemTotal:  lots kB\n") << "1G-lots";
        QTest::newRow("beyond 32 bits")
            << QByteArray("MemTotal: 4294967296 kB\n") << "1G-4294967296";
        QTest::newRow("no kB unit") << QByteArray("MemTotal:        2009876\n") << "old";
        QTest::newRow("no MemTotal") << QByteArray("MemFree:         2009876 kB\n") << "old";
        QTest::newRow("shorter than 11") << QByteArray("MemTotal:\n") << "old";
        QTest::newRow("empty") << QByteArray("") << "old";
    }
    void meminfo()
    {
        QFETCH(QByteArray, meminfo);
        place(QStringLiteral("/proc/meminfo"), meminfo);
        m_scanner->m_memoryClass = QStringLiteral("old");
        m_scanner->readDeviceInfo();
        QTEST(m_scanner->m_memoryClass, "memoryClass");
    }

    void scannerType_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("scannerType");
        QTest::newRow("missing file") << QByteArray() << "old";
        QTest::newRow("string") << QByteArray(R"({"DeviceScanner":{"SType":"LR520","x":1}})")
                                << "LR520";
        QTest::newRow("number") << QByteArray(R"({"DeviceScanner":{"SType":310}})") << "";
        QTest::newRow("syntax error")
            << QByteArray(R"({"DeviceScanner":{"SType":"LR520"})") << "old";
        QTest::newRow("no SType") << QByteArray(R"({"DeviceScanner":{}})") << "old";
        QTest::newRow("DeviceScanner not an object")
            << QByteArray(R"({"DeviceScanner":[{"SType":"LR520"}]})") << "old";
        QTest::newRow("top-level array")
            << QByteArray(R"([{"DeviceScanner":{"SType":"A"}}])") << "old";
    }
    void scannerType()
    {
        QFETCH(QByteArray, config);
        place(QStringLiteral("/usr/scanner/config/scannerConfig.json"), config);
        m_scanner->m_scannerType = QStringLiteral("old");
        m_scanner->readDeviceInfo();
        QTEST(m_scanner->m_scannerType, "scannerType");
    }
};

QTEST_GUILESS_MAIN(TestDeviceInfo)
#include "tst_deviceinfo.moc"
