#include "devicesandbox.h"
#include "scannerprobe.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtTest>

namespace {

const QString kCallsLog = QStringLiteral("/run/sandbox/calls.log");
const QString kFakeTool = QStringLiteral(SCANNER_FAKE_TOOL);

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The fakes run detached, so their line may land a little after the call returned.
bool waitForCall(const QByteArray& line)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (readAll(kCallsLog).split('\n').contains(line))
            return true;
        QTest::qWait(20);
    }
    return false;
}

// Why running "reboot" here could restart the machine; empty when it only reaches the fake.
QString rebootIsNotTheFake()
{
    const QByteArray fake = readAll(kFakeTool);
    if (fake.isEmpty())
        return QStringLiteral("cannot read the fake tool at ") + kFakeTool;
    QStringList candidates{QStringLiteral("/usr/sbin/reboot")};
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("reboot"));
    if (!onPath.isEmpty())
        candidates.prepend(onPath);
    for (const QString& path : qAsConst(candidates)) {
        if (readAll(path) != fake)
            return path + QStringLiteral(" is not the sandbox's fake");
    }
    return QString();
}

class PathOverride {
public:
    explicit PathOverride(const QByteArray& path) : m_saved(qgetenv("PATH"))
    {
        qputenv("PATH", path);
    }
    ~PathOverride() { qputenv("PATH", m_saved); }

private:
    QByteArray m_saved;
};

} // namespace

class TestSystemActions : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScannerProbe> m_scanner;

private slots:
    void initTestCase()
    {
        REQUIRE_DEVICE_SANDBOX();
        m_scanner = ScannerProbe::createQuietly();
    }

    void rebootIsTheFake()
    {
        QVERIFY(!QStandardPaths::findExecutable(QStringLiteral("reboot")).isEmpty());
        const QString why = rebootIsNotTheFake();
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }

    void rebootSystem()
    {
        const QString why = rebootIsNotTheFake();
        if (!why.isEmpty())
            QFAIL(qPrintable("refusing to start reboot: " + why));
        QVERIFY(m_scanner->rebootSystem());
        QVERIFY(waitForCall("reboot"));
    }

    void closeProcess_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("call");
        QTest::newRow("plain name") << "scanner-app" << QByteArray("killall\tscanner-app");
        QTest::newRow("blanks and shell characters stay one argument")
            << "scanner app; $(true) *" << QByteArray("killall\tscanner app; $(true) *");
    }
    void closeProcess()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, call);
        QTest::ignoreMessage(QtDebugMsg, qPrintable("close " + name + "...."));
        QVERIFY(m_scanner->closeProcess(name));
        QVERIFY(waitForCall(call));
    }

    void modifyingFilePermissions()
    {
        const QString path = QStringLiteral("/tmp/with blank/script *.sh");
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));

        QVERIFY(m_scanner->modifyingFilePermissions(path));
        const QFileDevice::Permissions all =
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
            QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
            QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(path).permissions() & all, all, 10000);
    }

    void missingTool()
    {
        const QByteArray before = readAll(kCallsLog);
        {
            PathOverride path("/nonexistent");
            QTest::ignoreMessage(QtDebugMsg, "close scanner-app....");
            QVERIFY(!m_scanner->closeProcess(QStringLiteral("scanner-app")));
            QVERIFY(!m_scanner->modifyingFilePermissions(QStringLiteral("/tmp")));
            QVERIFY(!m_scanner->rebootSystem());
        }
        QTest::qWait(200);
        QCOMPARE(readAll(kCallsLog), before);
    }
};

QTEST_GUILESS_MAIN(TestSystemActions)
#include "tst_systemactions.moc"
