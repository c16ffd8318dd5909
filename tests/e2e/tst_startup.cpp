#include "devicerun.h"
#include "devicesandbox.h"

#include <QtTest>

Q_DECLARE_METATYPE(DeviceRun*)

namespace {
const QByteArray kStartup("UB10-quillMark-202312271830_M");
}

class TestStartup : public QObject {
    Q_OBJECT

private:
    DeviceRun m_bare;
    DeviceRun m_twoArguments;

private slots:
    void initTestCase()
    {
        DeviceSandbox::skipProgramUnlessAvailable();
        // Both runs go on at once; each waits out its own mandated delays.
        QVERIFY(m_bare.writeFile(QStringLiteral("/etc/issue"), "product_model=KT310\n"));
        QVERIFY(m_bare.start({}));
        QVERIFY(
            m_twoArguments.start({QStringLiteral("/tmp/upgrade/a.bin"), QStringLiteral("b c")}));
    }

    void startupMessageAlone_data()
    {
        QTest::addColumn<DeviceRun*>("run");
        QTest::newRow("no argument") << &m_bare;
        QTest::newRow("two arguments") << &m_twoArguments;
    }
    void startupMessageAlone()
    {
        QFETCH(DeviceRun*, run);
        QVERIFY2(run->waitForOutput(kStartup, 60000), run->output().constData());
        const qint64 firstByteMs = run->sinceExecMs(run->chunks().first().arrivalMs);
        QVERIFY2(firstByteMs >= 500, qPrintable(QString::number(firstByteMs)));

        run->settle(3000);
        QCOMPARE(run->output(), kStartup);
        QVERIFY(run->isRunning());
        QVERIFY(!run->exists(QStringLiteral("/usr/scanner/config/upgradeError.json")));
        QVERIFY(!run->exists(QStringLiteral("/tmp/upgrade")));
        run->stop();
        QVERIFY(!run->isRunning());
    }

    void argumentsAreTraced()
    {
        const QByteArray trace = m_twoArguments.errorOutput();
        QVERIFY2(trace.contains(
                     "--main-listOrder-argc:--- 3 1 /tmp/upgrade/a.bin \"/tmp/upgrade/a.bin\""),
                 trace.constData());
        QVERIFY(trace.contains("--main-listOrder-argc:--- 3 2 b c \"b c\""));
        QVERIFY(!m_bare.errorOutput().contains("--main-listOrder-argc"));
        QVERIFY(m_bare.errorOutput().contains("----------/etc/issue----- \"KT310\""));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
