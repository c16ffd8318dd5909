// Fault injection, end to end: the real device program in device sandboxes of its own, many at
// once, fed broken and hostile packages, archives and device files, a full /tmp, a parent that
// goes away and SIGKILL at every stage. Every case checks its outcome, that a failure is reported
// with a "UC" message and never followed by "UB99", and that nothing outside /tmp/upgrade and the
// documented destinations was touched.
#include "devicerun.h"
#include "devicesandbox.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

#include <sys/stat.h>

namespace {

const QByteArray kStartup("UB10-quillMark-202312271830_M");
const QString kPackage = QStringLiteral("/tmp/upgrade/p.bin");
const QString kArchive = QStringLiteral("fw.tar.bz2");
const int kRunTimeoutMs = 120000;

using Files = QList<QPair<QString, QByteArray>>;

QByteArray md5(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

// --- Package bytes, written here field by field so that any of them can be broken. ---

QByteArray record(const QByteArray& bytes)
{
    QByteArray out(4, '\0');
    const quint32 n = quint32(bytes.size());
    out[0] = char(n >> 24);
    out[1] = char(n >> 16);
    out[2] = char(n >> 8);
    out[3] = char(n);
    return out + bytes;
}

QByteArray text(const QString& value)
{
    QString transformed = value;
    for (QChar& c : transformed)
        c = c.unicode() < 256 ? QChar(c.unicode() ^ 0x35) : QChar(0x35);
    return record(transformed.toUtf8());
}

struct Item {
    QString name;
    QByteArray content;
    QString md5; // the content's digest unless set
};

/// A package and the offsets at which each of its parts begins.
struct Package {
    QByteArray bytes;
    QMap<QString, int> offsets;
};

Package makePackage(const QList<Item>& items, const QString& type = QStringLiteral("T1"),
                    const QString& model = QStringLiteral("KT310"))
{
    Package p;
    p.bytes = QByteArray("lumacrestupgrade") + QByteArray(84, '\0');
    p.offsets[QStringLiteral("type")] = p.bytes.size();
    p.bytes += text(type);
    p.offsets[QStringLiteral("information")] = p.bytes.size();
    p.bytes += text(model);
    for (int i = 0; i < 4; ++i)
        p.bytes += text(QStringLiteral("info%1").arg(i));
    p.offsets[QStringLiteral("item count")] = p.bytes.size();
    p.bytes += char(items.size() & 0xff);
    p.bytes += char(items.size() >> 8);
    p.offsets[QStringLiteral("item table")] = p.bytes.size();
    for (const Item& item : items) {
        p.bytes += text(item.name) + text(QStringLiteral("/target")) +
                   text(item.md5.isNull() ? QString::fromLatin1(md5(item.content)) : item.md5);
        for (int r = 1; r <= 5; ++r)
            p.bytes += text(QStringLiteral("reserved%1").arg(r));
    }
    for (const Item& item : items) {
        p.offsets[QStringLiteral("payload size")] = p.bytes.size();
        p.bytes += text(QString::number(item.content.size()));
        const int chunks = (item.content.size() + 10485759) / 10485760;
        p.offsets[QStringLiteral("chunk count")] = p.bytes.size();
        p.bytes += text(QString::number(chunks));
        p.offsets[QStringLiteral("chunks")] = p.bytes.size();
        for (int c = 0; c < chunks; ++c)
            p.bytes += record(item.content.mid(c * 10485760, 10485760));
    }
    return p;
}

// --- Firmware archives, made with tar from files below a scratch directory. ---

/// Makes an archive of the given files (paths relative to the scratch directory, most under
/// ota_file/); symbolic links are given as "->target" contents. Extra tar options come first.
QByteArray makeArchive(const Files& files, const QStringList& tarOptions = {}, bool compress = true)
{
    QTemporaryDir dir;
    QStringList members;
    for (const auto& file : files) {
        const QString path = dir.filePath(file.first);
        QDir().mkpath(QFileInfo(path).path());
        if (file.second.startsWith("->")) {
            QFile::link(QString::fromUtf8(file.second.mid(2)), path);
        } else {
            QFile out(path);
            out.open(QIODevice::WriteOnly);
            out.write(file.second);
        }
        if (!members.contains(file.first))
            members << file.first;
    }
    const QString archive = dir.filePath(QStringLiteral("archive"));
    QProcess tar;
    tar.setWorkingDirectory(dir.path());
    tar.start(QStringLiteral("tar"),
              tarOptions + QStringList{compress ? "-cjf" : "-cf", archive} + members);
    tar.waitForFinished(-1);
    QFile in(archive);
    in.open(QIODevice::ReadOnly);
    return in.readAll();
}

/// One file per installation stage and the manifest listing them all.
Files standardFirmware(const QByteArray& version = "1")
{
    Files files{{"ota_file/zImage", "kernel " + version},
                {"ota_file/board.dtb", "device tree " + version},
                {"ota_file/uboot.bin", "boot loader " + version},
                {"ota_file/520M0App.bin", "mcu " + version},
                {"ota_file/rootfs.ext4", "root fs " + version},
                {"ota_file/rpmsg.bin", "rpmsg " + version},
                {"ota_file/scanner-app.sh", "#!/bin/sh\n# " + version + "\n"}};
    QByteArray manifest;
    for (const auto& f : files)
        manifest += md5(f.second) + "  " + f.first.mid(9).toUtf8() + "\n";
    files.prepend({QStringLiteral("ota_file/fileMd5s"), manifest});
    return files;
}

/// The bytes of a T1 package carrying one firmware archive.
QByteArray firmwarePackage(const QByteArray& archive, const QString& name = kArchive)
{
    return makePackage({{name, archive, QString()}}).bytes;
}

// --- Watching a run. ---

/// The status codes of a run's messages, in order (every message arrives in one read).
QStringList codes(const DeviceRun& run)
{
    static const QRegularExpression code(QStringLiteral("^(U[BC]\\d\\d|runtxtOrder)"));
    QStringList out;
    for (const DeviceRun::Chunk& chunk : run.chunks()) {
        const auto match = code.match(QString::fromLatin1(chunk.bytes.left(11)));
        if (match.hasMatch())
            out << match.captured(1);
    }
    return out;
}

bool finished(const DeviceRun& run)
{
    const QStringList c = codes(run);
    return !c.isEmpty() && (c.last() == QLatin1String("UB99") || c.last().startsWith("UC"));
}

/// Files (not directories) of the appliance, as "device path" -> "kind size mtime".
QMap<QString, QString> snapshot(const DeviceRun& run)
{
    QMap<QString, QString> state;
    for (const char* top : {"/tmp", "/run", "/etc", "/usr"}) {
        const QString base = run.hostPath(QLatin1String(top));
        QDirIterator it(base, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            struct stat st;
            if (lstat(QFile::encodeName(path).constData(), &st) != 0 || S_ISDIR(st.st_mode))
                continue;
            state[QLatin1String(top) + path.mid(base.size())] = QStringLiteral("%1 %2 %3.%4")
                                                                    .arg(st.st_mode >> 12)
                                                                    .arg(st.st_size)
                                                                    .arg(st.st_mtim.tv_sec)
                                                                    .arg(st.st_mtim.tv_nsec);
        }
    }
    return state;
}

/// Paths that a run changed, created or removed although it has no business there.
QStringList touchedOutside(const QMap<QString, QString>& before,
                           const QMap<QString, QString>& after)
{
    static const QStringList allowed{
        "/tmp/upgrade/",
        "/run/sandbox/",
        "/run/media/mmcblk2p1/",
        "/etc/scanner-app.sh",
        "/usr/scanner/config/upgradeError.json",
        "/usr/scanner/config/upgradeLog.json",
        "/usr/scanner/config/logsave.txt",
        "/usr/scanner/config/scannerConfig0.json",
        "/usr/scanner/Corefile",
        // the sandbox's own fakes
        "/usr/sbin/reboot",
        "/usr/bin/killall",
    };
    QStringList out;
    QStringList paths = before.keys() + after.keys();
    paths.removeDuplicates();
    for (const QString& path : paths) {
        if (before.value(path) == after.value(path))
            continue;
        if (std::none_of(allowed.begin(), allowed.end(),
                         [&](const QString& a) { return path.startsWith(a); }))
            out << path;
    }
    return out;
}

/// One case: its appliance, what it is given and the outcome expected.
struct Case {
    QString name;
    std::unique_ptr<DeviceRun> run;
    QMap<QString, QString> before;
    QByteArray expectedLast; // the run's last message, or its start when prefixOnly
    bool prefixOnly = false;
};

class Cases {
public:
    /// Adds a case whose appliance holds the package bytes at kPackage.
    DeviceRun& add(const QString& name, const QByteArray& package, const QByteArray& expectedLast,
                   bool prefixOnly = false)
    {
        m_cases.push_back(Case{name, std::make_unique<DeviceRun>(), {}, expectedLast, prefixOnly});
        DeviceRun& run = *m_cases.back().run;
        if (!package.isNull())
            run.writeFile(kPackage, package);
        return run;
    }

    /// Starts every case at once, waits for each to finish and checks all of them.
    void runAndCheck(const QStringList& arguments = {kPackage})
    {
        for (Case& c : m_cases) {
            c.before = snapshot(*c.run);
            QVERIFY2(c.run->start(arguments), qPrintable(c.name));
        }
        m_cases.front().run->waitUntil(
            [this] {
                return std::all_of(m_cases.begin(), m_cases.end(),
                                   [](const Case& c) { return finished(*c.run); });
            },
            kRunTimeoutMs);
        for (const Case& c : m_cases)
            QVERIFY2(finished(*c.run), qPrintable(c.name + QStringLiteral(" never finished: ") +
                                                  codes(*c.run).join(QLatin1Char(' '))));
        // Long enough for one more message to arrive, had the run gone on after its last.
        m_cases.front().run->settle(1500);
        for (Case& c : m_cases) {
            c.run->stop();
            checkCase(c);
        }
    }

    static void checkCase(const Case& c)
    {
        const DeviceRun& run = *c.run;
        const QStringList seen = codes(run);
        const QByteArray last = run.chunks().isEmpty() ? QByteArray() : run.chunks().last().bytes;
        const QString where = c.name + QStringLiteral(": ") + seen.join(QLatin1Char(' '));
        if (c.prefixOnly)
            QVERIFY2(last.startsWith(c.expectedLast), qPrintable(where + " / " + last));
        else
            QVERIFY2(last == c.expectedLast, qPrintable(where + " / " + last));
        const int firstError = seen.indexOf(QRegularExpression(QStringLiteral("^UC")));
        if (firstError >= 0)
            QVERIFY2(!seen.mid(firstError).contains(QLatin1String("UB99")), qPrintable(where));
        const QStringList outside = touchedOutside(c.before, snapshot(run));
        QVERIFY2(outside.isEmpty(), qPrintable(where + " touched " + outside.join(", ")));
    }

private:
    std::vector<Case> m_cases;
};

} // namespace

class tst_Faults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { DeviceSandbox::skipProgramUnlessAvailable(); }

    void truncatedPackage();
    void hostilePackage();
    void hostileArchive();
    void fullTmp();
    void deviceFiles();
    void parentGoesAway();
    void killedAtEachStage();
    void sandboxLeavesHostToolsAlone();
};

void tst_Faults::truncatedPackage()
{
    const QByteArray archive = makeArchive(standardFirmware());
    const Package p = makePackage({{kArchive, archive, QString()}});
    const QByteArray path = kPackage.toUtf8();
    struct Cut {
        const char* name;
        int at;
        QByteArray last;
    };
    const auto at = [&](const char* part, int delta) { return p.offsets.value(part) + delta; };
    const QList<Cut> cuts{
        {"empty file", 0, "UC11" + path},
        {"inside the magic", 10, "UC11" + path},
        {"inside the zero bytes", 60, "UC12config analysis err!"},
        {"inside the type's count", at("type", 2), "UC12config analysis err!"},
        {"inside the type", at("type", 5), "UC12config analysis err!"},
        // Texts cut short read as empty, and a missing item count as no items.
        {"inside the information", at("information", 6),
         "UC15type T1 can only contains one file but not 0"},
        // One byte of the count makes one item, whose empty name cannot be written.
        {"inside the item count", at("item count", 1), "UC12config analysis err!"},
        {"inside the item table", at("item table", 20), "UC14Md5 check err:"},
        {"inside the size text", at("payload size", 3), "UC14Md5 check err:"},
        {"inside the count text", at("chunk count", 5), "UC14Md5 check err:"},
        {"inside the chunk's count", at("chunks", 2), "UC14Md5 check err:"},
        {"inside the chunk", at("chunks", 4 + archive.size() / 2), "UC14Md5 check err:"},
        {"one byte short", p.bytes.size() - 1, "UC14Md5 check err:"},
    };
    Cases cases;
    for (const Cut& cut : cuts)
        cases.add(QLatin1String(cut.name), p.bytes.left(cut.at), cut.last, true);
    cases.runAndCheck();
}

void tst_Faults::hostilePackage()
{
    const QByteArray archive = makeArchive(standardFirmware());
    const QByteArray good = firmwarePackage(archive);
    const Package p = makePackage({{kArchive, archive, QString()}});
    Cases cases;

    QByteArray hugeType = good;
    hugeType.replace(p.offsets["type"], 4, QByteArray("\xff\xff\xff\xf0", 4));
    cases.add("type of 4 GiB", hugeType, "UC12config analysis err!");

    QByteArray hugeCount = good;
    hugeCount[p.offsets["item count"]] = char(0xff);
    hugeCount[p.offsets["item count"] + 1] = char(0x7f);
    cases.add("32767 items announced", hugeCount, "UC12config analysis err!");

    const QByteArray hugeChunks = p.bytes.left(p.offsets["chunk count"]) + text("4294967295") +
                                  p.bytes.mid(p.offsets["chunks"]);
    // The count is trusted only as far as the data goes: the carried file is whole.
    cases.add("4294967295 chunks announced", hugeChunks, "UB99upgrade success! reboot!");

    QByteArray hugeChunk = good;
    hugeChunk.replace(p.offsets["chunks"], 4, QByteArray("\xff\xff\xff\xff", 4));
    cases.add("chunk of 4 GiB", hugeChunk, "UC14Md5 check err:", true);

    cases.add("name with directories", firmwarePackage(archive, "../../etc/" + kArchive),
              "UB99upgrade success! reboot!");
    cases.add("name ..", firmwarePackage(archive, ".."), "UC12config analysis err!");
    cases.add("name /", firmwarePackage(archive, "/"), "UC12config analysis err!");
    cases.add("empty name", firmwarePackage(archive, ""), "UC12config analysis err!");
    cases.add("the package's own name", firmwarePackage(archive, "p.bin"),
              "UC12config analysis err!");
    // The file is written as "fw" (a path ends at NUL), then looked for under its whole name.
    cases.add("NUL in the name", firmwarePackage(archive, QString::fromLatin1("fw\0.tar.bz2", 11)),
              "UC14Md5 check err:", true);
    cases.add("NUL in the type",
              makePackage({{kArchive, archive, QString()}}, QString::fromLatin1("T1\0", 3)).bytes,
              "UC12config analysis err!");
    cases.add("NUL in the model",
              makePackage({{kArchive, archive, QString()}}, "T1", QString::fromLatin1("KT310\0", 6))
                  .bytes,
              "UC38", true);
    cases.runAndCheck();
}

void tst_Faults::hostileArchive()
{
    const QByteArray outside = "not from the archive\n";
    Cases cases;

    Files escape = standardFirmware();
    escape << Files{{"etc/passwd", "root::0:0::/:/bin/sh\n"}, {"usr/evil", "x"}};
    cases.add("members outside ota_file", firmwarePackage(makeArchive(escape)),
              "UB99upgrade success! reboot!");

    Files dotdot = standardFirmware();
    dotdot << Files{{"evil", "x"}};
    cases.add(
        "members with .. and absolute names",
        firmwarePackage(makeArchive(dotdot, {"-P", "--transform", "s,^evil,../../../etc/evil,",
                                             "--transform", "s,^ota_file/zImage,/etc/zImage,"})),
        "UC19analysisFileMd5 err..");

    // The member through the link is made from a plain file and renamed inside the archive, so
    // that making the archive never writes through the link.
    Files linkDir = standardFirmware();
    linkDir << Files{{"ota_file/etc", "->/etc"}, {"through-link", "x"}};
    cases.add("link to a directory outside, then a member through it",
              firmwarePackage(
                  makeArchive(linkDir, {"--transform", "s,^through-link,ota_file/etc/evil,"})),
              "UB99upgrade success! reboot!");

    // A component that is a link out of the tree: it is verified and flashed from where it
    // points, but removing it after its stage must remove the link, never its target.
    Files linkFile = standardFirmware();
    linkFile[1] = {"ota_file/zImage", "->/etc/outside.bin"};
    linkFile[0].second.replace(md5("kernel 1"), md5(outside));
    DeviceRun& linked =
        cases.add("component linked out of the tree", firmwarePackage(makeArchive(linkFile)),
                  "UB99upgrade success! reboot!");
    linked.writeFile("/etc/outside.bin", outside);

    Files manifestSelf = standardFirmware();
    manifestSelf[0].second += "0123456789abcdef0123456789abcdef  fileMd5s\n";
    cases.add("manifest names itself", firmwarePackage(makeArchive(manifestSelf)),
              "UC19analysisFileMd5 err..");

    Files manifestDir = standardFirmware();
    manifestDir << Files{{"ota_file/sub/file", "x"}};
    manifestDir[0].second += md5("x") + "  sub\n";
    cases.add("manifest names a directory", firmwarePackage(makeArchive(manifestDir)),
              "UC19analysisFileMd5 err..");

    cases.add("ota_file is a file", firmwarePackage(makeArchive({{"ota_file", "x"}})),
              "UC17file not exists :/tmp/upgrade/ota_file/");
    cases.add("not an archive", firmwarePackage("no tar here"),
              "UC17file not exists :/tmp/upgrade/ota_file/");
    cases.runAndCheck();
}

void tst_Faults::fullTmp()
{
    Cases cases;
    // The package fits, but not once more beside it: extraction runs out of space.
    QByteArray noise;
    noise.reserve(3 << 20);
    while (noise.size() < (3 << 20))
        noise += md5(noise.right(32));
    DeviceRun& extracting =
        cases.add("while the package is extracted",
                  firmwarePackage(makeArchive(standardFirmware()) + noise), "UC", true);
    extracting.setTmpSize("4m");

    // A small archive that unpacks to more than /tmp holds.
    Files big = standardFirmware();
    big[5].second = QByteArray(8 << 20, '\0');
    big[0].second = QByteArray();
    for (int i = 1; i < big.size(); ++i)
        big[0].second += md5(big[i].second) + "  " + big[i].first.mid(9).toUtf8() + "\n";
    DeviceRun& unpacking =
        cases.add("while the archive is unpacked", firmwarePackage(makeArchive(big)), "UC", true);
    unpacking.setTmpSize("4m");
    cases.runAndCheck();
}

void tst_Faults::deviceFiles()
{
    const QByteArray package = firmwarePackage(makeArchive(standardFirmware()));
    const QByteArray success = "UB99upgrade success! reboot!";
    QByteArray huge(32 << 20, 'x');
    huge += "\nproduct_model=KT310\n";
    struct Device {
        const char* name;
        const char* path;
        QByteArray content; // "dir" makes a directory, "fifo" a FIFO
    };
    const QList<Device> devices{
        {"issue garbage", "/etc/issue", QByteArray("\xff\xfe\0\0product_model\r\r\n\x80", 22)},
        {"issue empty", "/etc/issue", ""},
        {"issue huge", "/etc/issue", huge},
        {"issue a directory", "/etc/issue", "dir"},
        {"issue a FIFO", "/etc/issue", "fifo"},
        {"meminfo garbage", "/proc/meminfo", "MemTotal:\t\t\xff\xff kBkB\0\n"},
        {"meminfo empty", "/proc/meminfo", ""},
        {"scannerConfig garbage", "/usr/scanner/config/scannerConfig.json", "{\"DeviceScanner\":"},
        {"scannerConfig deep", "/usr/scanner/config/scannerConfig.json",
         QByteArray(100000, '[') + QByteArray(100000, ']')},
        {"scannerConfig a directory", "/usr/scanner/config/scannerConfig.json", "dir"},
        {"scannerConfig a FIFO", "/usr/scanner/config/scannerConfig.json", "fifo"},
        {"savepara garbage", "/tmp/upgrade/savepara.txt", "{\"savePara\":\xff"},
        {"savepara huge", "/tmp/upgrade/savepara.txt", "[" + QByteArray(16 << 20, ' ') + "]"},
        {"savepara a directory", "/tmp/upgrade/savepara.txt", "dir"},
        {"savepara a FIFO", "/tmp/upgrade/savepara.txt", "fifo"},
        {"fallback savepara a FIFO", "/tmp/savepara.txt", "fifo"},
    };
    Cases cases;
    for (const Device& d : devices) {
        DeviceRun& run = cases.add(QLatin1String(d.name), package, success);
        const QString path = QLatin1String(d.path);
        if (path == QLatin1String("/proc/meminfo")) {
            run.setMeminfo(d.content);
        } else if (d.content == "dir") {
            run.makeDir(path);
        } else if (d.content == "fifo") {
            run.makeDir(QFileInfo(path).path());
            QVERIFY(mkfifo(QFile::encodeName(run.hostPath(path)).constData(), 0644) == 0);
        } else {
            run.writeFile(path, d.content);
        }
    }
    cases.runAndCheck();
}

void tst_Faults::parentGoesAway()
{
    // The platform's default for a reader that has gone ends the program at its next message.
    // Nothing is left half-reported, and a fresh run afterwards completes.
    DeviceRun run;
    run.writeFile(kPackage, firmwarePackage(makeArchive(standardFirmware())));
    QVERIFY(run.start({kPackage}));
    QVERIFY(run.waitUntil([&] { return codes(run).contains(QLatin1String("UB11")); }, 20000));
    run.closeOutput();
    QVERIFY(run.waitUntil([&] { return !run.isRunning(); }, 20000));
    run.stop();
    QVERIFY(!run.exists(QStringLiteral("/usr/scanner/config/upgradeLog.json")));

    run.writeFile(kPackage, firmwarePackage(makeArchive(standardFirmware("2"))));
    QVERIFY(run.start({kPackage}));
    QVERIFY2(run.waitUntil([&] { return finished(run); }, kRunTimeoutMs),
             run.output() + run.errorOutput().right(2000));
    QCOMPARE(codes(run).last(), QStringLiteral("UB99"));
    run.stop();
}

void tst_Faults::killedAtEachStage()
{
    // Every stage of a full upgrade, killed just after its message or a little later in the
    // work that follows it; then a fresh run with a fresh package on what was left behind.
    const QStringList stages{"UB10", "UB11", "UB21", "UB12", "UB13", "UB14",       "UB15",
                             "UB16", "UB17", "UB18", "UB20", "UB19", "runtxtOrder"};
    const QByteArray first = firmwarePackage(makeArchive(standardFirmware("1")));
    const QByteArray fresh = firmwarePackage(makeArchive(standardFirmware("2")));
    struct Kill {
        QString name;
        QString stage;
        int delayMs;
        std::unique_ptr<DeviceRun> run;
        bool killed = false;
        qint64 seenAt = 0;
    };
    std::vector<Kill> kills;
    for (const QString& stage : stages) {
        // A little later, too, where the work after the message takes long: unpacking,
        // verifying, flashing the root file system.
        const bool slow = stage == "UB14" || stage == "UB15" || stage == "UB19";
        for (int delay : slow ? QList<int>{0, 300} : QList<int>{0}) {
            kills.push_back({stage + QStringLiteral("+%1ms").arg(delay), stage, delay,
                             std::make_unique<DeviceRun>()});
            kills.back().run->writeFile(kPackage, first);
            QVERIFY(kills.back().run->start({kPackage}));
        }
    }
    QElapsedTimer clock;
    clock.start();
    QVERIFY(kills.front().run->waitUntil(
        [&] {
            bool all = true;
            for (Kill& k : kills) {
                if (k.killed)
                    continue;
                if (!k.seenAt && codes(*k.run).contains(k.stage))
                    k.seenAt = clock.elapsed();
                if (k.seenAt && clock.elapsed() >= k.seenAt + k.delayMs) {
                    k.run->stop();
                    k.killed = true;
                    continue;
                }
                all = false;
            }
            return all;
        },
        kRunTimeoutMs));

    Cases freshRuns;
    for (Kill& k : kills) {
        const QStringList seen = codes(*k.run);
        QVERIFY2(!seen.contains(QLatin1String("UB99")), qPrintable(k.name));
        QVERIFY2(seen.filter(QRegularExpression(QStringLiteral("^UC"))).isEmpty(),
                 qPrintable(k.name));
        k.run->writeFile(kPackage, fresh);
    }
    // Fresh runs, all at once, on the appliances the killed runs left behind.
    std::vector<Case> cases;
    for (Kill& k : kills) {
        Case c{k.name, std::move(k.run), {}, "UB99upgrade success! reboot!", false};
        c.before = snapshot(*c.run);
        QVERIFY(c.run->start({kPackage}));
        cases.push_back(std::move(c));
    }
    QVERIFY(cases.front().run->waitUntil(
        [&] {
            return std::all_of(cases.begin(), cases.end(),
                               [](const Case& c) { return finished(*c.run); });
        },
        kRunTimeoutMs));
    for (Case& c : cases) {
        c.run->stop();
        Cases::checkCase(c);
        QVERIFY2(c.run->toolCalls(QStringLiteral("ota_update")).size() >= 4, qPrintable(c.name));
        QCOMPARE(c.run->readFile(QStringLiteral("/etc/scanner-app.sh")),
                 QByteArray("#!/bin/sh\n# 2\n"));
    }
}

void tst_Faults::sandboxLeavesHostToolsAlone()
{
    // A command under /usr (an emulator, say) once had the host's /usr/bin bound back into the
    // sandbox, and the fakes were then written over the host's own killall and systemctl.
    const auto digest = [](const QString& path) {
        QFile file(QFileInfo(path).canonicalFilePath());
        return file.open(QIODevice::ReadOnly) ? md5(file.readAll()) : QByteArray();
    };
    const QStringList tools{"/usr/bin/killall", "/usr/sbin/reboot", "/sbin/reboot"};
    QStringList before;
    for (const QString& tool : tools)
        before << tool + ' ' + digest(tool);
    QProcess sandbox;
    sandbox.start(DeviceSandbox::script(), {"--", "/usr/bin/env", "true"});
    QVERIFY(sandbox.waitForFinished(60000));
    QCOMPARE(sandbox.exitCode(), 0);
    QStringList after;
    for (const QString& tool : tools)
        after << tool + ' ' + digest(tool);
    QCOMPARE(after, before);
}

QTEST_MAIN(tst_Faults)
#include "tst_faults.moc"
