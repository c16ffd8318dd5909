#include "devicesandbox.h"
#include "scannerprobe.h"
#include "stdoutcapture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QString kMarker = QStringLiteral("/usr/scanner/config/upgradeError.json");
const QString kLog = QStringLiteral("/usr/scanner/config/upgradeLog.json");
const QString kRecord = QStringLiteral("\\d{17}--upgradesuccess--/tmp/upgrade/pkg\\.bin");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

} // namespace

class TestStatusReport : public QObject {
    Q_OBJECT

private:
    ScannerProbe* m_scanner = nullptr;

    // Sends one message and returns the bytes it put on standard output.
    QByteArray send(const QString& message, qint64* elapsedMs = nullptr)
    {
        StdoutCapture capture;
        QElapsedTimer timer;
        timer.start();
        m_scanner->writeProcess(message);
        if (elapsedMs)
            *elapsedMs = timer.elapsed();
        return capture.take();
    }

private slots:
    void initTestCase()
    {
        REQUIRE_DEVICE_SANDBOX();
        StdoutCapture capture;
        m_scanner = new ScannerProbe;
        QCOMPARE(capture.take(), QByteArray("UB10-quillMark-202312271830_M"));
        QCOMPARE(m_scanner->m_lastMessage, QStringLiteral("UB10-quillMark-202312271830_M"));
        m_scanner->m_packagePath = QStringLiteral("/tmp/upgrade/pkg.bin");
    }
    void cleanupTestCase() { delete m_scanner; }

    void init()
    {
        QFile::remove(kMarker);
        QFile::remove(kLog);
        QDir(kLog).removeRecursively();
    }

    void resultFiles_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("markerBefore");
        QTest::addColumn<bool>("markerAfter");
        QTest::addColumn<bool>("recordWritten");

        QTest::newRow("UB99 removes the marker and logs")
            << "UB99upgrade success! reboot!" << true << false << true;
        QTest::newRow("UB99 without a marker") << "UB99" << false << false << true;
        QTest::newRow("UC creates the marker")
            << "UC21System other error:1" << false << true << false;
        QTest::newRow("UC empties the marker") << "UC16file not exists :" << true << true << false;
        QTest::newRow("exactly UC") << "UC" << false << true << false;
        QTest::newRow("lower-case ub99") << "ub99upgrade success! reboot!" << true << true << false;
        QTest::newRow("lower-case uc") << "uc21" << false << false << false;
        QTest::newRow("UB stage message") << "UB13start upgrade!" << true << true << false;
        QTest::newRow("UB9 is not UB99") << "UB9" << false << false << false;
        QTest::newRow("no code") << "runtxtOrder--filePa--/tmp/savepara.txt" << false << false
                                 << false;
    }
    void resultFiles()
    {
        QFETCH(QString, message);
        QFETCH(bool, markerBefore);
        QFETCH(bool, markerAfter);
        QFETCH(bool, recordWritten);
        if (markerBefore)
            writeAll(kMarker, "stale");

        QCOMPARE(send(message), message.toUtf8());
        QCOMPARE(m_scanner->m_lastMessage, message);
        QCOMPARE(QFile::exists(kMarker), markerAfter);
        if (markerAfter && message.startsWith(QLatin1String("UC")))
            QCOMPARE(readAll(kMarker), QByteArray());
        if (recordWritten)
            QVERIFY(QRegularExpression(QLatin1Char('^') + kRecord + QLatin1Char('$'))
                        .match(QString::fromUtf8(readAll(kLog)))
                        .hasMatch());
        else
            QVERIFY(!QFile::exists(kLog));
    }

    void recordsFollowEachOtherOnOneLine()
    {
        writeAll(kLog, "earlier");
        send(QStringLiteral("UB99upgrade success! reboot!"));
        send(QStringLiteral("UB99upgrade success! reboot!"));
        const QString log = QString::fromUtf8(readAll(kLog));
        QVERIFY2(
            QRegularExpression(QStringLiteral("^earlier") + kRecord + kRecord + QLatin1Char('$'))
                .match(log)
                .hasMatch(),
            qPrintable(log));
    }

    void logThatIsADirectoryLosesTheRecord()
    {
        QVERIFY(QDir().mkpath(kLog));
        QTest::ignoreMessage(
            QtDebugMsg, "--upgradeSuccessLog--: error: \"/usr/scanner/config/upgradeLog.json\"");
        QCOMPARE(send(QStringLiteral("UB99upgrade success! reboot!")),
                 QByteArray("UB99upgrade success! reboot!"));
        QVERIFY(QFileInfo(kLog).isDir());
    }

    void unwritableMarkerStillSends()
    {
        QVERIFY(QDir().mkpath(kMarker));
        QTest::ignoreMessage(
            QtDebugMsg, "---upgradeErrorLog--: error: \"/usr/scanner/config/upgradeError.json\"");
        QCOMPARE(send(QStringLiteral("UC12config analysis err!")),
                 QByteArray("UC12config analysis err!"));
        QDir(kMarker).removeRecursively();
    }

    void bytesAndSpacing_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << "" << QByteArray();
        QTest::newRow("ascii") << "UB11/tmp/upgrade/a b.bin"
                               << QByteArray("UB11/tmp/upgrade/a b.bin");
        QTest::newRow("chinese in utf-8")
            << QStringLiteral("runtxtOrder readConfigureFile读取json文件出错-/x")
            << QByteArray("runtxtOrder readConfigureFile\xe8\xaf\xbb\xe5\x8f\x96json\xe6\x96\x87"
                          "\xe4\xbb\xb6\xe5\x87\xba\xe9\x94\x99-/x");
    }
    void bytesAndSpacing()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, bytes);
        qint64 elapsed = 0;
        QCOMPARE(send(message, &elapsed), bytes);
        QVERIFY2(elapsed >= 550, qPrintable(QString::number(elapsed)));
    }
};

QTEST_GUILESS_MAIN(TestStatusReport)
#include "tst_statusreport.moc"
