// The device program end to end: one table of scenarios, each run by the real program in a
// device sandbox of its own, all at once. A row gives the package, the device's files and
// scripted tools, the exact status stream after the start-up message and the disk afterwards.
// Every row also checks the start-up timing, the spacing of messages, the result files, that
// the program idles after its last message and that nothing outside the upgrade's own places
// changed.
#include "devicerun.h"
#include "fixtures.h"

#include <QDateTime>
#include <QDirIterator>
#include <QRegularExpression>
#include <QtTest>

#include <sys/stat.h>

#include <map>
#include <memory>

namespace {

const QByteArray P = "/tmp/upgrade/p.bin";
const QByteArray O = "/tmp/upgrade/ota_file/";
const QString kSaved = QStringLiteral("/usr/scanner/config/scannerConfig0.json");
const QString kIssue = QStringLiteral("/etc/issue");
const QString kConfig = QStringLiteral("/usr/scanner/config/scannerConfig.json");
const QString kSavePara = QStringLiteral("/tmp/upgrade/savepara.txt");
const QString kMarker = QStringLiteral("/usr/scanner/config/upgradeError.json");
const QString kLog = QStringLiteral("/usr/scanner/config/upgradeLog.json");

QByteArray identity(const QByteArray& model, const QByteArray& device = "KT310")
{
    return "UB21sys type:" + device + "sys real type:m_type:KT310file type:" + model;
}
QByteArray checked(const QByteArray& model = "KT310", const QByteArray& pkg = P)
{
    return "UB11" + pkg + identity(model) + "UB12delete file:" + pkg + "UB13start upgrade!";
}
QByteArray verifying(const QByteArray& archive = "fw.tar.bz2", const QByteArray& head = checked())
{
    return head + "UB14unpack file....UB15delete file:/tmp/upgrade/" + archive +
           "-=Check the decompressed files....";
}
const QByteArray kNoPara = "runtxtOrder--filePa--/tmp/savepara.txtruntxtOrder--filePa-not "
                           "isFile-/tmp/savepara.txt";
const QByteArray kDone = kNoPara + "UB99upgrade success! reboot!";
const QByteArray kUC19 = "UC19analysisFileMd5 err..";

Files standardFirmware(const QByteArray& version = "1")
{
    return {{"Image", "kernel " + version},
            {"board.dtb", "device tree " + version},
            {"uboot.bin", "boot loader " + version},
            {"520M0App.bin", "mcu " + version},
            {"rootfs.ext4", "root fs " + version},
            {"rpmsg.bin", "rpmsg " + version},
            {"scanner-app.sh", "#!/bin/sh\n" + version},
            {"notes.txt", "left alone"}};
}
const QByteArray kStages = "UB16ota kernel-image...." + O + "Image" + "UB17ota kernel-dtb...." + O +
                           "board.dtb" + "UB18ota uboot...." + O + "uboot.bin" +
                           "UB20MCU ota uboot...." + O + "520M0App.bin" +
                           "UB19ota scanner.rootfs.ext4...." + O + "rootfs.ext4";
const QByteArray kCalls = "calls=iap_update| -u |" + O + "520M0App.bin\nkillall|scanner-app\n" +
                          "ota_update|" + O + "Image|kernel-image\nota_update|" + O +
                          "board.dtb|kernel-dtb\nota_update|" + O +
                          "rootfs.ext4|ext4\nota_update|" + O + "uboot.bin|uboot\nscp|" + O +
                          "rpmsg.bin|/run/media/mmcblk2p1/\nscp|" + O + "scanner-app.sh|/etc/";

QByteArray fwPackage(const Files& files, const QString& type = "T1", const QString& model = "KT310",
                     const QString& name = "fw.tar.bz2")
{
    return makePackage({{name, makeArchive(firmware(files), name.endsWith(".TAR"))}}, type, model)
        .bytes;
}
QByteArray archivePackage(const Files& entries, const QStringList& tarOptions = {})
{
    return makePackage({{"fw.tar.bz2", makeArchive(entries, false, tarOptions)}}).bytes;
}

/// Files (not directories) of the appliance, as device path -> "type size mtime".
QMap<QString, QString> snapshot(const DeviceRun& run)
{
    QMap<QString, QString> state;
    for (const char* top : {"/tmp", "/run", "/etc", "/usr"}) {
        const QString base = run.hostPath(QLatin1String(top));
        QDirIterator it(base, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            struct stat st;
            const QString path = it.next();
            if (lstat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode))
                state[QLatin1String(top) + path.mid(base.size())] = QStringLiteral("%1 %2 %3.%4")
                                                                        .arg(st.st_mode >> 12)
                                                                        .arg(st.st_size)
                                                                        .arg(st.st_mtim.tv_sec)
                                                                        .arg(st.st_mtim.tv_nsec);
        }
    }
    return state;
}

/// Paths a run changed although it has no business there.
QStringList touchedOutside(const QMap<QString, QString>& before,
                           const QMap<QString, QString>& after, const QString& packageDir)
{
    static const QRegularExpression allowed(QStringLiteral(
        "^(/tmp/upgrade/|/run/(sandbox|media/mmcblk2p1)/|/etc/scanner-app.sh$|/usr/scanner/"
        "Corefile/|"
        "/usr/scanner/config/(upgradeError.json|upgradeLog.json|logsave.txt|scannerConfig0.json)$"
        "|/usr/(sbin/reboot|bin/killall)$)"));
    QStringList out;
    for (const QString& path : before.keys() + after.keys()) {
        if (before.value(path) != after.value(path) && !allowed.match(path).hasMatch() &&
            !path.startsWith(packageDir + '/') && !out.contains(path))
            out << path;
    }
    return out;
}

struct Row {
    QByteArray package;  ///< placed at P; null: none
    QByteArray expected; ///< the stream after the start-up message; a final '*' makes it a prefix
    QMap<QString, QByteArray> device{{kIssue, "product_model=KT310\n"}};
    QStringList after;
    QStringList args{QString::fromLatin1(P)};
    QString interrupt; ///< "CODE DELAY-MS" kills, "close CODE" closes stdout; then a fresh run
    QString tmpSize;
    std::unique_ptr<DeviceRun> run = std::make_unique<DeviceRun>();
    QMap<QString, QString> before;

    Row& with(const QString& path, const QByteArray& data)
    {
        device[path] = data;
        return *this;
    }
    Row& check(const QStringList& checks)
    {
        after += checks;
        return *this;
    }
};

} // namespace

class TestUpgrade : public QObject {
    Q_OBJECT

    std::map<QString, Row> m_rows;

    Row& add(const QString& name, const QByteArray& package, const QByteArray& expected)
    {
        Row& row = m_rows[name];
        row.package = package;
        row.expected = expected;
        return row;
    }
    void table();
    void interrupt();

private slots:
    void initTestCase()
    {
        table();
        for (auto& [name, row] : m_rows) {
            for (auto it = row.device.begin(); it != row.device.end(); ++it)
                row.run->write(it.key(), it.value());
            if (!row.package.isNull())
                row.run->write(QString::fromLatin1(P), row.package);
            row.run->setTmpSize(row.tmpSize);
            row.before = snapshot(*row.run);
            QVERIFY2(row.run->start(row.args), qPrintable(name));
        }
        interrupt();
    }

    void scenario_data()
    {
        QTest::addColumn<QString>("name");
        for (const auto& row : m_rows)
            QTest::newRow(qPrintable(row.first)) << row.first;
    }
    void scenario()
    {
        QFETCH(QString, name);
        Row& row = m_rows[name];
        DeviceRun& run = *row.run;
        const bool prefix = row.expected.endsWith('*');
        const QByteArray expected = "UB10-quillMark-202312271830_M" +
                                    row.expected.left(row.expected.size() - (prefix ? 1 : 0));
        DeviceRun::waitUntil([&] { return run.output().size() >= expected.size(); }, 120000);
        // Anything more would come at least 550 ms after the last message, or 1 s more after
        // a stage.
        DeviceRun::waitUntil(
            [&] {
                return !run.chunks().isEmpty() &&
                       QDateTime::currentMSecsSinceEpoch() - run.chunks().last().arrivalMs > 1600;
            },
            60000);
        const QByteArray output = run.output();
        QCOMPARE(QString::fromUtf8(prefix ? output.left(expected.size()) : output),
                 QString::fromUtf8(expected));
        QVERIFY2(run.isRunning(), "the program must idle after its last message");
        // Each message waits 500 ms before and 50 ms after it is written: the n-th cannot
        // arrive earlier than that after the exec, however late the reads come.
        const QList<DeviceRun::Chunk> chunks = run.chunks();
        for (int i = 0; i < chunks.size(); ++i)
            QVERIFY2(chunks.at(i).arrivalMs - run.execMs() >= 500 + 550 * i, chunks.at(i).bytes);
        run.stop();

        const QString last =
            QString::fromUtf8(expected).section(QRegularExpression("(?=U[BC]\\d\\d)"), -1);
        const QByteArray marker = run.read(kMarker);
        if (!row.device.contains(kMarker))
            QVERIFY(last.startsWith("UC") ? marker == "" : marker.isNull());
        if (last.startsWith("UB99") && row.tmpSize.isEmpty() && !row.device.contains(kLog))
            QVERIFY(QRegularExpression("^\\d{17}--upgradesuccess--" + row.args.first() + "$")
                        .match(QString::fromUtf8(run.read(kLog)))
                        .hasMatch());
        const QStringList outside =
            touchedOutside(row.before, snapshot(run), QFileInfo(row.args.value(0)).path());
        QVERIFY2(outside.isEmpty(), qPrintable(outside.join(", ")));

        for (const QString& check : row.after) {
            if (check.startsWith("calls=")) {
                QStringList calls =
                    QString::fromUtf8(run.read("/run/sandbox/calls.log")).split('\n');
                calls.removeAll(QString());
                calls.sort();
                QCOMPARE(calls.join('\n'), check.mid(6));
            } else if (check.startsWith('+') || check.startsWith('-')) {
                QVERIFY2(run.read(check.mid(1)).isNull() == check.startsWith('-'),
                         qPrintable(check));
            } else if (check.contains('~')) {
                const QString text = check.startsWith("trace~")
                                         ? run.trace()
                                         : QString::fromUtf8(run.read(check.section('~', 0, 0)));
                QVERIFY2(text.contains(QRegularExpression(check.section('~', 1))),
                         qPrintable(text));
            } else if (check == "unchanged") {
                QVERIFY(run.read(row.args.first()) == row.package);
            } else if (check.contains('@')) {
                struct stat st;
                QCOMPARE(stat(QFile::encodeName(run.hostPath(check.section('@', 0, 0))), &st), 0);
                QCOMPARE(QString::number(st.st_mode & 0777, 8), check.section('@', 1));
            } else {
                QCOMPARE(run.read(check.section('=', 0, 0)), check.section('=', 1).toUtf8());
            }
        }
    }
};

void TestUpgrade::interrupt()
{
    // Runs to interrupt are stopped where the row says, then start afresh on what they left
    // behind, with a newer package, and must then complete.
    const QByteArray fresh = fwPackage(standardFirmware("2"));
    QElapsedTimer clock;
    clock.start();
    std::map<QString, qint64> seen;
    QStringList problems;
    QVERIFY(DeviceRun::waitUntil(
        [&] {
            bool all = true;
            for (auto& [name, row] : m_rows) {
                if (row.interrupt.isEmpty())
                    continue;
                const QStringList how = row.interrupt.split(' ');
                const bool close = how.first() == "close";
                const QByteArray code = (close ? how.last() : how.first()).toLatin1();
                DeviceRun& run = *row.run;
                if (!seen.count(name) && run.output().contains(code)) {
                    seen[name] = clock.elapsed();
                    if (close)
                        run.closeOutput();
                }
                all = false;
                const bool due =
                    seen.count(name) &&
                    (close ? !run.isRunning() : clock.elapsed() >= seen[name] + how.last().toInt());
                if (!due)
                    continue;
                run.stop();
                if (run.output().contains("UB99") || run.output().contains("UC") ||
                    !run.read("/usr/scanner/config/upgradeLog.json").isNull())
                    problems << name;
                run.write(QString::fromLatin1(P), fresh);
                row.before = snapshot(run);
                row.interrupt.clear();
                run.start(row.args);
            }
            return all;
        },
        120000));
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(", ")));
}

void TestUpgrade::table()
{
    const Files fw = standardFirmware();
    const QByteArray full = fwPackage(fw);
    const QByteArray archive = makeArchive(firmware(fw));
    const QByteArray success = verifying() + kStages + kDone;

    // Start-up and the request.
    add("no argument", {}, "").args = QStringList();
    add("two arguments", full, "").check({"unchanged", "-/tmp/upgrade/fw.tar.bz2"}).args << "b c";
    add("full success", full,
        verifying() + kStages +
            "runtxtOrder--filePa--/tmp/upgrade/savepara.txtruntxtOrder--saveparaJson--1"
            "UB99upgrade success! reboot!")
        .with(kSavePara, R"({"savePara": true})")
        .with(kSaved, "{}")
        .with(kMarker, "")
        .with("/usr/scanner/Corefile/core.1", "core")
        .check({kCalls, "/run/media/mmcblk2p1/rpmsg.bin=rpmsg 1",
                "/etc/scanner-app.sh=#!/bin/sh\n1", "/etc/scanner-app.sh@777",
                "-/usr/scanner/config/upgradeError.json", "+" + kSaved, "-/tmp/upgrade/ota_file",
                "-/tmp/upgrade/fw.tar.bz2", "-/usr/scanner/Corefile",
                "/usr/scanner/config/logsave.txt=/tmp/upgrade/savepara.txt"});
    add("UC11 plain archive", archive, "UB11" + P + "UC11" + P)
        .check({"unchanged", "-/tmp/upgrade/ota_file"});
    add("UC11 T0 package", makePackage({}, "T0").bytes, "UB11" + P + "UC11" + P);
    add("UC12 no such file", {},
        "UB11/tmp/upgrade/none.bin"
        "UC12config analysis err!")
        .args = QStringList{"/tmp/upgrade/none.bin"};
    add("UC12 type T4", fwPackage(fw, "T4"), "UB11" + P + "UC12config analysis err!")
        .check({"unchanged", "-/tmp/upgrade/fw.tar.bz2"});
    add("UC14 digest mismatch", makePackage({{"fw.tar.bz2", archive, md5("other")}}).bytes,
        "UB11" + P + identity("KT310") + "UB12delete file:" + P +
            "UC14Md5 check err: strMd5Orignal=" + md5("other") + ", calcMd5=" + md5(archive) +
            ", filepath=/tmp/upgrade/fw.tar.bz2")
        .check({"-" + P, "+/tmp/upgrade/fw.tar.bz2"});
    add("UC15 two files", makePackage({{"fw.tar.bz2", archive}, {"b.bin", "b"}}).bytes,
        checked() + "UC15type T1 can only contains one file but not 2")
        .check({"+/tmp/upgrade/fw.tar.bz2", "/tmp/upgrade/b.bin=b", "-/tmp/upgrade/ota_file"});
    add("UC15 no files", makePackage({}).bytes,
        checked() + "UC15type T1 can only contains one file but not 0");
    add("UC35 type T2", fwPackage(fw, "T2"), checked() + "UC35Type not T1!")
        .check({"calls=", "+/tmp/upgrade/fw.tar.bz2"});
    add("UC35 type T3", fwPackage(fw, "T3"), checked() + "UC35Type not T1 or T2!");
    const QByteArray kt520 = fwPackage(fw, "T1", "KT520");
    add("UC36 product model decides", kt520, "UB11" + P + "UC36sys type:KT310not file type:KT520")
        .with(kConfig, R"({"DeviceScanner": {"SType": "KT520"}})")
        .check({"+" + P, "+/tmp/upgrade/fw.tar.bz2"});
    add("UC37 scanner type", kt520,
        "UB11" + P + "UC37sys type:sys real type:LR520not file type:KT520")
        .with(kIssue, "system_branch=release\n")
        .with(kConfig, R"({"DeviceScanner": {"SType": "LR520", "x": 1}})");
    add("UC38 built-in model", kt520,
        "UB11" + P + "UC38sys type:sys real type:m_type:KT310not file type:KT520")
        .with(kIssue, "\n")
        .with(kConfig, R"({"DeviceScanner": {"SType": 520}})");
    add("model of the same group; archive named without a dot",
        fwPackage({{"notes.txt", "n"}}, "T1", "KT260", "firmware"),
        verifying("firmware", checked("KT260")) + kDone)
        .check({"calls="});
    add("product model in another case, outside the table; plain .TAR archive",
        fwPackage({{"uboot.bin", "u"}}, "T1", "xy1", "fw.TAR"),
        verifying("fw.TAR", "UB11" + P + identity("xy1", "XY1") + "UB12delete file:" + P +
                                "UB13start upgrade!") +
            "UB18ota uboot...." + O + "uboot.bin" + kDone)
        .with(kIssue, "PRODUCT_MODEL=XY1\n");
    add("scanner type accepted through its group", fwPackage({}, "T1", "KT260"),
        verifying("fw.tar.bz2", "UB11" + P +
                                    "UB21sys type:sys real type:LR310m_type:KT310file "
                                    "type:KT260UB12delete file:" +
                                    P + "UB13start upgrade!") +
            kDone)
        .with(kIssue, "product_model=\n")
        .with(kConfig, R"({"DeviceScanner": {"SType": "LR310"}})");
    add("built-in model accepts a factory build of its group", fwPackage({}, "T1", "FACTORYlr520"),
        verifying("fw.tar.bz2", "UB11" + P + identity("FACTORYlr520", "") + "UB12delete file:" + P +
                                    "UB13start upgrade!") +
            kDone)
        .with(kIssue, "Debian GNU/Linux 12 \\n \\l\n\n");
    add("empty models are the same model", fwPackage({}, "T1", ""),
        verifying("fw.tar.bz2",
                  "UB11" + P + identity("", "") + "UB12delete file:" + P + "UB13start upgrade!") +
            kDone)
        .with(kIssue, "");

    // What the device reads of itself shows in a refusal: its product model, else its scanner
    // type; its memory class only in the trace.
    const QByteArray zz9 = fwPackage({}, "T1", "ZZ9");
    const QList<std::tuple<QString, QByteArray, QByteArray>> issues{
        {"all three keys", "product_model=KT310\nsystem_branch=release\nsystem_version=1.2.3\n",
         "KT310"},
        {"key in capitals", "PRODUCT_MODEL=kt310\n", "kt310"},
        {"16 characters are used", "product_model=X\n", "X"},
        {"15 characters are not", "product_model=\n", ""},
        {"a blank after the separator stays", "product_model= KT310\n", " KT310"},
        {"the value is positional", "  product_model=KT310\n", "l=KT310"},
        {"the first key wins", "product_model=KT310 system_version=9\n", "KT310 system_version=9"},
        {"the last line without line end", "system_branch=main\nproduct_model=LR520", "LR520"},
        {"a later line replaces", "product_model=KT310\nproduct_model=KT260\n", "KT260"},
        {"NUL ends a line", QByteArray("product_model=KT310\0junk\n", 26), "KT310"},
        {"carriage return", "product_model=KT310\r\n", "KT310"}};
    for (const auto& [name, issue, model] : issues)
        add("/etc/issue: " + name, zz9,
            "UB11" + P +
                (model.isEmpty() ? "UC38sys type:sys real type:m_type:KT310"
                                 : "UC36sys type:" + model) +
                "not file type:ZZ9")
            .with(kIssue, issue)
            .check({name == "all three keys" ? R"(trace~"KT310" "release" "1.2.3")" : "+" + P});
    add("scanner type from no object", zz9,
        "UB11" + P + "UC38sys type:sys real type:m_type:KT310not file type:ZZ9")
        .with(kIssue, "")
        .with(kConfig, R"({"DeviceScanner": [{"SType": "ZZ9"}]})");
    const QList<QPair<QByteArray, QByteArray>> memory{
        {"1200000", "1G-1200000"}, {"1200001", "2G-1200001"}, {"2500000", "2G-2500000"},
        {"2500001", "3G-2500001"}, {"lots", "1G-lots"},       {"4294967296", "1G-4294967296"}};
    for (const auto& [total, memoryClass] : memory)
        add("memory class of " + total + " kB", {}, "")
            .with("/proc/meminfo", "MemTotal:       " + total + " kB\nMemFree: 1 kB\n")
            .check({"trace~\"" + memoryClass + "\""})
            .args = QStringList();
    add("memory without its unit", {}, "")
        .with("/proc/meminfo", "MemTotal:        2009876\n")
        .check({R"(trace~/proc/meminfo---- ""\n)"})
        .args = QStringList();

    // The result files: a success log that is a directory loses its record, a second record
    // follows the first on its line, and an error marker that cannot be made stops nothing.
    const QByteArray bareSuccess = verifying() + kDone;
    add("success log is a directory", fwPackage({}), bareSuccess)
        .with(kLog, "<dir>")
        .check({kLog + "=<dir>"});
    add("success records follow each other", fwPackage({}), bareSuccess)
        .with(kLog, "earlier")
        .check({kLog + "~^earlier\\d{17}--upgradesuccess--/tmp/upgrade/p.bin$"});
    add("error marker cannot be made", kt520, "UB11" + P + "UC36sys type:KT310not file type:KT520")
        .with(kMarker, "<dir>")
        .check({kMarker + "=<dir>"});

    // The pipeline before its stages.
    add("UC16 package outside the work directory", {},
        "UB11/tmp/other/p.bin" + identity("KT310") +
            "UB12delete file:/tmp/other/p.binUB13start "
            "upgrade!UC16file not exists :/tmp/upgrade/fw.tar.bz2")
        .with("/tmp/other/p.bin", makePackage({{"/build/fw.tar.bz2", archive, ""}}).bytes)
        .check({"+/tmp/other/fw.tar.bz2"})
        .args = QStringList{"/tmp/other/p.bin"};
    const QByteArray unpacking = checked() + "UB14unpack file....";
    add("UC17 archive without ota_file", archivePackage({{"stuff/a", "x"}}),
        unpacking + "UC17file not exists :/tmp/upgrade/ota_file/")
        .check({"+/tmp/upgrade/fw.tar.bz2", "/tmp/upgrade/stuff/a=x"});
    add("UC17 ota_file is a file", archivePackage({{"ota_file", "x"}}),
        unpacking + "UC17file not exists :/tmp/upgrade/ota_file/");
    add("UC17 not an archive", makePackage({{"fw.tar.bz2", "no tar here"}}).bytes,
        unpacking + "UC17file not exists :/tmp/upgrade/ota_file/");
    add("UC18 archive without manifest", archivePackage({{"ota_file/Image", "k"}}),
        unpacking +
            "UC18The upgrade file is incomplete! /tmp/upgrade/ota_file/fileMd5s is not exist!")
        .with("/usr/scanner/Corefile/core", "c")
        .check({"+/tmp/upgrade/fw.tar.bz2", "-/usr/scanner/Corefile"});

    // Verification against the manifest.
    const auto manifest = [](const QByteArray& text, const Files& files = {{"Image", "k"}}) {
        // The manifest first: a /tmp that runs full still holds it.
        Files entries{{"ota_file/fileMd5s", text}};
        for (const auto& file : files)
            entries << qMakePair("ota_file/" + file.first, file.second);
        return archivePackage(entries);
    };
    const QByteArray k = md5("k");
    add("UC30 manifest is a directory", archivePackage({{"ota_file/fileMd5s/x", "x"}}),
        verifying() + "UC30file open err: /tmp/upgrade/ota_file/fileMd5s" + kUC19);
    add("UC31 missing file stops before a later mismatch", manifest(k + "  gone.bin\nbad  Image\n"),
        verifying() + "UC31file not exists :" + O + "gone.bin" + kUC19)
        .check({"+" + O + "fileMd5s", "-/tmp/upgrade/fw.tar.bz2"});
    add("UC32 upper-case digest", manifest(k.toUpper() + " Image"),
        verifying() + "UC32Md5 check err: strMd5Orignal=" + k.toUpper() + ", calcMd5=" + k +
            ", filepath=" + O + "Image" + kUC19);
    add("UC32 directory listed as a file", manifest(k + "  sub\n", {{"sub/Image", "k"}}),
        verifying() + "UC32Md5 check err: strMd5Orignal=" + k + ", calcMd5=, filepath=" + O +
            "sub" + kUC19);
    add("UC32 manifest names itself", manifest(k + "  fileMd5s\n"),
        verifying() + "UC32Md5 check err: strMd5Orignal=" + k +
            ", calcMd5=" + md5(k + "  fileMd5s\n") + ", filepath=" + O + "fileMd5s" + kUC19);
    add("UC31 absolute path", manifest(k + "  /Image\n"),
        verifying() + "UC31file not exists :" + O + "/Image" + kUC19);
    add("UC31 parent component, though the file is there and matches",
        manifest(md5("product_model=KT310\n") + "  sub/../../../../etc/issue\n"),
        verifying() + "UC31file not exists :" + O + "sub/../../../../etc/issue" + kUC19);
    add("UC31 side file outside the tree", manifest(k + "  Image\nbad  ../x.map\n"),
        verifying() + "UC31file not exists :" + O + "../x.map" + kUC19);
    add("UC31 side-file suffix is case-sensitive", manifest("bad  gone.MAP\n"),
        verifying() + "UC31file not exists :" + O + "gone.MAP" + kUC19);
    static const char layout[] = "%K  Image\r\n\n   \n%K\n%U   boot/uboot.bin extra\nbad gone.map\n"
                                 "bad gone.md5\nbad gone.size\n%D fw..bin\0junk\n%K Image";
    add("manifest layout: blanks, CRLF, odd lines, side files, dots in a name, NUL, last line",
        manifest(QByteArray(layout, sizeof layout - 1)
                     .replace("%K", k)
                     .replace("%U", md5("u"))
                     .replace("%D", md5("d")),
                 {{"Image", "k"}, {"boot/uboot.bin", "u"}, {"fw..bin", "d"}}),
        verifying() + "UB16ota kernel-image...." + O + "Image" + "UB18ota uboot...." + O +
            "boot/uboot.bin" + kDone);
    add("empty manifest", manifest(""), verifying() + kDone).check({"calls="});

    // Which file each stage takes: the first whose path holds its keyword, any case.
    add("keywords: first match wins, side files count, one file for two stages",
        manifest(
            "bad  uboot.map\n" + md5("z") + "  zImage\n" + md5("i") + "  IMAGE.bin\n" + md5("d") +
                "  board.dtbo\n" + md5("u") + "  uboot-image.bin\n",
            {{"zImage", "z"}, {"IMAGE.bin", "i"}, {"board.dtbo", "d"}, {"uboot-image.bin", "u"}}),
        verifying() + "UB16ota kernel-image...." + O + "zImage" + "UB17ota kernel-dtb...." + O +
            "board.dtbo" + "UB18ota uboot...." + O + "uboot.map" + kDone)
        .check({"calls=ota_update|" + O + "board.dtbo|kernel-dtb\nota_update|" + O +
                "uboot.map|uboot\nota_update|" + O + "zImage|kernel-image"});
    add("a file for two stages is flashed twice", fwPackage({{"uboot-image.bin", "u"}}),
        verifying() + "UB16ota kernel-image...." + O + "uboot-image.bin" + "UB18ota uboot...." + O +
            "uboot-image.bin" + kDone);

    // A failing stage stops the upgrade; each firmware holds just what reaches it.
    const auto stage = [&](const QString& name, const Files& files, const QString& tool,
                           const QByteArray& behaviour, const QByteArray& messages) -> Row& {
        return add(name, fwPackage(files), verifying() + messages)
            .with("/run/sandbox/fake/" + tool, behaviour);
    };
    const QByteArray upToMcu = kStages.left(kStages.indexOf("UB19"));
    stage("UC20 kernel tool crashes", fw, "ota_update", "crash",
          "UB16ota kernel-image...." + O + "Image" + "UC20process.execute failed!");
    stage("UC21 kernel tool fails", fw, "ota_update", "exit 3",
          "UB16ota kernel-image...." + O + "Image" + "UC21System other error:3");
    stage("UC21 kernel tool missing", fw, "ota_update", "missing",
          "UB16ota kernel-image...." + O + "Image" + "UC21File size > disk size:-2");
    const Files fromDtb{{"board.dtb", "d"}, {"uboot.bin", "u"}};
    stage("UC22 device tree tool crashes", fromDtb, "ota_update", "crash",
          "UB17ota kernel-dtb...." + O + "board.dtb" + "UC22process.execute failed!");
    stage("UC23 device tree tool fails", fromDtb, "ota_update", "exit 4",
          "UB17ota kernel-dtb...." + O + "board.dtb" + "UC23System other error:4");
    const Files fromUboot{{"uboot.bin", "u"}, {"rootfs.ext4", "r"}};
    stage("UC24 boot loader tool crashes", fromUboot, "ota_update", "crash",
          "UB18ota uboot...." + O + "uboot.bin" + "UC24process.execute failed!");
    stage("UC25 boot loader tool fails", fromUboot, "ota_update", "exit 255",
          "UB18ota uboot...." + O + "uboot.bin" + "UC25System other error:255");
    stage("UC33 MCU tool crashes", fw, "iap_update", "crash",
          upToMcu + "UC33process.execute failed!");
    stage("UC34 MCU tool fails; what flashed is gone, the rest stays", fw, "iap_update", "exit 1",
          upToMcu + "UC34System other error:1")
        .check({"-" + O + "Image", "-" + O + "board.dtb", "-" + O + "uboot.bin",
                "+" + O + "520M0App.bin", "+" + O + "rootfs.ext4", "-/tmp/upgrade/fw.tar.bz2"});
    stage("UC26 root file system fails", {{"rootfs.ext4", "r"}}, "ota_update", "exit 3",
          "UB19ota scanner.rootfs.ext4...." + O + "rootfs.ext4" + "UC26System other error:768");
    stage("UC27 rpmsg copy fails", {{"rpmsg.bin", "m"}}, "scp", "exit 1",
          "UC27scp " + O + "rpmsg.bin /run/media/mmcblk2p1/ err");
    stage("UC28 script copy fails", {{"scanner-app.sh", "s"}}, "scp", "exit 1",
          "UC28scp " + O + "scanner-app.sh /etc/ err")
        .check({"calls=killall|scanner-app\nscp|" + O + "scanner-app.sh|/etc/",
                "-/etc/scanner-app.sh"});

    // Parameter preservation, after a firmware that no stage takes.
    const QByteArray bare = fwPackage({{"notes.txt", "nothing to flash"}});
    const QByteArray beside = "runtxtOrder--filePa--/tmp/upgrade/savepara.txt";
    const auto para = [&](const QString& name, const QString& where, const QByteArray& json,
                          const QByteArray& messages, bool kept) {
        add(name, bare, verifying() + messages + "UB99upgrade success! reboot!")
            .with(where, json)
            .with(kSaved, "{}")
            .check({kept ? "+" + kSaved : "-" + kSaved,
                    "/usr/scanner/config/logsave.txt=/tmp/upgrade/savepara.txt"});
    };
    para("savePara false", kSavePara, R"({"savePara": false})",
         beside + "runtxtOrder--saveparaJson--0", false);
    para("savePara as a string", kSavePara, R"({"savePara": "true"})",
         beside + "runtxtOrder--saveparaJson--0", false);
    para("parameter file in /tmp", "/tmp/savepara.txt", R"({"savePara": true})",
         "runtxtOrder--filePa--/tmp/savepara.txtruntxtOrder--saveparaJson--1", true);
    para("no parameter file", "/tmp/unrelated", "", kNoPara, true);
    para("parameter file not JSON", kSavePara, "{\"savePara\":\xff",
         beside + "runtxtOrder readConfigureFile读取json文件出错-/tmp/upgrade/savepara.txt", true);
    para("parameter file without savePara", kSavePara, R"([{"savePara": false}])", beside, true);
    para("parameter file a directory beside, a FIFO in /tmp", kSavePara, "<dir>",
         "runtxtOrder--filePa--/tmp/savepara.txtruntxtOrder--filePa-not isFile-/tmp/savepara.txt",
         true);
    m_rows["parameter file a directory beside, a FIFO in /tmp"].with("/tmp/savepara.txt", "<fifo>");
    para("parameter file a FIFO beside", kSavePara, "<fifo>", kNoPara, true);

    // Device files of every kind leave their values empty but never stop the upgrade.
    const QByteArray anonymous =
        verifying("fw.tar.bz2", "UB11" + P + identity("KT310", "") + "UB12delete file:" + P +
                                    "UB13start upgrade!") +
        kStages + kDone;
    const QList<std::tuple<QString, QString, QByteArray, QByteArray>> devices{
        {"garbage", kIssue, QByteArray("\xff\xfe\0\0product_model\r\r\n\x80", 22), anonymous},
        {"FIFO", kIssue, "<fifo>", anonymous},
        {"directory", kIssue, "<dir>", anonymous},
        {"huge", kIssue, QByteArray(8 << 20, 'x') + "\nproduct_model=KT310\n", success},
        {"garbage", "/proc/meminfo", "MemTotal:\t\t\xff\xff kBkB\0\n", success},
        {"empty", "/proc/meminfo", "", success},
        {"garbage", kConfig, "{\"DeviceScanner\":", success},
        {"deep", kConfig, QByteArray(100000, '[') + QByteArray(100000, ']'), success},
        {"directory", kConfig, "<dir>", success},
        {"FIFO", kConfig, "<fifo>", success}};
    for (const auto& [kind, path, content, stream] : devices)
        add("device file " + path + ": " + kind, full, stream).with(path, content);

    // Hostile names, packages and archives.
    const QString slash = "${PWD%%[a-z]*}"; // names cannot hold "/": the commands build it
    const QString rootfs = QString("fs;touch${IFS}%1tmp%1pwned;'x.ext4").arg(slash);
    const QString rpmsg = QString("rpmsg$(touch${IFS}%1tmp%1pwned2).bin").arg(slash);
    add("hostile names stay file names", fwPackage({{rootfs, "r"}, {rpmsg, "m"}}),
        verifying() + "UB19ota scanner.rootfs.ext4...." + O + rootfs.toUtf8() + kDone)
        .check({"calls=ota_update|" + O + rootfs + "|ext4\nscp|" + O + rpmsg +
                    "|/run/media/mmcblk2p1/",
                "/run/media/mmcblk2p1/" + rpmsg + "=m", "-/tmp/pwned", "-/tmp/pwned2"});
    const QString longName = QString(160, 'r') + ".ext4";
    add("long path reaches the tool whole", fwPackage({{longName, "r"}}),
        verifying() + "UB19ota scanner.rootfs.ext4...." + O + longName.toUtf8() + kDone)
        .check({"calls=ota_update|" + O + longName + "|ext4"});

    const PackageBytes p = makePackage({{"fw.tar.bz2", archive}});
    const auto patched = [&](const QString& part, int delta, const QByteArray& bytes) {
        return QByteArray(p.bytes).replace(p.at[part] + delta, bytes.size(), bytes);
    };
    const QByteArray uc12 = "UB11" + P + "UC12config analysis err!";
    add("type of 4 GiB", patched("type", 0, "\xff\xff\xff\xf0"), uc12);
    add("32767 items announced", patched("item count", 0, "\xff\x7f"), uc12);
    add("4294967295 chunks announced: the data decides",
        p.bytes.left(p.at["chunk count"]) + PackageBytes().text("4294967295").bytes +
            p.bytes.mid(p.at["chunks"]),
        success);
    const QByteArray mismatch = "UB11" + P + identity("KT310") + "UB12delete file:" + P +
                                "UC14Md5 check err: strMd5Orignal=" + md5(archive) + ", calcMd5=";
    add("chunk of 4 GiB reads as empty", patched("chunks", 0, "\xff\xff\xff\xff"),
        mismatch + md5("") + ", filepath=/tmp/upgrade/fw.tar.bz2");
    add("name with directories", makePackage({{"../../etc/fw.tar.bz2", archive}}).bytes, success);
    for (const char* name : {"..", "/", "", "p.bin"})
        add(QString("item named \"%1\"").arg(name), makePackage({{name, archive}}).bytes, uc12)
            .check({"unchanged"});
    add("NUL in the name", makePackage({{QString::fromLatin1("fw\0.tar.bz2", 11), archive}}).bytes,
        "UB11" + P + identity("KT310") + "UB12delete file:" + P +
            "UC14Md5 check err: strMd5Orignal=" + md5(archive) +
            ", calcMd5=, filepath=/tmp/upgrade/fw" + QByteArray(1, '\0') + ".tar.bz2");
    add("NUL in the type",
        makePackage({{"fw.tar.bz2", archive}}, QString::fromLatin1("T1\0", 3)).bytes, uc12);
    add("NUL in the model",
        makePackage({{"fw.tar.bz2", archive}}, "T1", QString::fromLatin1("KT310\0", 6)).bytes,
        "UB11" + P + "UC36sys type:KT310not file type:KT310" + QByteArray(1, '\0'));

    // A package cut short at each of its parts.
    const QList<QPair<QString, int>> cuts{{"empty file", 0},
                                          {"magic", 10},
                                          {"zero bytes", 60},
                                          {"type", p.at["type"] + 5},
                                          {"information", p.at["information"] + 6},
                                          {"item count", p.at["item count"] + 1},
                                          {"item table", p.at["item table"] + 20},
                                          {"size text", p.at["payload size"] + 3},
                                          {"chunk count", p.at["chunk count"] + 3},
                                          {"chunk length", p.at["chunks"] + 2},
                                          {"chunk", p.at["chunks"] + 4 + archive.size() / 2},
                                          {"one byte short", p.bytes.size() - 1}};
    const QByteArray uc11 = "UB11" + P + "UC11" + P;
    const QByteArray empty = mismatch + md5("") + ", filepath=/tmp/upgrade/fw.tar.bz2";
    const QList<QByteArray> outcomes{uc11,
                                     uc11,
                                     uc12,
                                     uc12,
                                     "UB11" + P + "UC36sys type:KT310not file type:",
                                     uc12,
                                     "UB11" + P + identity("KT310") + "UB12delete file:" + P +
                                         "UC14Md5 check err: strMd5Orignal=, calcMd5=" + md5("") +
                                         ", filepath=/tmp/upgrade/fw.tar.bz2",
                                     empty,
                                     empty,
                                     empty,
                                     empty,
                                     empty};
    for (int i = 0; i < cuts.size(); ++i)
        add("cut inside the " + cuts.at(i).first, p.bytes.left(cuts.at(i).second), outcomes.at(i));

    // Links out of the tree: tar keeps members inside, a component link is flashed from where
    // it points, and removing it after its stage removes the link alone.
    Files escape = firmware(fw);
    escape << Files{{"etc/passwd", "root::0:0::/:/bin/sh\n"}, {"evil", "x"}};
    add("members outside ota_file, with .. and absolute names",
        archivePackage(escape, {"-P", "--transform", "s,^evil,../../../etc/evil,", "--transform",
                                "s,^ota_file/Image,/etc/Image,"}),
        verifying() + "UC31file not exists :" + O + "Image" + kUC19)
        .check({"/tmp/upgrade/etc/passwd=root::0:0::/:/bin/sh\n"});
    Files linkDir = firmware(fw);
    linkDir << Files{{"ota_file/etc", "->/etc"}, {"through-link", "x"}};
    add("link to a directory outside, then a member through it",
        archivePackage(linkDir, {"--transform", "s,^through-link,ota_file/etc/evil,"}), success);
    Files linked = firmware(fw);
    linked[0].second = "->/etc/outside.bin";
    linked.last().second.replace(md5("kernel 1"), md5("outside"));
    add("component linked out of the tree", archivePackage(linked), success)
        .with("/etc/outside.bin", "outside")
        .check({"/etc/outside.bin=outside"});

    // A /tmp too small for the package and its extracted file, or for the unpacked archive.
    QByteArray noise;
    while (noise.size() < (3 << 20))
        noise += md5(noise.right(32));
    add("tmp full while the package is extracted",
        makePackage({{"fw.tar.bz2", archive + noise}}).bytes,
        mismatch.left(mismatch.indexOf("strMd5")) + "strMd5Orignal=" + md5(archive + noise) + "*")
        .tmpSize = "4m";
    const QByteArray zeros(8 << 20, '\0');
    add("tmp full while the archive is unpacked",
        manifest(k + "  Image\n" + md5(zeros) + "  rootfs.ext4\n",
                 {{"Image", "k"}, {"rootfs.ext4", zeros}}),
        verifying() + "UC32Md5 check err: strMd5Orignal=" + md5(zeros) + ", calcMd5=*")
        .tmpSize = "4m";

    // Interrupted runs, then a fresh run on what they left.
    const QStringList kills{"UB11 0",   "UB14 300",      "UB15 300",  "UB16 0",
                            "UB19 300", "runtxtOrder 0", "close UB11"};
    for (const QString& at : kills)
        add("interrupted at " + at + ", then a fresh run", full, success)
            .check({"/etc/scanner-app.sh=#!/bin/sh\n2"})
            .interrupt = at;
}

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
