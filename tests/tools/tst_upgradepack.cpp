// upgrade-pack and scanner-status, the real programs: the command lines of the table beside this
// file, each run in a fresh copy of one fixture, with its exit code, its exact output and error
// text, and the files it left. A failed job must leave the directory as it found it.
#include "devicerun.h"
#include "fixtures.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

namespace {

/// Runs a command in dir; a last argument "<FILE" is its standard input instead, and "|FILE"
/// comes to it through a pipe.
QString run(QStringList command, const QString& dir, int* code = nullptr, QString* err = nullptr)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    const QString last = command.last(), input = dir + '/' + last.mid(1);
    if (last.startsWith('<') || last.startsWith('|'))
        command.removeLast();
    if (last.startsWith('<'))
        process.setStandardInputFile(input);
    process.start(command.first(), command.mid(1));
    if (last.startsWith('|'))
        process.write(readFile(input));
    process.closeWriteChannel();
    process.waitForFinished(60000);
    if (code)
        *code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (err)
        *err = QString::fromUtf8(process.readAllStandardError());
    return QString::fromUtf8(process.readAllStandardOutput());
}

QStringList tree(const QString& dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << it.next().mid(dir.size() + 1) + ' ' + QString::number(it.fileInfo().size());
    entries.sort();
    return entries;
}

} // namespace

class TestUpgradePack : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QMap<QString, QString> m_values;

    QString base() const { return m_dir.filePath("base"); }
    QString bytes(const QString& text) const { return QString::fromUtf8(unescape(text)); }
    // A package of a firmware archive of these files; the manifest lists all not marked '-'.
    bool planPackage(const QString& name, const QStringList& files)
    {
        Files archive;
        QByteArray manifest;
        for (const QString& file : files) {
            archive << qMakePair("ota_file/" + file.mid(file.startsWith('-')), file.toUtf8());
            if (!file.startsWith('-'))
                manifest += md5(file.toUtf8()) + "  " + file.toUtf8() + '\n';
        }
        archive << qMakePair(QString("ota_file/fileMd5s"), manifest);
        const bool plain = name == "whole";
        return writeFile(
            base() + '/' + name + ".pkg",
            makePackage({{plain ? "fw.tar" : "fw.tar.bz2", makeArchive(archive, plain)}}).bytes);
    }

private slots:
    void initTestCase()
    {
        // The fixture: files to pack, packages the tool makes of them, damaged copies, firmware.
        QByteArray a(10485765, Qt::Uninitialized);
        quint32 x = 1;
        for (char& byte : a)
            byte = char((x = x * 1103515245u + 12345u) >> 24);
        const QByteArray c = "firmware notes\n";
        for (const char* file :
             {"sub/c.txt=firmware notes\n", "other/c.txt=another", "out.pkg=an older package",
              "out/c.txt=an older c.txt", "build/self.pkg=named like the package",
              "empty.bin=", "fw/Image=kernel", "fw/fileMd5s=old", "fw/boot/uboot.bin=boot loader",
              "spaced/my notes.txt=x", "dots/.gitkeep=", "staged/images/520M0App.bin=m",
              R"(savepara.txt={"savePara": true})", "notjson.txt={",
              "recording.txt=tar: x\nUB16ota kernel-image....Imagedone\nUB11/tmp/UC12.binUB55x"
              "runtxtOrder--saveparaJson--0UB99upgrade success! reboot!",
              // A live stream: messages after quiet, one written in two parts, tool output.
              "live.sh=printf UB10-quillMark-202312271830_M; sleep 0.6; printf UB11/tmp/up; "
              "printf grade/p.bin; sleep 0.6; printf UB21; sleep 0.6; printf UB16ota\\ kernel-"
              "image....zImage; sleep 0.1; printf 'writing kernel\\n'; sleep 0.1; printf UC99; "
              "sleep 0.6; printf ub99; sleep 0.6; printf runtxtOrder--filePa--/tmp/savepara.txt; "
              "sleep 0.6; printf 'UB99upgrade success! reboot!'; exec sleep 100"})
            QVERIFY(writeFile(base() + '/' + QString(file).section('=', 0, 0),
                              QString(file).section('=', 1).toUtf8()));
        const Files large{{"a.bin", a},
                          {"chunk.bin", a.left(10485760)},
                          {"plain.tar", a.left(5000)},
                          {"big/a.bin", a}};
        for (const auto& file : large)
            QVERIFY(writeFile(base() + '/' + file.first, file.second));
        QVERIFY(QDir().mkpath(base() + "/linked") &&
                QFile::link("../a.bin", base() + "/linked/link"));
        const QStringList up = targetCommand(UPGRADE_PACK_BIN);
        for (const char* args :
             {"good.pkg --type T1 --model KT310 --info v2.1 --info 5% --target /tmp/upgrade a.bin "
              "empty.bin sub/c.txt",
              "self.pkg --type T2 --model M empty.bin build/self.pkg",
              "chunk.pkg --type T1 --model M chunk.bin empty.bin",
              "t0.pkg --type T0 --model M empty.bin", "t4.pkg --type T4 --model M sub/c.txt"}) {
            int code = -1;
            run(up + QStringList{"create", "-o"} + QString(args).split(' '), base(), &code);
            QCOMPARE(code, 0);
        }
        // An empty file said to take one chunk, and that chunk empty.
        PackageBytes chunks = makePackage({{"e.bin", ""}}, "T1", "M");
        chunks.bytes.truncate(chunks.at["chunk count"]);
        const QByteArray good = readFile(base() + "/good.pkg");
        QByteArray flipped = good, flippedC = c;
        flipped[good.size() - 2] = char(good.at(good.size() - 2) ^ 1);
        flippedC[c.size() - 2] = char(c.at(c.size() - 2) ^ 1);
        // Packages the device reads otherwise than their tables say, and a FIFO without a writer.
        PackageBytes negative = makePackage({{"a.bin", "x"}});
        negative.bytes[negative.at["item count"] + 1] = '\x80';
        const QString nul = QString("fw") + QChar(0) + ".bin";
        QVERIFY(writeFile(base() + "/dup.pkg",
                          makePackage({{"a/x.bin", "one"}, {"b/x.bin", "two"}}).bytes) &&
                writeFile(base() + "/names.pkg",
                          makePackage({{"..", "a"}, {"", "b"}, {"d/", "c"}, {".", "d"}}).bytes) &&
                writeFile(base() + "/nul.pkg",
                          makePackage({{nul, "x"}}, "T1" + QString(QChar(0)), "K\x7f\\").bytes) &&
                writeFile(base() + "/negative.pkg", negative.bytes) &&
                writeFile(base() + "/ab.pkg",
                          makePackage({{"a.bin", "new a"}, {"b.bin", "new b"}}).bytes) &&
                writeFile(base() + "/part/a.bin", "old") && QDir().mkpath(base() + "/part/b.bin") &&
                writeFile(base() + "/cut50.pkg", good.left(50)) &&
                QProcess::execute("mkfifo", {base() + "/fifo.pkg"}) == 0);
        QVERIFY(writeFile(base() + "/flip.pkg", flipped) &&
                writeFile(base() + "/cut.pkg", good.left(good.size() - 3)) &&
                writeFile(base() + "/trail.pkg", good + "xyz") &&
                writeFile(base() + "/cut1000.pkg", good.left(good.size() - 1000)) &&
                writeFile(base() + "/table.pkg", good.left(150)) &&
                writeFile(base() + "/chunks.pkg", chunks.text("1").record("").bytes));
        QVERIFY(planPackage("images", {"images/520M0App.bin", "images/Image"}) &&
                planPackage("twostages", {"core-image-scanner.rootfs.ext4"}) &&
                planPackage("second", {"zImage", "Image.old"}) &&
                planPackage("unlisted", {"-extra.bin"}) && planPackage("side", {"System.map"}) &&
                planPackage("whole", {"Image", "board.dtb", "uboot.bin", "520M0App.bin",
                                      "rootfs.ext4", "rpmsg.bin", "scanner-app.sh"}));
        m_values = {{"A", md5(a)},
                    {"E", md5("")},
                    {"C", md5(c)},
                    {"F", md5(flippedC)},
                    {"T", md5(c.left(12))},
                    {"K", md5("kernel")},
                    {"U", md5("boot loader")},
                    {"MANY", QString("a.bin ").repeated(32768)}};
    }

    void tool_data()
    {
        QTest::addColumn<QStringList>("fields");
        QList<TableRow> rows;
        QString why;
        QVERIFY2(readTable(QFINDTESTDATA("commands"), m_values, 3, 6, rows, why), qPrintable(why));
        for (const TableRow& row : rows) {
            for (const QString& check : parts(row.fields.value(5), " ; "))
                QVERIFY2(QRegularExpression("^(out~.|tar:[^=]+=|[^=^~]+(==|\\^|~).)")
                             .match(check)
                             .hasMatch(),
                         qPrintable(QString("commands:%1: no check %2").arg(row.line).arg(check)));
            QTest::newRow(qPrintable(row.fields.at(0))) << row.fields;
        }
    }
    void tool()
    {
        QFETCH(QStringList, fields);
        const QString dir = m_dir.filePath(QTest::currentDataTag());
        QCOMPARE(QProcess::execute("cp", {"-al", base(), dir}), 0);
        const QStringList before = tree(dir);
        QStringList args = parts(fields.value(1), " ");
        // A file size limit fails the writes as a full disk would.
        const bool full = args.value(0) == "--fsize";
        const bool status = args.value(full) == "scanner-status";
        QStringList command = QStringList{"prlimit", "--fsize=1000000", "--"}.mid(full ? 0 : 3) +
                              targetCommand(status ? SCANNER_STATUS_BIN : UPGRADE_PACK_BIN);
        for (const QString& arg : args.mid(full + status))
            command << QString::fromUtf8(unescape(arg));
        std::signal(SIGXFSZ, SIG_IGN);
        int code = -1;
        QString err;
        const QString out = run(command, dir, &code, &err);
        QCOMPARE(code, fields.value(2).toInt());
        const bool outChecked = fields.value(5).contains("out~");
        for (int i = outChecked; i < 2; ++i) {
            // Arrival times of a live stream differ from run to run.
            const QString actual =
                QString(i ? err : out)
                    .replace(QRegularExpression("^\\[ *\\d+\\.\\d+ s\\]",
                                                QRegularExpression::MultilineOption),
                             "[t]");
            const QString expected = bytes(fields.value(3 + i));
            if (expected.startsWith("{\""))
                QCOMPARE(QJsonDocument::fromJson(actual.toUtf8()),
                         QJsonDocument::fromJson(expected.toUtf8()));
            else if (expected.endsWith('*'))
                QVERIFY2(actual.startsWith(expected.chopped(1)), qPrintable(actual));
            else
                QCOMPARE(actual, expected);
        }
        if (code != 0)
            QCOMPARE(tree(dir), before);
        for (const QString& check : parts(fields.value(5), " ; ")) {
            const int at = check.indexOf(QRegularExpression("==|[=^~]"));
            const QString subject = check.left(at),
                          want = bytes(check.mid(at + (check.mid(at, 2) == "==" ? 2 : 1)));
            if (subject == "out")
                QVERIFY2(out.contains(QRegularExpression(want)), qPrintable(out));
            else if (subject.startsWith("tar:") && subject.count(':') == 2)
                QCOMPARE(
                    run({"tar", "-xOf", subject.section(':', 1, 1), subject.section(':', 2)}, dir),
                    want);
            else if (subject.startsWith("tar:"))
                QCOMPARE(parts(run({"tar", "-tf", subject.mid(4)}, dir), "\n").join(' '), want);
            else if (check.mid(at, 2) == "==")
                QVERIFY2(readFile(dir + '/' + subject) == readFile(dir + '/' + want),
                         qPrintable(check));
            else
                QVERIFY2(readFile(dir + '/' + subject).startsWith(want.toUtf8()),
                         qPrintable(check));
        }
    }
};

QTEST_GUILESS_MAIN(TestUpgradePack)
#include "tst_upgradepack.moc"
