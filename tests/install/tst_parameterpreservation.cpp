#include "devicesandbox.h"
#include "scannerprobe.h"
#include "stdoutcapture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

namespace {

const QString kLogSave = QStringLiteral("/usr/scanner/config/logsave.txt");
const QString kSavedConfig = QStringLiteral("/usr/scanner/config/scannerConfig0.json");
const QString kTmpPara = QStringLiteral("/tmp/savepara.txt");
const QString kBesidePara = QStringLiteral("/tmp/upgrade/savepara.txt");
// Stands for a directory named savepara.txt instead of a file.
const QByteArray kDirectory("<directory>");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A null array stands for no file at all.
void place(const QString& path, const QByteArray& content)
{
    QFile::remove(path);
    QDir(path).removeRecursively();
    if (content.isNull())
        return;
    if (content == kDirectory) {
        QVERIFY(QDir().mkpath(path));
        return;
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class TestParameterPreservation : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScannerProbe> m_scanner;

private slots:
    void initTestCase()
    {
        REQUIRE_DEVICE_SANDBOX();
        m_scanner = ScannerProbe::createQuietly();
        QVERIFY(QDir().mkpath(QStringLiteral("/tmp/upgrade")));
    }

    void runtxtOrder_data()
    {
        QTest::addColumn<QString>("packagePath");
        QTest::addColumn<QByteArray>("beside");
        QTest::addColumn<QByteArray>("inTmp");
        QTest::addColumn<QByteArray>("messages");
        QTest::addColumn<QByteArray>("logSave");
        QTest::addColumn<bool>("configKept");

        const QString package = QStringLiteral("/tmp/upgrade/update.bin");
        const QByteArray usedBeside("runtxtOrder--filePa--/tmp/upgrade/savepara.txt");
        const QByteArray usedTmp("runtxtOrder--filePa--/tmp/savepara.txt");

        QTest::newRow("false beside the package wins over /tmp")
            << package << QByteArray(R"({"savePara": false})")
            << QByteArray(R"({"savePara": true})") << usedBeside + "runtxtOrder--saveparaJson--0"
            << kBesidePara.toUtf8() << false;
        QTest::newRow("true beside the package")
            << package << QByteArray(R"({"other": 1, "savePara": true})") << QByteArray()
            << usedBeside + "runtxtOrder--saveparaJson--1" << kBesidePara.toUtf8() << true;
        QTest::newRow("fallback to /tmp")
            << package << QByteArray() << QByteArray(R"({"savePara": false})")
            << usedTmp + "runtxtOrder--saveparaJson--0" << kBesidePara.toUtf8() << false;
        QTest::newRow("a directory beside the package is no file")
            << package << kDirectory << QByteArray(R"({"savePara": true})")
            << usedTmp + "runtxtOrder--saveparaJson--1" << kBesidePara.toUtf8() << true;
        QTest::newRow("no parameter file anywhere")
            << package << QByteArray() << QByteArray()
            << usedTmp + "runtxtOrder--filePa-not isFile-/tmp/savepara.txt" << kBesidePara.toUtf8()
            << true;
        QTest::newRow("package path without a slash")
            << "update.bin" << QByteArray() << QByteArray(R"({"savePara": true})")
            << usedTmp + "runtxtOrder--saveparaJson--1" << QByteArray("update.bin/savepara.txt")
            << true;
        QTest::newRow("true as a string counts as false")
            << package << QByteArray(R"({"savePara": "true"})") << QByteArray()
            << usedBeside + "runtxtOrder--saveparaJson--0" << kBesidePara.toUtf8() << false;
        QTest::newRow("top-level array")
            << package << QByteArray(R"([{"savePara": false}])") << QByteArray() << usedBeside
            << kBesidePara.toUtf8() << true;
        QTest::newRow("no savePara member")
            << package << QByteArray(R"({"save": false})") << QByteArray() << usedBeside
            << kBesidePara.toUtf8() << true;
        // The message's Chinese words, spelled out as the UTF-8 bytes they must reach stdout as.
        QTest::newRow("syntax error, message in UTF-8")
            << package << QByteArray(R"({"savePara": false)") << QByteArray()
            << usedBeside +
                   "runtxtOrder readConfigureFile\xe8\xaf\xbb\xe5\x8f\x96json\xe6\x96\x87\xe4\xbb"
                   "\xb6\xe5\x87\xba\xe9\x94\x99-/tmp/upgrade/savepara.txt"
            << kBesidePara.toUtf8() << true;
    }
    void runtxtOrder()
    {
        QFETCH(QString, packagePath);
        QFETCH(QByteArray, beside);
        QFETCH(QByteArray, inTmp);
        QFETCH(bool, configKept);
        place(kBesidePara, beside);
        place(kTmpPara, inTmp);
        place(kSavedConfig, QByteArray("{}"));
        place(kLogSave, QByteArray("earlier record, longer than any path here"));
        m_scanner->m_packagePath = packagePath;

        StdoutCapture capture;
        m_scanner->runtxtOrder();
        QTEST(capture.take(), "messages");
        QTEST(readAll(kLogSave), "logSave");
        QCOMPARE(QFileInfo::exists(kSavedConfig), configKept);
    }
};

QTEST_GUILESS_MAIN(TestParameterPreservation)
#include "tst_parameterpreservation.moc"
