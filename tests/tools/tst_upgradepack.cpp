// upgrade-pack and scanner-status, the real programs: the command lines of the table beside this
// file, each run in a fresh copy of one fixture, with its exit code, its exact output and error
// text, and the files it left. A failed job must leave the directory as it found it.
#include "devicerun.h"
#include "fixtures.h"
#include "tarwriter.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTextCodec>
#include <QtTest>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

class TestUpgradePack : public QObject {
    Q_OBJECT

    static QStringList tree(const QString& dir)
    {
        QStringList entries;
        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            entries << it.next().mid(dir.size() + 1) + ' ' + QString::number(it.fileInfo().size());
        entries.sort();
        return entries;
    }

    QTemporaryDir m_dir;
    QMap<QString, QString> m_values;

    QString base() const { return m_dir.filePath("base"); }
    /// Runs a command line of the table in dir; last arguments "<FILE" and ">FILE" are its
    /// standard input and output, and "|FILE" comes to it through a pipe.
    QByteArray runLine(const QString& line, const QString& dir, int* code, QString* err = nullptr)
    {
        QStringList args = parts(line, " ");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (; args.value(0).contains(QRegularExpression("^\\w+=")); args.removeFirst())
            env.insert(args.first().section('=', 0, 0), args.first().section('=', 1));
        const QRegularExpressionMatch kill =
            QRegularExpression("^--kill=(INT|TERM|HUP):(\\d+)$").match(args.value(0));
        const int signal =
            QMap<QString, int>{{"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}}.value(
                kill.captured(1));
        args = args.mid(kill.hasMatch());
        // Root may write any file: --no-root takes that away, leaving it the owner of the files.
        // A file size limit fails the writes as a full disk would.
        const bool noRoot = args.value(0) == "--no-root", full = args.value(noRoot) == "--fsize";
        const bool status = args.value(noRoot + full) == "scanner-status";
        QStringList command = QStringList{"prlimit", "--fsize=1000000", "--"}.mid(full ? 0 : 3) +
                              targetCommand(status ? SCANNER_STATUS_BIN : UPGRADE_PACK_BIN);
        // A signal ignored by whoever started the tests must still reach the tool.
        if (signal)
            command = QStringList{"env", "--default-signal=" + kill.captured(1)} + command;
        if (noRoot && ::geteuid() == 0)
            command = QStringList{"setpriv", "--bounding-set=-all", "--"} + command;
        // Arguments that are not UTF-8 reach the tool as their bytes: through Latin-1, which
        // maps each byte to a character and back.
        const QByteArray given = unescape(line);
        const bool latin1 = QString::fromUtf8(given).toUtf8() != given;
        for (const QString& arg : args.mid(noRoot + full + status))
            command << (latin1 ? QString::fromLatin1(unescape(arg))
                               : QString::fromUtf8(unescape(arg)));
        QProcess process;
        process.setProcessEnvironment(env);
        QByteArray piped;
        for (QChar redirect = command.last().at(0);
             redirect == '<' || redirect == '>' || redirect == '|';
             redirect = command.last().at(0)) {
            const QString file = QDir(dir).filePath(command.takeLast().mid(1));
            if (redirect == '<')
                process.setStandardInputFile(file);
            else if (redirect == '>')
                process.setStandardOutputFile(file);
            else
                piped = readFile(file);
        }
        QTextCodec* const locale = QTextCodec::codecForLocale();
        if (latin1)
            QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        const mode_t umask = ::umask(022);
        ::umask(env.contains("umask") ? env.value("umask").toUInt(nullptr, 8) : umask);
        const QByteArray out =
            runProcess(command, dir, piped, code, err, &process, signal, kill.captured(2).toInt());
        ::umask(umask);
        QTextCodec::setCodecForLocale(locale);
        return out;
    }
    QString bytes(const QString& text) const { return QString::fromUtf8(unescape(text)); }
    // A package of a firmware archive of these files, each NAME (holding its name) or
    // NAME=CONTENT; the manifest lists all not marked '-'. The archive, plain for names
    // "whole...", lies beside it, its members of one time; {NAME} in upper case is its md5.
    bool planPackage(const QString& name, const QStringList& files, const QString& model = "KT310",
                     int time = 1700000000)
    {
        Files archive;
        for (const QString& given : files)
            archive << qMakePair(given.section('=', 0, 0),
                                 given.section('=', given.contains('=') ? 1 : 0).toUtf8());
        const bool plain = name.startsWith("whole");
        const QByteArray bytes = makeArchive(firmware(archive), plain,
                                             {"--mode=0644", "--mtime=@" + QString::number(time)});
        m_values[name.toUpper().remove('-')] = md5(bytes);
        return writeFile(base() + '/' + name + (plain ? ".tar" : ".tar.bz2"), bytes) &&
               writeFile(
                   base() + '/' + name + ".pkg",
                   makePackage({{plain ? "fw.tar" : "fw.tar.bz2", bytes}}, "T1", model).bytes);
    }

private slots:
    void initTestCase()
    {
        // Rows that want a build time give one.
        qunsetenv("SOURCE_DATE_EPOCH");
        // The fixture: files to pack, packages the tool makes of them, damaged copies, firmware.
        QByteArray a(10485765, Qt::Uninitialized);
        quint32 x = 1;
        for (char& byte : a)
            byte = char((x = x * 1103515245u + 12345u) >> 24);
        const QByteArray c = "firmware notes\n";
        Files files{{"a.bin", a},
                    {"chunk.bin", a.left(10485760)},
                    {"plain.tar", a.left(5000)},
                    {"big/a.bin", a},
                    {"blocks/rootfs.ext4", a.left(3 << 20)},
                    {"long/" + QString(120, 'n') + ".bin", "x"},
                    {"linked/link", "->../a.bin"},
                    {"fifo", "<fifo>"}};
        for (const char* file :
             {"sub/c.txt=firmware notes\n", "other/c.txt=another", "out.pkg=an older package",
              "out/c.txt=an older c.txt", "build/self.pkg=named like the package", "kept.pkg=old\n",
              "readonly/c.txt=old\n", "utf8/caf\xc3\xa9.bin=e", "empty.bin=", "fw/Image=kernel",
              "fw/fileMd5s=old", "fw/boot/uboot.bin=boot loader", "spaced/my notes.txt=x",
              "tabbed/my\tnotes.txt=x", "lined/my\nnotes.txt=x", "dots/.gitkeep=",
              "staged/images/520M0App.bin=m", R"(savepara.txt={"savePara": true})", "notjson.txt={",
              "broken/lbzip2=#!/bin/sh\necho 'lbzip2: cannot compress' >&2\nexit 3",
              "killed/tar=#!/bin/sh\nkill -9 $$",
              "recording.txt=tar: x\nUB16ota kernel-image....Imagedone\nUB11/tmp/UC12.binUB55x"
              "runtxtOrder--saveparaJson--0UB99upgrade success! reboot!",
              // A live stream: messages after quiet, one written in two parts, tool output.
              "live.sh=printf UB10-quillMark-202312271830_M; sleep 0.6; printf UB11/tmp/up; "
              "printf grade/p.bin; sleep 0.6; printf UB21; sleep 0.6; printf UB16ota\\ kernel-"
              "image....zImage; sleep 0.1; printf 'writing kernel\\n'; sleep 0.1; printf UC99; "
              "sleep 0.6; printf ub99; sleep 0.6; printf runtxtOrder--filePa--/tmp/savepara.txt; "
              "sleep 0.6; printf 'UB99upgrade success! reboot!'; exec sleep 100"})
            files << qMakePair(QString(file).section('=', 0, 0),
                               QString(file).section('=', 1).toUtf8());
        QVERIFY(writeFiles(base(), files));
        // One firmware tree twice, with other modes, times, owner and a manifest to replace;
        // names that are not UTF-8; a PATH without lbzip2.
        QCOMPARE(QProcess::execute(
                     "sh", {"-ec",
                            "cd \"$0\"\n"
                            "cp -r fw same && echo x >same/fileMd5s && chmod 755 fw/Image\n"
                            "chown -R 1234:1234 same || :\n"
                            "chmod 700 same/Image same/boot && chmod 600 same/boot/uboot.bin\n"
                            "touch -d @1650000000 fw/Image && touch -d @1600000000 same/Image\n"
                            "touch -d @1700000000 fw/boot/uboot.bin same/boot/uboot.bin\n"
                            "touch -d @1800000000 same/fileMd5s\n"
                            // fw again, its newest file now the first read and archived.
                            "cp -r fw fresh && touch -d @1650000000 fresh/boot/uboot.bin\n"
                            "touch -d @1700000000 fresh/Image\n"
                            "e=$(printf '\\351') && mkdir -p latin latindir/d$e\n"
                            "echo >latin/lat$e.bin && echo >latindir/d$e/rootfs.ext4\n"
                            "mkdir nolbzip2 && ln -s \"$(command -v bzip2)\" nolbzip2\n"
                            "chmod +x broken/lbzip2 killed/tar && chmod 640 kept.pkg\n"
                            "cp kept.pkg readonly/r.pkg && chmod 444 readonly/*",
                            base()}),
                 0);
        for (const char* line :
             {"create -o good.pkg --type T1 --model KT310 --info v2.1 --info 5% --target "
              "/tmp/upgrade a.bin empty.bin sub/c.txt",
              "create -o self.pkg --type T2 --model M empty.bin build/self.pkg",
              "create -o chunk.pkg --type T1 --model M chunk.bin empty.bin",
              "firmware -o ref.tar fw", "SOURCE_DATE_EPOCH=1234567890 firmware -o epoch.tar fw",
              "LC_ALL=C.UTF-8 firmware -o utf8.tar utf8",
              "firmware --jobs 3 -o three.tar.bz2 blocks",
              "create -o t0.pkg --type T0 --model M empty.bin",
              "create -o t4.pkg --type T4 --model M sub/c.txt"}) {
            int code = -1;
            runLine(line, base(), &code);
            QCOMPARE(code, 0);
        }
        // A package of 1000 MiB of zeros that takes no room: a long enough job to interrupt.
        PackageBytes huge = makePackage({{"zeros.bin", ""}}, "T1", "M");
        huge.bytes.truncate(huge.at["payload size"]);
        QFile hugeFile(base() + "/huge.pkg");
        QVERIFY(hugeFile.open(QIODevice::WriteOnly) &&
                hugeFile.write(huge.text("1048576000").text("100").bytes) > 0);
        for (int i = 0; i < 100; ++i)
            QVERIFY(hugeFile.write(QByteArray::fromHex("00a00000")) == 4 &&
                    hugeFile.seek(hugeFile.pos() + 10485760));
        QVERIFY(hugeFile.resize(hugeFile.pos()));
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
        // Size texts that disagree with the 15 bytes the chunk carries.
        const PackageBytes notes = makePackage({{"c.txt", c}});
        for (const char* size : {"14", "16"})
            QVERIFY(writeFile(
                base() + "/size" + size + ".pkg",
                QByteArray(notes.bytes)
                    .replace(notes.at["payload size"], 6, PackageBytes().text(size).bytes)));
        const QString nul = QString("fw") + QChar(0) + ".bin";
        // Members no firmware archive should hold, beside an empty manifest.
        QList<TarEntry> odd;
        for (const QByteArray name :
             {"ota_file/fileMd5s", "/etc/abs.bin", "outside.bin", "ota_file/suid"})
            odd << TarEntry{name, '0', {}, name.endsWith("suid") ? 04755u : 0644u};
        QVERIFY(QDir().mkpath(base() + "/part/b.bin"));
        QVERIFY(writeFiles(
            base(),
            {{"dup.pkg", makePackage({{"a/x.bin", "one"}, {"b/x.bin", "two"}}).bytes},
             {"names.pkg", makePackage({{"..", "a"}, {"", "b"}, {"d/", "c"}, {".", "d"}}).bytes},
             {"nul.pkg", makePackage({{nul, "x"}}, "T1" + QString(QChar(0)), "K\x7f\\").bytes},
             {"nulmodel.pkg",
              makePackage({{"a.bin", "a"}}, "T1", "KT" + QString(QChar(0)) + "310").bytes},
             {"negative.pkg", negative.bytes},
             {"odd2.pkg", makePackage({{"fw.tar.bz2", bzip2(tarArchive(odd))}}).bytes},
             {"ab.pkg", makePackage({{"a.bin", "new a"}, {"b.bin", "new b"}}).bytes},
             {"part/a.bin", "old"},
             {"cut50.pkg", good.left(50)},
             {"fifo.pkg", "<fifo>"},
             {"flip.pkg", flipped},
             {"cut.pkg", good.left(good.size() - 3)},
             {"trail.pkg", good + "xyz"},
             {"padding.pkg", QByteArray(good).replace(20, 1, "x")},
             {"cut1000.pkg", good.left(good.size() - 1000)},
             {"table.pkg", good.left(150)},
             {"count.pkg", good.left(110)},
             {"chunks.pkg", chunks.text("1").record("").bytes}}));
        // The reference's table of verbs lists what --help lists, from the tool's one table.
        QStringList helped, documented;
        const QString help =
            QString::fromUtf8(runProcess(targetCommand(UPGRADE_PACK_BIN) << "--help", base()));
        for (const QString& line : help.section("Verbs:\n", 1).section("\n\n", 0, 0).split('\n'))
            helped << line.simplified().section(' ', 0, 0);
        const QString verbs =
            QString::fromUtf8(readFile(QFINDTESTDATA("../../docs/upgrade-pack.md")))
                .section("| Verb | What it does |", 1)
                .section("\n\n", 0, 0);
        for (auto it = QRegularExpression("\\n\\| `([a-z]+) ").globalMatch(verbs); it.hasNext();)
            documented << it.next().captured(1);
        QCOMPARE(documented, helped);
        m_values = {{"A", md5(a)},
                    {"E", md5("")},
                    {"C", md5(c)},
                    {"F", md5(flippedC)},
                    {"T", md5(c.left(12))},
                    {"K", md5("kernel")},
                    {"U", md5("boot loader")},
                    {"MANY", QString("a.bin ").repeated(32768)},
                    {"NAME255", QString(251, 'n') + ".pkg"}};
        // A release, and the next one as diff sees it: the same, and one change each.
        const QStringList whole{"Image",       "board.dtb", "uboot.bin",     "520M0App.bin",
                                "rootfs.ext4", "rpmsg.bin", "scanner-app.sh"};
        QStringList noBoot = whole;
        noBoot.removeOne("uboot.bin");
        QVERIFY(planPackage("images", {"images/520M0App.bin", "images/Image"}) &&
                planPackage("twostages", {"core-image-scanner.rootfs.ext4"}) &&
                planPackage("second", {"zImage", "Image.old"}) &&
                planPackage("unlisted", {"-extra.bin"}) && planPackage("side", {"System.map"}) &&
                planPackage("odd", {"-f1=<fifo>", "-f2=<fifo>", "-f3=<fifo>", "-f4=<fifo>",
                                    "-out=->/etc/passwd", "-in=->f1", "-up=->../../x"}) &&
                planPackage("above", {"-up=->../../../../x"}) && planPackage("whole", whole) &&
                planPackage("whole-again", whole) &&
                planPackage("whole-kernel", QStringList{"Image=kernel 2"} + whole.mid(1)) &&
                planPackage("whole-noboot", noBoot) && planPackage("whole-kt520", whole, "KT520") &&
                planPackage("whole-rebuilt", whole, "KT310", 1700003600));
    }

    // QDir cannot remove names that are not UTF-8.
    void cleanupTestCase() { QProcess::execute("rm", {"-rf", m_dir.path()}); }

    void tool_data()
    {
        QTest::addColumn<QStringList>("fields");
        QList<TableRow> rows;
        QString why;
        QVERIFY2(readTable(QFINDTESTDATA("commands"), m_values, 3, 6, rows, why), qPrintable(why));
        // SCANNER_SHARD=I/N runs the rows whose line is I modulo N, so that N runs share them.
        const QStringList shards = qEnvironmentVariable("SCANNER_SHARD", "0/1").split('/');
        const QRegularExpression known(
            "^(out~.|tarv?:[^=]+=|mode:[^=]+=[0-7]+$|[^=^~]+(==|\\^|~).)");
        for (const TableRow& row : rows) {
            for (const QString& check : parts(row.fields.value(5), " ; "))
                QVERIFY2(known.match(check).hasMatch(),
                         qPrintable(QString("commands:%1: no check %2").arg(row.line).arg(check)));
            if (row.line % shards.value(1).toInt() == shards.value(0).toInt())
                QTest::newRow(qPrintable(row.fields.at(0))) << row.fields;
        }
    }
    void tool()
    {
        QFETCH(QStringList, fields);
        const QString dir = m_dir.filePath(QString(QTest::currentDataTag()).replace('/', '_'));
        QCOMPARE(QProcess::execute("cp", {"-al", base(), dir}), 0);
        const QStringList before = tree(dir);
        std::signal(SIGXFSZ, SIG_IGN);
        int code = -1;
        QString err;
        const QByteArray rawOut = runLine(fields.value(1), dir, &code, &err);
        const QString out = QString::fromUtf8(rawOut);
        QCOMPARE(code, fields.value(2).toInt());
        const bool outChecked = fields.value(5).contains(QRegularExpression("(^| ; )out(~|==)"));
        for (int i = outChecked; i < 2; ++i) {
            // Arrival times of a live stream differ from run to run.
            const QString actual =
                QString(i ? err : out)
                    .replace(QRegularExpression("(?m)^\\[ *\\d+\\.\\d+ s\\]"), "[t]");
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
            const QByteArray actual =
                subject == "out" ? rawOut : readFile(QDir(dir).filePath(subject));
            // A missing file or archive must not pass for an empty one.
            int toolCode = 0;
            const auto tool = [&](const QStringList& command) {
                return QString::fromUtf8(runProcess(command, dir, QByteArray(), &toolCode));
            };
            if (subject != "out" && !subject.contains(':'))
                QVERIFY2(!actual.isNull(), qPrintable("missing " + subject));
            if (subject == "out" && check.at(at) == '~')
                QVERIFY2(out.contains(QRegularExpression(want)), qPrintable(out));
            else if (subject.startsWith("tarv:"))
                QCOMPARE(
                    tool({"tar", "--utc", "--full-time", "--numeric-owner", "-tvf", subject.mid(5)})
                        .replace(QRegularExpression(" +"), " "),
                    want);
            else if (subject.startsWith("mode:"))
                QCOMPARE(tool({"stat", "-Lc%a", subject.mid(5)}).trimmed(), want);
            else if (subject.startsWith("tar:") && subject.count(':') == 2)
                QCOMPARE(tool({"tar", "-xOf", subject.section(':', 1, 1), subject.section(':', 2)}),
                         want);
            else if (subject.startsWith("tar:"))
                QCOMPARE(parts(tool({"tar", "-tf", subject.mid(4)}), "\n").join(' '), want);
            else if (check.mid(at, 2) == "==")
                QVERIFY2(!readFile(QDir(dir).filePath(want)).isNull() &&
                             actual == readFile(QDir(dir).filePath(want)),
                         qPrintable(check));
            else
                QVERIFY2(actual.startsWith(want.toUtf8()), qPrintable(check));
            QVERIFY2(toolCode == 0, qPrintable(check));
        }
    }
};

QTEST_GUILESS_MAIN(TestUpgradePack)
#include "tst_upgradepack.moc"
