#include "devicesandbox.h"
#include "upgradescanner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>

namespace {

struct Run {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

/// Runs upgrade-pack in dir with the given arguments, optionally under a wrapper command.
Run upgradePack(const QString& dir, const QStringList& arguments,
                const QStringList& wrapper = QStringList())
{
    QStringList command =
        wrapper + DeviceSandbox::targetCommand(QStringLiteral(UPGRADE_PACK_BIN)) + arguments;
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(command.takeFirst(), command);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.code = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray someBytes(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = quint32(seed) + 7;
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    return bytes;
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

const QStringList kCreate = {"create", "-o", "out.pkg", "--type", "T1", "--model", "KT310"};

} // namespace

class TestUpgradePack : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    /// A fresh directory with a.bin (two chunks, unless smaller), empty.bin and sub/c.txt.
    QString sources(int size = 10485760 + 5)
    {
        static int n = 0;
        const QString dir = path(QStringLiteral("src%1").arg(++n));
        QDir().mkpath(dir + "/sub");
        writeAll(dir + "/a.bin", someBytes(size, n));
        writeAll(dir + "/empty.bin", QByteArray());
        writeAll(dir + "/sub/c.txt", "firmware notes\n");
        return dir;
    }

private slots:
    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("stderrStart");
        QTest::addColumn<QString>("stdoutStart");
        QTest::newRow("no verb") << QStringList() << 2 << "Usage: upgrade-pack VERB"
                                 << "";
        QTest::newRow("help") << QStringList{"--help"} << 0 << ""
                              << "Usage: upgrade-pack VERB";
        QTest::newRow("unknown verb")
            << QStringList{"pack"} << 2 << "upgrade-pack: usage: unknown verb pack\n"
            << "";
        for (const char* verb : {"create", "info", "extract", "verify", "firmware"})
            QTest::newRow(verb) << QStringList{verb, "--help"} << 0 << ""
                                << QStringLiteral("Usage: upgrade-pack %1 ").arg(verb);
        QTest::newRow("create without files")
            << kCreate << 2 << "upgrade-pack: create: missing arguments"
            << "";
        QTest::newRow("create without a type")
            << QStringList{"create", "-o", "x", "--model", "m", "f"} << 2
            << "upgrade-pack: create: --type is required\n"
            << "";
        QTest::newRow("create with an unknown type")
            << QStringList{"create", "-o", "x", "--model", "m", "--type", "T5", "f"} << 2
            << "upgrade-pack: create: unknown type T5; one of: T0, T1, T2, T3, T4\n"
            << "";
        QTest::newRow("create with five --info")
            << kCreate + QStringList{"--info", "1", "--info", "2", "--info", "3",
                                     "--info", "4", "--info", "5", "f"}
            << 2 << "upgrade-pack: create: at most four --info entries\n"
            << "";
        QTest::newRow("unknown option") << QStringList{"verify", "--fast", "p"} << 2
                                        << "upgrade-pack: verify: Unknown option 'fast'.\n"
                                        << "";
        QTest::newRow("two packages")
            << QStringList{"info", "p", "q"} << 2 << "upgrade-pack: info: unexpected argument q\n"
            << "";
        QTest::newRow("firmware without output")
            << QStringList{"firmware", "d"} << 2 << "upgrade-pack: firmware: --output is required\n"
            << "";
    }
    void usage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, stderrStart);
        QFETCH(QString, stdoutStart);
        const Run run = upgradePack(m_dir.path(), arguments);
        QCOMPARE(run.code, code);
        QVERIFY2(run.err.startsWith(stderrStart.toUtf8()), run.err.constData());
        QVERIFY2(run.out.startsWith(stdoutStart.toUtf8()), run.out.constData());
        QVERIFY(!QFile::exists(path("x")));
    }

    void createInfoVerifyExtract()
    {
        const QString src = sources();
        const Run created = upgradePack(
            src, kCreate + QStringList{"--info", "v2.1", "--info", "5%", "--target", "/tmp/upgrade",
                                       "a.bin", "empty.bin", src + "/sub/c.txt"});
        QCOMPARE(created.code, 0);
        QCOMPARE(created.err, QByteArray());
        QCOMPARE(created.out, QByteArray());

        const Run info = upgradePack(src, {"info", "--json", "out.pkg"});
        QCOMPARE(info.code, 0);
        QCOMPARE(info.err, QByteArray());
        const QJsonObject json = QJsonDocument::fromJson(info.out).object();
        QCOMPARE(json.value("type").toString(), QStringLiteral("T1"));
        QCOMPARE(json.value("information").toArray(), QJsonArray({"KT310", "v2.1", "5%", "", ""}));
        const QJsonArray items = json.value("items").toArray();
        const QStringList names = {"a.bin", "empty.bin", src + "/sub/c.txt"};
        QCOMPARE(items.size(), names.size());
        for (int i = 0; i < names.size(); ++i) {
            const QJsonObject item = items.at(i).toObject();
            const QString file = QDir(src).filePath(names.at(i));
            QCOMPARE(item.value("name").toString(), names.at(i));
            QCOMPARE(item.value("target").toString(), QStringLiteral("/tmp/upgrade"));
            QCOMPARE(item.value("md5").toString(), UpgradeScanner::g_GenMd5(file));
            QCOMPARE(item.value("size").toDouble(), double(QFileInfo(file).size()));
            QCOMPARE(item.value("md5Ok").toBool(), true);
        }

        const Run text = upgradePack(src, {"info", "out.pkg"});
        QCOMPARE(text.code, 0);
        QVERIFY(text.out.startsWith("type: T1\ninformation:\n  1: KT310\n  2: v2.1\n  3: 5%\n"));
        QVERIFY(text.out.contains("  2: empty.bin\n     target: /tmp/upgrade\n     md5:    "
                                  "d41d8cd98f00b204e9800998ecf8427e\n     size:   0\n"
                                  "     md5 ok: yes\n"));

        const Run verified = upgradePack(src, {"verify", "out.pkg"});
        QCOMPARE(verified.code, 0);
        QCOMPARE(verified.out, QByteArray("out.pkg: OK\n"));
        QCOMPARE(verified.err, QByteArray());

        const QString dest = path("extracted");
        QDir().mkpath(dest);
        writeAll(dest + "/c.txt", "an older c.txt");
        const Run extracted = upgradePack(src, {"extract", "out.pkg", "-C", dest});
        QCOMPARE(extracted.code, 0);
        QCOMPARE(extracted.err, QByteArray());
        QCOMPARE(entries(dest), QStringList({"a.bin", "c.txt", "empty.bin"}));
        for (const QString& name : names)
            QVERIFY(readAll(dest + "/" + QFileInfo(name).fileName()) ==
                    readAll(QDir(src).filePath(name)));
    }

    void createRefusals_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QString>("why");
        QStringList many;
        for (int i = 0; i < 32768; ++i)
            many << "a.bin";
        QTest::newRow("32768 files")
            << many << QStringList() << "too many files: 32768 (a package carries at most 32767)";
        QTest::newRow("text above U+00FF")
            << QStringList{"a.bin"} << QStringList{"--info", QStringLiteral("\u7248\u672c")}
            << QStringLiteral("\"\u7248\u672c\" has characters above U+00FF, which a package "
                              "cannot carry");
        QTest::newRow("unreadable file") << QStringList{"a.bin", "missing.bin"} << QStringList()
                                         << "cannot read missing.bin: No such file or directory";
        QTest::newRow("a directory")
            << QStringList{"sub"} << QStringList() << "cannot read sub: is a directory";
        QTest::newRow("the output is a file") << QStringList{"a.bin", "./out.pkg"} << QStringList()
                                              << "./out.pkg is both the output and a file to pack";
        QTest::newRow("two files extract to one")
            << QStringList{"sub/c.txt", "other/c.txt"} << QStringList()
            << "sub/c.txt and other/c.txt would both be extracted as c.txt";
    }
    void createRefusals()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, extra);
        QFETCH(QString, why);
        const QString src = sources();
        QDir().mkpath(src + "/other");
        writeAll(src + "/other/c.txt", "another");
        writeAll(src + "/out.pkg", "an older package");
        const QStringList before = entries(src);

        const Run run = upgradePack(src, kCreate + extra + files);
        QCOMPARE(run.code, 1);
        QCOMPARE(QString::fromUtf8(run.err), "upgrade-pack: create out.pkg: " + why + "\n");
        QCOMPARE(readAll(src + "/out.pkg"), QByteArray("an older package"));
        QCOMPARE(entries(src), before);
    }

    void fullDiskLeavesNothing_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("why");
        QTest::newRow("create") << kCreate + QStringList{"a.bin"} << "out.pkg"
                                << "upgrade-pack: create out.pkg: cannot write ";
        QTest::newRow("extract") << QStringList{"extract", "full.pkg", "-C", "."} << "a.bin"
                                 << "upgrade-pack: extract full.pkg: cannot write a.bin into .\n";
        QTest::newRow("firmware") << QStringList{"firmware", "-o", "out.pkg", "."} << "out.pkg"
                                  << "upgrade-pack: firmware out.pkg: cannot write out.pkg: ";
    }
    void fullDiskLeavesNothing()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        QFETCH(QString, why);
        if (QStandardPaths::findExecutable("prlimit").isEmpty())
            QSKIP("prlimit is not installed");
        const QString src = sources();
        QCOMPARE(upgradePack(src, kCreate + QStringList{"a.bin"}).code, 0);
        QVERIFY(QFile::rename(src + "/out.pkg", src + "/full.pkg"));
        QVERIFY(writeAll(src + "/" + output, "older contents"));
        const QStringList before = entries(src);
        // A file size limit fails the writes as a full disk would; the signal it raises is
        // ignored, so the tool sees the error.
        std::signal(SIGXFSZ, SIG_IGN);
        const Run run = upgradePack(src, arguments, {"prlimit", "--fsize=1000000", "--"});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.startsWith(why.toUtf8()), run.err.constData());
        QCOMPARE(readAll(src + "/" + output), QByteArray("older contents"));
        QCOMPARE(entries(src), before);
    }

    void damagedPackages_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("present"); // bytes of a.bin the package still holds
        QTest::addColumn<QStringList>("verifyErrors");
        QTest::addColumn<bool>("md5Ok");
        QTest::addColumn<QString>("infoTruncated");
        const QString mismatch = "item 1 (a.bin): md5 mismatch: expected %1, actual %2";
        QTest::newRow("a flipped byte")
            << "flip" << 10485765 << QStringList{mismatch} << false << "";
        // The last chunk is cut short: the device reads it as empty, the findings count it.
        QTest::newRow("truncated")
            << "cut 3" << 10485762
            << QStringList{"item 1 (a.bin): truncated payload: 10485762 of 10485765 bytes",
                           mismatch}
            << false << "     truncated: 10485762 bytes present\n";
        QTest::newRow("last 1000 bytes cut off")
            << "cut 1000" << 10484769
            << QStringList{"item 1 (a.bin): truncated payload: 10484769 of 10485765 bytes",
                           mismatch}
            << false << "     truncated: 10484769 bytes present\n";
        QTest::newRow("cut inside the item table")
            << "keep 150" << 0
            << QStringList{"the package ends inside its information or item table",
                           "item 1 (a.bin): truncated payload: the package ends before its size",
                           "item 1 (a.bin): md5 mismatch: expected , actual %2"}
            << false << "truncated: the package ends inside its information or item table\n";
        QTest::newRow("trailing bytes")
            << "append" << 10485765 << QStringList{"3 bytes follow the last item"} << true << "";
    }
    void damagedPackages()
    {
        QFETCH(QString, damage);
        QFETCH(int, present);
        QFETCH(QStringList, verifyErrors);
        QFETCH(bool, md5Ok);
        QFETCH(QString, infoTruncated);
        const QString src = sources();
        QCOMPARE(upgradePack(src, kCreate + QStringList{"a.bin"}).code, 0);
        QByteArray bytes = readAll(src + "/out.pkg");
        QByteArray damaged = readAll(src + "/a.bin").left(present);
        if (damage == "flip") {
            bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 1);
            damaged[damaged.size() - 1] = char(damaged.at(damaged.size() - 1) ^ 1);
        } else if (damage.startsWith("cut ")) {
            bytes.chop(damage.mid(4).toInt());
        } else if (damage.startsWith("keep ")) {
            bytes.truncate(damage.mid(5).toInt());
        } else {
            bytes += "xyz";
        }
        QVERIFY(writeAll(src + "/out.pkg", bytes));

        const QString expected = UpgradeScanner::g_GenMd5(src + "/a.bin");
        const QString actual =
            QString::fromLatin1(QCryptographicHash::hash(damaged, QCryptographicHash::Md5).toHex());
        const auto expand = [&](const QString& line) {
            return QString(line).replace("%1", expected).replace("%2", actual);
        };
        QString err;
        for (const QString& line : verifyErrors)
            err += "upgrade-pack: verify out.pkg: " + expand(line) + "\n";
        const Run verified = upgradePack(src, {"verify", "out.pkg"});
        QCOMPARE(verified.code, 1);
        QCOMPARE(QString::fromUtf8(verified.err), err);
        QCOMPARE(verified.out, QByteArray());

        const Run info = upgradePack(src, {"info", "--json", "out.pkg"});
        QCOMPARE(info.code, 0);
        const QJsonObject json = QJsonDocument::fromJson(info.out).object();
        const QJsonObject item = json.value("items").toArray().at(0).toObject();
        QCOMPARE(item.value("md5Ok").toBool(), md5Ok);
        QCOMPARE(item.value("truncated").toBool() || json.value("truncated").toBool(),
                 !infoTruncated.isEmpty());
        const Run text = upgradePack(src, {"info", "out.pkg"});
        QCOMPARE(text.code, 0);
        QVERIFY(infoTruncated.isEmpty() ? !text.out.contains("truncated")
                                        : text.out.contains(infoTruncated.toUtf8()));

        // Extract writes nothing unless every file is whole and, without --force, matches its md5;
        // it names the first finding of verify.
        for (const bool force : {false, true}) {
            const QString dest = path(QStringLiteral("extract-%1-%2").arg(damage).arg(force));
            QStringList arguments{"extract", "out.pkg", "-C", dest};
            if (force)
                arguments << "--force";
            const Run extracted = upgradePack(src, arguments);
            const bool refused = damage != "append" && !(force && damage == "flip");
            QCOMPARE(extracted.code, refused ? 1 : 0);
            QCOMPARE(QString::fromUtf8(extracted.err),
                     refused
                         ? "upgrade-pack: extract out.pkg: " + expand(verifyErrors.first()) + "\n"
                         : QString());
            QVERIFY(refused ? entries(dest).isEmpty() : readAll(dest + "/a.bin") == damaged);
        }
    }

    void notAPackage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("err");
        QTest::newRow("info") << QStringList{"info", "plain.tar"}
                              << "upgrade-pack: info plain.tar: not an upgrade package\n";
        QTest::newRow("info --json") << QStringList{"info", "--json", "plain.tar"}
                                     << "upgrade-pack: info plain.tar: not an upgrade package\n";
        QTest::newRow("verify") << QStringList{"verify", "plain.tar"}
                                << "upgrade-pack: verify plain.tar: not an upgrade package\n";
        QTest::newRow("extract") << QStringList{"extract", "plain.tar", "-C", "x"}
                                 << "upgrade-pack: extract plain.tar: not an upgrade package\n";
        QTest::newRow("missing")
            << QStringList{"info", "none.pkg"}
            << "upgrade-pack: info none.pkg: cannot open none.pkg: No such file or directory\n";
    }
    void notAPackage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, err);
        writeAll(path("plain.tar"), someBytes(5000, 1));
        const Run run = upgradePack(m_dir.path(), arguments);
        QCOMPARE(run.code, 1);
        QCOMPARE(QString::fromUtf8(run.err), err);
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(entries(path("x")), QStringList());
    }

    void extractNeverOverwritesThePackage()
    {
        const QString src = sources();
        QDir().mkpath(src + "/build");
        QVERIFY(writeAll(src + "/build/pkg", "looks like the package's name"));
        QCOMPARE(upgradePack(src, kCreate + QStringList{"empty.bin", "build/pkg"}).code, 0);
        QVERIFY(QFile::rename(src + "/out.pkg", src + "/pkg"));
        const QByteArray package = readAll(src + "/pkg");
        const QStringList before = entries(src);
        const Run run = upgradePack(src, {"extract", "pkg", "-C", "."});
        QCOMPARE(run.code, 1);
        QCOMPARE(run.err,
                 QByteArray("upgrade-pack: extract pkg: pkg would overwrite the package itself\n"));
        QVERIFY(readAll(src + "/pkg") == package);
        QCOMPARE(entries(src), before);
    }

    void firmware_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<bool>("compressed");
        QTest::newRow("fw.tar") << "fw.tar" << false;
        QTest::newRow("fw.TAR") << "fw.TAR" << false;
        QTest::newRow("fw.tar.bz2") << "fw.tar.bz2" << true;
        QTest::newRow("no dot") << "firmware" << true;
    }
    void firmware()
    {
        QFETCH(QString, output);
        QFETCH(bool, compressed);
        const QString src = sources(100000);
        QVERIFY(writeAll(src + "/fileMd5s", "an old manifest"));
        const Run run = upgradePack(m_dir.path(), {"firmware", "-o", output, src});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.err, QByteArray());
        const QByteArray archive = readAll(path(output));
        QCOMPARE(archive.startsWith("BZh"), compressed);

        const QString unpacked = path("unpacked-" + output);
        QDir().mkpath(unpacked);
        QProcess tar;
        tar.start("tar", {compressed ? "-xjf" : "-xf", path(output), "-C", unpacked});
        QVERIFY(tar.waitForFinished() && tar.exitCode() == 0);
        QCOMPARE(entries(unpacked), QStringList({"ota_file"}));
        const QString ota = unpacked + "/ota_file";
        QCOMPARE(entries(ota), QStringList({"a.bin", "empty.bin", "fileMd5s", "sub"}));
        QVERIFY(readAll(ota + "/a.bin") == readAll(src + "/a.bin"));
        QCOMPARE(QString::fromUtf8(readAll(ota + "/fileMd5s")),
                 UpgradeScanner::g_GenMd5(src + "/a.bin") + "  a.bin\n" +
                     UpgradeScanner::g_GenMd5(src + "/empty.bin") + "  empty.bin\n" +
                     UpgradeScanner::g_GenMd5(src + "/sub/c.txt") + "  sub/c.txt\n");
    }

    void firmwareRefusals_data()
    {
        QTest::addColumn<QString>("prepare");
        QTest::addColumn<QString>("why");
        QTest::newRow("white space") << "space"
                                     << "sub/my notes.txt: a manifest cannot name a path with "
                                        "white space";
        QTest::newRow("symbolic link") << "link"
                                       << "sub/link: symbolic links are not supported";
        QTest::newRow("not a directory") << "missing"
                                         << "%1: not a directory";
    }
    void firmwareRefusals()
    {
        QFETCH(QString, prepare);
        QFETCH(QString, why);
        QString src = sources(10);
        if (prepare == "space")
            writeAll(src + "/sub/my notes.txt", "x");
        else if (prepare == "link")
            QFile::link(src + "/a.bin", src + "/sub/link");
        else
            src += "/none";
        QVERIFY(writeAll(path("old.tar"), "an older archive"));
        const Run run = upgradePack(m_dir.path(), {"firmware", "-o", "old.tar", src});
        QCOMPARE(run.code, 1);
        QCOMPARE(QString::fromUtf8(run.err),
                 "upgrade-pack: firmware old.tar: " + QString(why).replace("%1", src) + "\n");
        QCOMPARE(readAll(path("old.tar")), QByteArray("an older archive"));
    }
};

QTEST_GUILESS_MAIN(TestUpgradePack)
#include "tst_upgradepack.moc"
