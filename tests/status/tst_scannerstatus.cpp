// libscannerstatus on the stream that each scenario of the device program expects: read whole,
// live after the sender's quiet with tool output in between, cut before its final message, and
// glued by a reader that falls behind; and the runner's signals on programs that write a
// stream, one of them cut before its final message.
#include "fixtures.h"
#include "statustexts.h"

#include <scannerstatus/statusreader.h>

#include <QRegularExpression>
#include <QtTest>

using ScannerStatus::StatusStream;

class TestScannerStatus : public QObject {
    Q_OBJECT

    /// The messages of an expected stream: a message starts at each status code.
    static QList<QByteArray> messagesOf(const QByteArray& stream)
    {
        static const QRegularExpression code("U[BC][0-9][0-9]|runtxtOrder");
        QList<int> starts;
        for (auto it = code.globalMatch(QString::fromLatin1(stream)); it.hasNext();)
            starts << it.next().capturedStart();
        QList<QByteArray> messages;
        for (int i = 0; i < starts.size(); ++i)
            messages << stream.mid(starts.at(i), starts.value(i + 1, stream.size()) - starts.at(i));
        return messages;
    }

    /// Items as "M:bytes" for a message and "T:bytes" for tool output.
    static QList<QByteArray> shown(const QList<ScannerStatus::Item>& items)
    {
        QList<QByteArray> out;
        for (const ScannerStatus::Item& item : items)
            out << (item.isMessage() ? "M:" : "T:") + item.bytes();
        return out;
    }

private slots:
    void scenario_data()
    {
        QTest::addColumn<QByteArray>("stream");
        const QString path = QFINDTESTDATA("../e2e/scenarios");
        // The texts that the scenarios' own test defines matter here only as texts without a
        // status code: each stands for its name in lower case.
        QMap<QString, QString> texts;
        for (auto it = QRegularExpression("\\{([A-Z][A-Z0-9]*)\\}")
                           .globalMatch(QString::fromUtf8(readFile(path)));
             it.hasNext();) {
            const QString name = it.next().captured(1);
            texts[name] = name.toLower();
        }
        QList<TableRow> rows;
        QString why;
        QVERIFY2(readTable(path, texts, 3, 5, rows, why), qPrintable(why));
        for (const TableRow& row : rows) {
            QByteArray expected = unescape(row.fields.at(2));
            if (expected.endsWith('*'))
                expected.chop(1);
            QTest::newRow(qPrintable(row.fields.at(0))) << g_msgStarted().toLatin1() + expected;
        }
    }
    void scenario()
    {
        QFETCH(QByteArray, stream);
        const QList<QByteArray> messages = messagesOf(stream);
        QList<QByteArray> expected;
        for (const QByteArray& message : messages)
            expected << "M:" + message;

        // Every message is known, its stage comes after the one before, and only UC19 follows a
        // final message.
        int stage = -1, final = messages.size();
        bool ended = false;
        for (const QByteArray& message : messages) {
            const ScannerStatus::Item item(message);
            if (item.isFinal() && !ended)
                final = messages.indexOf(message);
            QVERIFY2(item.isMessage() && !g_statusMeaning(QString::fromLatin1(message)).isEmpty(),
                     message.constData());
            QVERIFY2(!ended || item.code() == QLatin1String("UC19"), message.constData());
            ended = ended || item.isFinal();
            QVERIFY2(item.stage() < 0 || item.stage() > stage, message.constData());
            stage = qMax(stage, item.stage());
        }
        QCOMPARE(shown(StatusStream::split(stream)), expected);

        // Live: each message 550 ms after the last bytes before it, in two reads 5 ms apart,
        // and the tools' output, one line of it looking like a status code, in between.
        StatusStream live;
        QList<ScannerStatus::Item> items;
        QList<QByteArray> interleaved;
        qint64 at = 0;
        for (const QByteArray& message : messages) {
            items += live.feed(message.left(message.size() / 2), at);
            items += live.feed(message.mid(message.size() / 2), at + 5);
            items += live.feed("ota_update: 100%\n", at + 105);
            items += live.feed("UC99 written by a tool\n", at + 205);
            interleaved << "M:" + message << "T:ota_update: 100%\nUC99 written by a tool\n";
            at += 205 + 550;
        }
        items += live.finish();
        QCOMPARE(shown(items), interleaved);
        for (int i = 0; i < items.size(); i += 2)
            QCOMPARE(items.at(i).arrivalMs(), qint64(i / 2 * 755));

        // Cut before its final message, as a run that hangs: each message comes out once the
        // merge time has passed, without the stream's end, and none is final.
        StatusStream cut;
        items.clear();
        for (int i = 0; i < final; ++i) {
            items += cut.feed(messages.at(i), i * 550);
            items += cut.flush(i * 550 + 20);
        }
        QCOMPARE(shown(items), expected.mid(0, final));
        for (const ScannerStatus::Item& item : items)
            QVERIFY(!item.isFinal());

        // A reader that falls behind: the messages read in twos, the final one glued to the one
        // before it, each read after the quiet.
        StatusStream glued;
        items.clear();
        for (int i = 0, n = 2 - messages.size() % 2; i < messages.size(); i += n, n = 2)
            items += glued.feed(messages.mid(i, n).join(), i * 1100);
        items += glued.finish();
        QCOMPARE(shown(items), expected);
    }

    void runner_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a whole run with tool output")
            << "printf UB10x; sleep 0.8; printf UB14y; sleep 0.1; printf 'tar: z\\n'; sleep 0.8; "
               "printf 'UB99upgrade success! reboot!'; exec sleep 30"
            << 10000 << "UB10 0 UB14 5 tool UB99 12 final:UB99";
        QTest::newRow("cut before its final message")
            << "printf UB10x; sleep 0.8; printf UB16y; exec sleep 30" << 1500
            << "UB10 0 UB16 7 timed out";
        QTest::newRow("a failed verification ends twice")
            << "printf UB15x; sleep 0.8; printf UC30y; sleep 0.8; printf UC19z; exec sleep 30"
            << 10000 << "UB15 6 UC30 final:UC30 UC19 final:UC30";
    }
    void runner()
    {
        QFETCH(QString, script);
        QFETCH(int, timeoutMs);
        QFETCH(QString, expected);
        ScannerStatus::UpgradeRunner runner;
        QStringList seen;
        connect(&runner, &ScannerStatus::StatusReader::messageReceived,
                [&](const ScannerStatus::Item& item) { seen << item.code(); });
        connect(&runner, &ScannerStatus::StatusReader::toolOutputReceived, [&] { seen << "tool"; });
        connect(&runner, &ScannerStatus::StatusReader::stageReached,
                [&](int stage) { seen << QString::number(stage); });
        // The first final message stays the run's outcome.
        connect(&runner, &ScannerStatus::StatusReader::finalMessageReceived,
                [&] { seen << "final:" + runner.finalMessage().code(); });
        connect(&runner, &ScannerStatus::StatusReader::timedOut, [&] { seen << "timed out"; });
        runner.setTimeout(timeoutMs);
        runner.start("sh", {"-c", script});
        QTRY_COMPARE_WITH_TIMEOUT(seen.join(' '), expected, 20000);
        runner.stop();
        QCOMPARE(seen.join(' '), expected);
    }
};

QTEST_GUILESS_MAIN(TestScannerStatus)
#include "tst_scannerstatus.moc"
