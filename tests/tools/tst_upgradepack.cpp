// upgrade-pack, the real program: one table of command lines, each run in a fresh copy of the
// same fixture, with its exit code, its exact output and error text, and the files it left.
// A failed job must leave the directory as it found it.
#include "devicerun.h"
#include "fixtures.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

struct Run {
    int code = -1;
    QString out;
    QString err;
};

Run upgradePack(const QString& dir, QStringList arguments)
{
    QStringList command = targetCommand(UPGRADE_PACK_BIN);
    // A file size limit fails the writes as a full disk would.
    if (arguments.value(0) == "--fsize")
        command = QStringList{"prlimit", "--fsize=1000000", "--"} + command;
    command += arguments.mid(arguments.value(0) == "--fsize" ? 1 : 0);
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(command.takeFirst(), command);
    Run run;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        run = {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
               QString::fromUtf8(process.readAllStandardError())};
    return run;
}

QString run(const QString& program, const QStringList& arguments, const QString& dir)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(program, arguments);
    process.waitForFinished(60000);
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

const QStringList kCreate = {"create", "-o", "out.pkg", "--type", "T1", "--model", "KT310"};
const QString kOverview = "Usage: upgrade-pack VERB [options] ...\n*";

} // namespace

class TestUpgradePack : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QMap<QString, QString> m_values; // placeholders of the expected texts

    QString base() const { return m_dir.filePath("base"); }
    QString expand(QString text) const
    {
        for (auto it = m_values.begin(); it != m_values.end(); ++it)
            text.replace(it.key(), it.value());
        return text;
    }
    static void row(const char* name, const QStringList& args, int code, const QString& out,
                    const QString& err, const QStringList& after = {})
    {
        QTest::newRow(name) << args << code << out << err << after;
    }

private slots:
    void initTestCase()
    {
        // The fixture: files to pack, a package of them made by the tool, and damaged copies.
        QByteArray a(10485765, Qt::Uninitialized);
        quint32 x = 1;
        for (char& byte : a)
            byte = char((x = x * 1103515245u + 12345u) >> 24);
        const QByteArray c = "firmware notes\n";
        QVERIFY(
            writeFile(base() + "/a.bin", a) && writeFile(base() + "/empty.bin", "") &&
            writeFile(base() + "/sub/c.txt", c) && writeFile(base() + "/other/c.txt", "another") &&
            writeFile(base() + "/out.pkg", "an older package") &&
            writeFile(base() + "/out/c.txt", "an older c.txt") &&
            writeFile(base() + "/build/self.pkg", "named like the package") &&
            writeFile(base() + "/plain.tar", a.left(5000)) &&
            writeFile(base() + "/fw/Image", "kernel") &&
            writeFile(base() + "/fw/fileMd5s", "old") &&
            writeFile(base() + "/fw/boot/uboot.bin", "boot loader") &&
            writeFile(base() + "/spaced/my notes.txt", "x") &&
            writeFile(base() + "/dots/.gitkeep", "") && writeFile(base() + "/big/a.bin", a) &&
            QDir().mkpath(base() + "/linked") && QFile::link("../a.bin", base() + "/linked/link"));
        const Run made = upgradePack(base(), {"create", "-o", "good.pkg", "--type", "T1", "--model",
                                              "KT310", "--info", "v2.1", "--info", "5%", "--target",
                                              "/tmp/upgrade", "a.bin", "empty.bin", "sub/c.txt"});
        QCOMPARE(made.code, 0);
        QCOMPARE(upgradePack(base(), {"create", "-o", "self.pkg", "--type", "T2", "--model", "M",
                                      "empty.bin", "build/self.pkg"})
                     .code,
                 0);
        QByteArray good = readFile(base() + "/good.pkg");
        QByteArray flipped = good;
        flipped[good.size() - 2] = char(good.at(good.size() - 2) ^ 1);
        QVERIFY(writeFile(base() + "/flip.pkg", flipped) &&
                writeFile(base() + "/cut.pkg", good.left(good.size() - 3)) &&
                writeFile(base() + "/trail.pkg", good + "xyz"));
        QByteArray flippedC = c;
        flippedC[c.size() - 2] = char(c.at(c.size() - 2) ^ 1);
        m_values = {{"%A", md5(a)},        {"%E", md5("")},       {"%C", md5(c)},
                    {"%F", md5(flippedC)}, {"%K", md5("kernel")}, {"%U", md5("boot loader")}};
    }

    void tool_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out"); // a final '*' makes it a prefix
        QTest::addColumn<QString>("err");
        QTest::addColumn<QStringList>("after");

        row("no verb", {}, 2, "", kOverview);
        row("help", {"--help"}, 0, kOverview, "");
        row("unknown verb", {"pack"}, 2, "",
            "upgrade-pack: usage: unknown verb pack\n" + kOverview);
        for (const char* verb : {"create", "info", "extract", "verify", "firmware"})
            row(qPrintable(QString(verb) + " --help"), {verb, "--help"}, 0,
                QString("Usage: upgrade-pack %1 *").arg(verb), "");
        row("version", {"--version"}, 0, "upgrade-pack 1.0.0\n", "");
        row("create without files", kCreate, 2, "",
            "upgrade-pack: create: missing FILE; see upgrade-pack create --help\n");
        row("create without type, model and files", {"create", "-o", "x"}, 2, "",
            "upgrade-pack: create: missing --type, --model, FILE; see upgrade-pack create "
            "--help\n");
        row("create with an unknown type",
            {"create", "-o", "x", "--model", "m", "--type", "T5", "f"}, 2, "",
            "upgrade-pack: create: unknown type T5; one of: T0, T1, T2, T3, T4\n");
        row("create with five --info",
            kCreate + QStringList{"--info", "1", "--info", "2", "--info", "3", "--info", "4",
                                  "--info", "5", "f"},
            2, "", "upgrade-pack: create: at most four --info entries\n");
        row("unknown option", {"verify", "--fast", "p"}, 2, "",
            "upgrade-pack: verify: unknown option --fast\n");
        row("two packages", {"info", "p", "q"}, 2, "",
            "upgrade-pack: info: unexpected argument q\n");
        row("firmware without output", {"firmware", "d"}, 2, "",
            "upgrade-pack: firmware: missing --output; see upgrade-pack firmware --help\n");

        // create: the same files make the same bytes; refusals leave the older output alone.
        row("create",
            kCreate + QStringList{"--info", "v2.1", "--info", "5%", "--target", "/tmp/upgrade",
                                  "a.bin", "empty.bin", "sub/c.txt"},
            0, "", "", {"out.pkg==good.pkg"});
        QStringList many;
        for (int i = 0; i < 32768; ++i)
            many << "a.bin";
        const QString refused = "upgrade-pack: create out.pkg: ";
        row("create 32768 files", kCreate + many, 1, "",
            refused + "too many files: 32768 (a package carries at most 32767)\n");
        row("create with text above U+00FF", kCreate + QStringList{"--info", "\u7248", "a.bin"}, 1,
            "", refused + "\"\u7248\" has characters above U+00FF, which a package cannot carry\n");
        row("create from an unreadable file", kCreate + QStringList{"a.bin", "missing.bin"}, 1, "",
            refused + "cannot read missing.bin: No such file or directory\n");
        row("create from a directory", kCreate + QStringList{"sub"}, 1, "",
            refused + "cannot read sub: is a directory\n");
        row("create over one of its files", kCreate + QStringList{"a.bin", "./out.pkg"}, 1, "",
            refused + "./out.pkg is both the output and a file to pack\n");
        row("create two files of one name", kCreate + QStringList{"sub/c.txt", "other/c.txt"}, 1,
            "", refused + "sub/c.txt and other/c.txt would both be extracted as c.txt\n");
        row("create on a full disk", QStringList{"--fsize"} + kCreate + QStringList{"a.bin"}, 1, "",
            refused + "cannot write *");

        // info, verify and extract of a whole package.
        row("info", {"info", "good.pkg"}, 0,
            "type: T1\ninformation:\n  1: KT310\n  2: v2.1\n  3: 5%\n  4: \n  5: \nitems: 3\n"
            "  1: a.bin\n     target: /tmp/upgrade\n     md5:    %A\n     size:   10485765\n"
            "     md5 ok: yes\n  2: empty.bin\n     target: /tmp/upgrade\n     md5:    %E\n"
            "     size:   0\n     md5 ok: yes\n  3: sub/c.txt\n     target: /tmp/upgrade\n"
            "     md5:    %C\n     size:   15\n     md5 ok: yes\n",
            "");
        row("info --json", {"info", "--json", "flip.pkg"}, 0,
            R"({"type": "T1", "information": ["KT310", "v2.1", "5%", "", ""], "items": [
               {"name": "a.bin", "target": "/tmp/upgrade", "md5": "%A", "size": 10485765, "md5Ok": true},
               {"name": "empty.bin", "target": "/tmp/upgrade", "md5": "%E", "size": 0, "md5Ok": true},
               {"name": "sub/c.txt", "target": "/tmp/upgrade", "md5": "%C", "size": 15, "md5Ok": false}]})",
            "");
        row("verify", {"verify", "good.pkg"}, 0, "good.pkg: OK\n", "");
        row("extract", {"extract", "good.pkg", "-C", "out"}, 0, "", "",
            {"out/a.bin==a.bin", "out/empty.bin==empty.bin", "out/c.txt==sub/c.txt"});

        // Damaged packages and files that are none.
        const QString verify = "upgrade-pack: verify %1.pkg: ";
        row("verify a flipped byte", {"verify", "flip.pkg"}, 1, "",
            verify.arg("flip") + "item 3 (sub/c.txt): md5 mismatch: expected %C, actual %F\n");
        row("verify a truncated package", {"verify", "cut.pkg"}, 1, "",
            verify.arg("cut") + "item 3 (sub/c.txt): truncated payload: 0 of 15 bytes\n" +
                verify.arg("cut") + "item 3 (sub/c.txt): md5 mismatch: expected %C, actual %E\n");
        row("verify --json", {"verify", "--json", "flip.pkg"}, 1,
            R"({"ok": false, "problems": ["item 3 (sub/c.txt): md5 mismatch: expected %C, actual %F"]})",
            "");
        row("verify trailing bytes", {"verify", "trail.pkg"}, 1, "",
            verify.arg("trail") + "3 bytes follow the last item\n");
        row("extract a truncated package", {"extract", "cut.pkg", "-C", "out"}, 1, "",
            "upgrade-pack: extract cut.pkg: item 3 (sub/c.txt): truncated payload: 0 of 15 "
            "bytes\n");
        row("extract over the package itself", {"extract", "self.pkg", "-C", "."}, 1, "",
            "upgrade-pack: extract self.pkg: self.pkg would overwrite the package itself\n");
        row("extract on a full disk", {"--fsize", "extract", "good.pkg", "-C", "out"}, 1, "",
            "upgrade-pack: extract good.pkg: cannot write a.bin into out\n");
        for (const char* verb : {"info", "verify", "extract"})
            row(qPrintable(QString(verb) + " of a plain archive"), {verb, "plain.tar"}, 1, "",
                QString("upgrade-pack: %1 plain.tar: not an upgrade package\n").arg(verb));
        row("extract onto a file", {"extract", "plain.tar", "-C", "plain.tar/sub"}, 1, "",
            "upgrade-pack: extract plain.tar: plain.tar: not a directory\n");
        row("info of a missing file", {"info", "none.pkg"}, 1, "",
            "upgrade-pack: info none.pkg: cannot open none.pkg: No such file or directory\n");

        // firmware: plain tar for a last suffix "tar" in any case, bzip2 otherwise; the manifest
        // lists every file and replaces one that was there.
        const QString manifest = "%K  Image\n%U  boot/uboot.bin\n";
        for (const char* name : {"fw.tar", "fw.TAR", "fw.tar.bz2", "firmware"})
            row(name, {"firmware", "-o", name, "fw"}, 0, "", "",
                {QString(name) +
                     (QString(name).endsWith("ar", Qt::CaseInsensitive) ? "^ota_file/" : "^BZh"),
                 QString("tar:%1=ota_file/Image ota_file/boot/ ota_file/boot/uboot.bin "
                         "ota_file/fileMd5s")
                     .arg(name),
                 QString("tar:%1:ota_file/fileMd5s=").arg(name) + manifest});
        const QString firmware = "upgrade-pack: firmware out.pkg: ";
        row("firmware of a path with white space", {"firmware", "-o", "out.pkg", "spaced"}, 1, "",
            firmware + "my notes.txt: a manifest cannot name a path with white space\n");
        row("firmware of a symbolic link", {"firmware", "-o", "out.pkg", "linked"}, 1, "",
            firmware + "link: symbolic links are not supported\n");
        row("firmware of no directory", {"firmware", "-o", "out.pkg", "none"}, 1, "",
            firmware + "none: no such directory\n");
        row("firmware of dot files alone", {"firmware", "-o", "out.pkg", "dots"}, 1, "",
            firmware + "skipped .gitkeep: dot files are not archived\n" + firmware +
                "dots holds no files to archive\n");
        row("firmware into its own directory", {"firmware", "-o", "fw/Image", "fw"}, 1, "",
            "upgrade-pack: firmware fw/Image: fw/Image is inside fw, the directory to archive\n");
        row("firmware named for gzip", {"firmware", "-o", "out.tar.gz", "fw"}, 1, "",
            "upgrade-pack: firmware out.tar.gz: .gz names another compression, but the device "
            "unpacks the archive as bzip2: name it out.tar.bz2, or out.tar for no compression\n");
        row("firmware on a full disk", {"--fsize", "firmware", "-o", "out.pkg", "big"}, 1, "",
            firmware + "cannot write out.pkg: *");
    }
    void tool()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(QStringList, after);
        const QString dir = m_dir.filePath(QTest::currentDataTag());
        QCOMPARE(QProcess::execute("cp", {"-al", base(), dir}), 0);
        const QStringList before = tree(dir);
        std::signal(SIGXFSZ, SIG_IGN);
        const Run result = upgradePack(dir, args);
        QCOMPARE(result.code, code);
        for (const auto& [actual, wanted] :
             {qMakePair(result.out, out), qMakePair(result.err, err)}) {
            const QString expected = expand(wanted);
            if (expected.startsWith('{'))
                QCOMPARE(QJsonDocument::fromJson(actual.toUtf8()),
                         QJsonDocument::fromJson(expected.toUtf8()));
            else if (expected.endsWith('*'))
                QVERIFY2(actual.startsWith(expected.chopped(1)), qPrintable(actual));
            else
                QCOMPARE(actual, expected);
        }
        if (code != 0)
            QCOMPARE(tree(dir), before);
        for (const QString& check : after) {
            const QString want = expand(check.section(QRegularExpression("==|=|\\^"), 1));
            const QString spec = check.section(QRegularExpression("==|=|\\^"), 0, 0);
            if (check.startsWith("tar:") && spec.count(':') == 2) {
                QCOMPARE(run("tar", {"-xOf", spec.section(':', 1, 1), spec.section(':', 2)}, dir),
                         want);
            } else if (check.startsWith("tar:")) {
                QStringList members = run("tar", {"-tf", spec.mid(4)}, dir).split('\n');
                members.removeAll(QString());
                QCOMPARE(members.join(' '), want);
            } else if (check.contains("==")) {
                QVERIFY2(readFile(dir + '/' + spec) == readFile(dir + '/' + want),
                         qPrintable(check));
            } else {
                QVERIFY2(readFile(dir + '/' + spec).startsWith(want.toUtf8()), qPrintable(check));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestUpgradePack)
#include "tst_upgradepack.moc"
