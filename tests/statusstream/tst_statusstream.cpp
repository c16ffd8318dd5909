// The stream splitter of scanner-status on reads with their arrival times; the program itself
// is a row of the command-line table.
#include "statusstream.h"

#include <QtTest>

using Reads = QList<QPair<QByteArray, qint64>>;

namespace {

// Items rendered as "M@ms:bytes" or "T@ms:bytes" for compact comparison.
QStringList render(const QList<StatusStream::Item>& items)
{
    QStringList out;
    for (const StatusStream::Item& item : items)
        out << QStringLiteral("%1@%2:%3")
                   .arg(item.kind == StatusStream::Item::Message ? QLatin1Char('M')
                                                                 : QLatin1Char('T'))
                   .arg(item.arrivalMs)
                   .arg(QString::fromUtf8(item.bytes));
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Reads)

class TestStatusStream : public QObject {
    Q_OBJECT

private slots:
    void split_data()
    {
        QTest::addColumn<Reads>("reads");
        QTest::addColumn<QStringList>("items");

        QTest::newRow("start-up message") << Reads{{"UB10-quillMark-202312271830_M", 551}}
                                          << QStringList{"M@551:UB10-quillMark-202312271830_M"};
        QTest::newRow("messages 550 ms apart")
            << Reads{{"UB10-quillMark-202312271830_M", 551}, {"UB11/tmp/upgrade/p.bin", 1102}}
            << QStringList{"M@551:UB10-quillMark-202312271830_M", "M@1102:UB11/tmp/upgrade/p.bin"};
        QTest::newRow("one write split over two reads")
            << Reads{{"UB11/tmp/up", 600}, {"grade/p.bin", 603}}
            << QStringList{"M@600:UB11/tmp/upgrade/p.bin"};
        QTest::newRow("tool output between messages")
            << Reads{{"UB16ota kernel-image..../tmp/upgrade/ota_file/zImage", 600},
                     {"writing kernel\n", 680},
                     {"done\n", 1300},
                     {"UB17ota kernel-dtb..../x.dtb", 2400}}
            << QStringList{"M@600:UB16ota kernel-image..../tmp/upgrade/ota_file/zImage",
                           "T@680:writing kernel\ndone\n", "M@2400:UB17ota kernel-dtb..../x.dtb"};
        QTest::newRow("code-like tool output without the quiet")
            << Reads{{"UB14unpack file....", 600}, {"UC99 from a tool", 700}}
            << QStringList{"M@600:UB14unpack file....", "T@700:UC99 from a tool"};
        QTest::newRow("lower case is not a code")
            << Reads{{"ub99upgrade", 600}} << QStringList{"T@600:ub99upgrade"};
        QTest::newRow("message without a code")
            << Reads{{"runtxtOrder--filePa--/tmp/savepara.txt", 600}}
            << QStringList{"M@600:runtxtOrder--filePa--/tmp/savepara.txt"};
        QTest::newRow("start of the stream counts as quiet")
            << Reads{{"UB10-quillMark-", 0}} << QStringList{"M@0:UB10-quillMark-"};
    }
    void split()
    {
        QFETCH(Reads, reads);
        QList<StatusStream::Item> items;
        StatusStream stream;
        for (const auto& read : reads)
            items += stream.feed(read.first, read.second);
        items += stream.flush(reads.last().second + 1000, true);
        QTEST(render(items), "items");
    }

    void flushWaitsForTheMergeWindow()
    {
        StatusStream stream;
        QVERIFY(stream.feed("UB13start upgrade!", 600).isEmpty());
        QVERIFY(stream.flush(610).isEmpty());
        QCOMPARE(render(stream.flush(620)), QStringList{"M@600:UB13start upgrade!"});
        QVERIFY(stream.flush(5000, true).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestStatusStream)
#include "tst_statusstream.moc"
