// The device program end to end: the scenarios of the table beside this file, each run by the
// real program in a device sandbox of its own, all at once. Every row also checks the protocol's
// waits, the result files, that the program idles after its last message and that nothing
// outside the upgrade's own places changed.
#include "devicerun.h"
#include "fixtures.h"
#include "tarwriter.h"

#include <QDateTime>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

#include <sys/stat.h>

#include <map>
#include <memory>

namespace {

const QString kPackage = "/tmp/upgrade/p.bin";
// The tools the sandbox fakes, whose calls it logs.
const QStringList kFaked{"ota_update", "iap_update", "scp", "killall", "reboot"};

/// The words of a command line built by the device, whose quoting is the shell's single quotes.
QStringList shellWords(const QString& line)
{
    QStringList words;
    static const QRegularExpression word("(?:'[^']*'|\\\\.|[^ '\\\\]+)+");
    for (auto it = word.globalMatch(line); it.hasNext();)
        words << it.next().captured().replace(QRegularExpression("'([^']*)'|\\\\(.)"), "\\1\\2");
    return words;
}

/// Everything under a host directory, relative to it; directories end in "/".
QStringList tree(const QString& dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        entries << info.filePath().mid(dir.size() + 1) +
                       (info.isDir() && !info.isSymLink() ? "/" : "");
    }
    entries.sort();
    return entries;
}

Files standardFirmware(const QByteArray& version)
{
    Files files;
    for (const char* name : {"Image", "board.dtb", "uboot.bin", "520M0App.bin", "rootfs.ext4",
                             "rpmsg.bin", "scanner-app.sh", "notes.txt"})
        files << qMakePair(QString(name), name + (' ' + version));
    return files;
}

/// Files (not directories) of the appliance, as device path -> "size modification time".
QMap<QString, QString> snapshot(const DeviceRun& run)
{
    QMap<QString, QString> state;
    for (const char* top : {"/tmp", "/run", "/etc", "/usr"}) {
        const QString base = run.hostPath(QLatin1String(top));
        QDirIterator it(base, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            state[top + info.filePath().mid(base.size())] =
                QString::number(info.size()) + ' ' +
                info.lastModified().toString(Qt::ISODateWithMs);
        }
    }
    return state;
}

struct Row {
    QByteArray package;  ///< placed at the package path; null: none
    QByteArray expected; ///< the stream after the start-up message; a final '*' makes it a prefix
    QMap<QString, QByteArray> device{{"/etc/issue", "product_model=KT310\n"}};
    QStringList after;
    QStringList args{kPackage};
    QString interrupt;
    bool planned = false; ///< upgrade-pack plan must foretell the run
    QString tmpSize;
    std::unique_ptr<DeviceRun> run = std::make_unique<DeviceRun>();
    QMap<QString, QString> before;
    std::unique_ptr<QProcess> planner; ///< upgrade-pack plan for the row, once started
};

} // namespace

class TestUpgrade : public QObject {
    Q_OBJECT

    std::map<QString, Row> m_rows;
    QMap<QString, QByteArray> m_packages; // named packages the table refers to
    mutable QStringList m_unknown;        // names the table used that it does not know
    QMap<QString, QString> m_macros;
    QTemporaryDir m_copies; // what upgrade-pack plan is given

    QByteArray package(const QString& recipe) const;
    QByteArray named(const QString& name) const;
    void addRandomRows();
    QList<Row*> m_unplanned; // planned rows whose plan has not started yet
    void startPlan();
    QJsonObject plan(Row& row);
    void prepare();
    void interrupt();

private slots:
    void initTestCase()
    {
        prepare();
        QList<TableRow> rows;
        QString why;
        QVERIFY2(readTable(QFINDTESTDATA("scenarios"), m_macros, 3, 5, rows, why), qPrintable(why));
        if (qEnvironmentVariableIsSet("SCANNER_RANDOM_ONLY"))
            rows.clear();
        // Many rows share a recipe: each is made once.
        QHash<QString, QByteArray> made;
        const auto package = [&](const QString& recipe) {
            auto it = made.constFind(recipe);
            return it != made.constEnd() ? *it : *made.insert(recipe, this->package(recipe));
        };
        for (const TableRow& table : rows) {
            const QStringList& field = table.fields;
            const QString at = QStringLiteral("scenarios:%1: ").arg(table.line);
            Row& row = m_rows[field.at(0)];
            row.package = field.value(1).isEmpty() ? QByteArray() : package(field.value(1));
            row.expected = unescape(field.value(2));
            for (const QString& entry : parts(field.value(3), " ; ")) {
                const QString key = entry.section('=', 0, 0), value = entry.section('=', 1);
                if (key == "args") {
                    row.args.clear();
                    for (const QString& arg : parts(value, " "))
                        row.args << QString::fromUtf8(unescape(arg));
                } else if (key == "interrupt") {
                    row.interrupt = value;
                } else if (key == "tmp") {
                    row.run->setTmpSize(value);
                    row.tmpSize = value;
                } else {
                    QVERIFY2(key.startsWith('/'), qPrintable(at + "no device key " + key));
                    row.device[key] =
                        value.startsWith('@') ? package(value.mid(1)) : unescape(value);
                }
            }
            QVERIFY2(m_unknown.isEmpty(), qPrintable(at + "no package " + m_unknown.join(", ")));
            row.after = parts(field.value(4), " ; ");
            for (const QString& check : row.after)
                QVERIFY2(QRegularExpression("^([-+]/|/.*[=~@]|calls=|unchanged$)")
                             .match(check)
                             .hasMatch(),
                         qPrintable(at + "no check " + check));
            row.planned =
                row.interrupt.isEmpty() && row.args.size() == 1 &&
                !(row.args.first() == kPackage ? row.package : row.device.value(row.args.first()))
                     .isNull();
        }
        addRandomRows();
        // Runs to interrupt start last: under emulation, starting all the others takes longer
        // than a whole run, which would be over before anyone looked at it.
        for (const bool interrupted : {false, true}) {
            for (auto& [name, row] : m_rows) {
                if (row.interrupt.isEmpty() == interrupted)
                    continue;
                for (auto it = row.device.begin(); it != row.device.end(); ++it)
                    row.run->write(it.key(), it.value());
                if (!row.package.isNull())
                    row.run->write(kPackage, row.package);
                row.before = snapshot(*row.run);
                QVERIFY2(row.run->start(row.args), qPrintable(name));
                if (row.planned)
                    m_unplanned << &row;
            }
        }
        // Plans run two at a time beside the device's runs, which mostly wait.
        startPlan();
        startPlan();
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
        const QByteArray expected =
            "UB10-quillMark-202312271830_M" + row.expected.left(row.expected.size() - prefix);
        // The plan runs the device's own code: it must tell this run exactly, and says how much
        // to wait for where the row gives only a start; a stage may be slow on a busy machine.
        const QJsonObject plan = row.planned ? this->plan(row) : QJsonObject();
        const QStringList messages = plan["messages"].toVariant().toStringList();
        const int length = qMax(expected.size(), 29 + messages.join("").toUtf8().size());
        DeviceRun::waitUntil([&] { return run.output().size() >= length; }, 120000);
        // Anything more would come 550 ms after the last message, or 1 s more after a stage.
        DeviceRun::waitUntil(
            [&] {
                return !run.chunks().isEmpty() &&
                       QDateTime::currentMSecsSinceEpoch() - run.chunks().last().arrivalMs > 1600;
            },
            60000);
        const QByteArray output = run.output();
        QVERIFY2(!output.isEmpty(), run.read("/run/sandbox/trace").constData());
        QCOMPARE(QString::fromUtf8(prefix ? output.left(expected.size()) : output),
                 QString::fromUtf8(expected));
        QVERIFY2(run.isRunning(), "the program must idle after its last message");
        const QString last =
            QString::fromUtf8(output).section(QRegularExpression("(?=U[BC]\\d\\d)"), -1);
        // Each message waits 500 ms before and 50 ms after it is written: the n-th cannot
        // arrive earlier than that after the exec, however late the reads come.
        const QList<DeviceRun::Chunk> chunks = run.chunks();
        const qint64 execMs = run.read("/run/sandbox/exec-ns").trimmed().toLongLong() / 1000000;
        QVERIFY2(execMs > 0, "the sandbox noted no exec time");
        for (int i = 0; i < chunks.size(); ++i)
            QVERIFY2(chunks.at(i).arrivalMs - execMs >= 500 + 550 * i, chunks.at(i).bytes);
        const QByteArray syncs = run.read("/run/sandbox/sync-ns");
        QVERIFY2(last.startsWith("UB99") == !syncs.isNull(), "sync runs for UB99 alone");
        if (!syncs.isNull())
            QVERIFY(syncs.trimmed().toLongLong() / 1000000 < chunks.last().arrivalMs);
        const QByteArray callLog = run.read("/run/sandbox/calls.log");
        QVERIFY2(!callLog.isNull(), "the sandbox logged no calls, not even none");
        QStringList calls = parts(QString::fromUtf8(callLog), "\n");
        calls.sort();
        if (row.planned) {
            QCOMPARE(QString::fromUtf8(output.constData(), output.size())
                         .mid(29)
                         .split(QRegularExpression("(?=U[BC]\\d\\d)")),
                     messages.join("").split(QRegularExpression("(?=U[BC]\\d\\d)")));
            QVERIFY(chunks.last().arrivalMs - execMs >= qint64(plan["waitMs"].toDouble()));
            QStringList planned;
            for (const QJsonValue tool : plan["tools"].toArray()) {
                const QStringList argv =
                    tool.isArray() ? tool.toVariant().toStringList() : shellWords(tool.toString());
                // A tool the sandbox took away logs no call.
                if (kFaked.contains(argv.value(0)) &&
                    row.device.value("/run/sandbox/fake/" + argv.value(0)) != "missing")
                    planned << argv.join('|');
            }
            planned.sort();
            QCOMPARE(calls, planned);
            // What the row placed and plan cannot be given (a FIFO, a directory) aside.
            QStringList left = tree(run.hostPath("/tmp/upgrade"));
            for (auto it = row.device.begin(); it != row.device.end(); ++it) {
                if (it.value().startsWith('<'))
                    left = left.filter(QRegularExpression(
                        "^(?!" + QRegularExpression::escape(it.key().mid(13)) + ")"));
            }
            if (row.tmpSize.isEmpty())
                QCOMPARE(left, plan["leftInTmpUpgrade"].toVariant().toStringList());
            // Both /tmp are a tmpfs of one size: while the archive is unpacked they hold the
            // same pages, which the device's side counts around its tar.
            if (!row.tmpSize.isEmpty() && plan["tmpPeakStage"].toString().contains("unpacked")) {
                qint64 used = 0;
                for (const QString& line :
                     parts(QString::fromUtf8(run.read("/run/sandbox/tmp-used")), "\n"))
                    used = qMax(used, line.toLongLong());
                QCOMPARE(qint64(plan["tmpPeakBytes"].toDouble()), used);
            }
        }
        run.stop();

        const QString marker = m_macros["MARKER"], log = m_macros["LOG"];
        // A null array is a missing file, which Qt takes as equal to an empty one.
        const QByteArray markerContent = run.read(marker);
        if (!row.device.contains(marker))
            QVERIFY2(markerContent.isNull() != last.startsWith("UC") && markerContent.isEmpty(),
                     "the error marker is there, and empty, after a UC message alone");
        if (last.startsWith("UB99") && !row.device.contains(log)) {
            const QString record = QString::fromUtf8(run.read(log));
            QVERIFY(QRegularExpression("^\\d{17}--upgradesuccess--" + row.args.first() + "$")
                        .match(record)
                        .hasMatch());
            // Written as the success message goes out, in the device's local time.
            const qint64 at =
                QDateTime::fromString(record.left(17), "yyyyMMddhhmmsszzz").toMSecsSinceEpoch();
            QVERIFY(at >= execMs && at <= chunks.last().arrivalMs);
        }
        // What the stream says was deleted is gone: the package after UB12, the archive after
        // UB15, the manifest once verified, the unpacked files after UB99.
        const QString stream = QString::fromUtf8(output);
        const QString archive = stream.section("UB15delete file:", 1).section("-=Check", 0, 0);
        if (row.tmpSize.isEmpty()) {
            QVERIFY(!stream.contains("UB12") || run.read(row.args.first()).isNull());
            QVERIFY(archive.isEmpty() || run.read(archive).isNull());
            QVERIFY(archive.isEmpty() || stream.contains("UC19") ||
                    run.read("/tmp/upgrade/ota_file/fileMd5s").isNull());
            QVERIFY(!last.startsWith("UB99") || run.read("/tmp/upgrade/ota_file").isNull());
        }
        static const QRegularExpression allowed(
            "^(/tmp/upgrade/|/run/(sandbox|media/mmcblk2p1)/|/etc/scanner-app.sh$|/usr/scanner/"
            "Corefile/|/usr/scanner/config/"
            "(upgradeError.json|upgradeLog.json|logsave.txt|scannerConfig0.json)$|/usr/(sbin/"
            "reboot|bin/killall)$)");
        const QMap<QString, QString> now = snapshot(run);
        for (const QString& path : row.before.keys() + now.keys())
            QVERIFY2(row.before.value(path) == now.value(path) || allowed.match(path).hasMatch() ||
                         path.startsWith(QFileInfo(row.args.value(0)).path() + '/'),
                     qPrintable("changed " + path));

        for (const QString& check : row.after) {
            const int at = check.indexOf(QRegularExpression("[=~@]"));
            const QString path = check.left(at), value = check.mid(at + 1);
            const QByteArray content = run.read(path);
            if (check.startsWith('+') || check.startsWith('-')) {
                QVERIFY2(run.read(check.mid(1)).isNull() == check.startsWith('-'),
                         qPrintable(check));
            } else if (check == "unchanged") {
                QVERIFY(run.read(row.args.first()) == row.package);
            } else if (path == "calls") {
                QCOMPARE(calls.join('\n'), QString::fromUtf8(unescape(value)));
            } else if (content.isNull() && check.at(at) != '@') {
                QFAIL(qPrintable("missing " + path));
            } else if (check.at(at) == '~') {
                QVERIFY2(QString::fromUtf8(content).contains(
                             QRegularExpression(QString::fromUtf8(unescape(value)))),
                         content);
            } else if (check.at(at) == '@') {
                struct stat st;
                QCOMPARE(stat(QFile::encodeName(run.hostPath(path)), &st), 0);
                QCOMPARE(QString::number(st.st_mode & 0777, 8), value);
            } else {
                QCOMPARE(content, unescape(value));
            }
        }
    }
};

void TestUpgrade::prepare()
{
    const QByteArray archive = makeArchive(firmware(standardFirmware("1")));
    QByteArray noise;
    while (noise.size() < (3 << 20))
        noise += md5(noise.right(32));
    const QByteArray zeros(8 << 20, '\0');
    m_macros = {{"A", md5(archive)}, {"NOISE", md5(archive + noise)}, {"LONG", QString(160, 'r')}};

    // Packages and files the table names, for what its recipes cannot say.
    const PackageBytes p = makePackage({{"fw.tar.bz2", archive}});
    const auto patched = [&](int at, const QByteArray& bytes) {
        return QByteArray(p.bytes).replace(at, bytes.size(), bytes);
    };
    const auto carrying = [](const QByteArray& bytes) {
        return makePackage({{"fw.tar.bz2", bytes}}).bytes;
    };
    Files escape = firmware(standardFirmware("1")), linkDir = escape, linked = escape;
    escape << Files{{"etc/passwd", "root::0:0::/:/bin/sh\n"}, {"evil", "x"}};
    linkDir << Files{{"ota_file/etc", "->/etc"}, {"through-link", "x"}};
    linked[0].second = "->/etc/outside.bin";
    linked.last().second.replace(md5("Image 1"), md5("outside"));
    const PackageBytes three = makePackage({{"a.bin", "a"}, {"b.bin", "b"}, {"c.bin", "c"}});
    const QByteArray tables = three.bytes.left(three.at["payload size"]);
    const QByteArray secondName = PackageBytes().text("b.bin").bytes;
    m_packages = {
        {"archive", archive},
        {"shorttable", tables.left(tables.indexOf(secondName) + secondName.size())},
        {"hugename", QByteArray(tables).replace(three.at["item table"], 4, "\x7f\xff\xff\xff")},
        {"noisy", archive + noise},
        {"std", p.bytes},
        {"outside", makePackage({{"/build/fw.tar.bz2", archive, ""}}).bytes},
        {"hugetype", patched(p.at["type"], "\xff\xff\xff\xf0")},
        {"hugecount", patched(p.at["item count"], "\xff\x7f")},
        {"negative", patched(p.at["item count"], QByteArray("\x00\x80", 2))},
        {"magicx", patched(16, "X")},
        {"hugechunk", patched(p.at["chunks"], "\xff\xff\xff\xff")},
        {"hugechunks", p.bytes.left(p.at["chunk count"]) + PackageBytes().text("4294967295").bytes +
                           p.bytes.mid(p.at["chunks"])},
        {"escape", carrying(makeArchive(escape, false,
                                        {"-P", "--transform", "s,^evil,../../../etc/evil,",
                                         "--transform", "s,^ota_file/Image,/etc/Image,"}))},
        {"linkdir", carrying(makeArchive(linkDir, false,
                                         {"--transform", "s,^through-link,ota_file/etc/evil,"}))},
        {"linked", carrying(makeArchive(linked))},
        // The manifest first: a /tmp that runs full still holds it.
        {"zeros", carrying(makeArchive({{"ota_file/fileMd5s", md5(zeros) + "  rootfs.ext4\n"},
                                        {"ota_file/rootfs.ext4", zeros}}))},
        {"huge", QByteArray(8 << 20, 'x') + "\nproduct_model=KT310\n"},
        {"deep", QByteArray(100000, '[') + QByteArray(100000, ']')},
        {"fresh", carrying(makeArchive(firmware(standardFirmware("2"))))}};

    // Archives whose headers alone do not tell what tar writes: each, but the last, takes more
    // than a 4 MiB /tmp holds once unpacked, behind an empty manifest.
    const QByteArray six(6 << 20, 'z');
    TarEntry pax = TarEntry("ota_file/pax.bin", '0', six), longName = pax;
    pax.paxSize = true;
    longName.name = "ota_file/" + QByteArray(150, 'n') + ".bin";
    longName.longName = true;
    TarEntry sparse = TarEntry("ota_file/sparse.img", 'S', QByteArray(5 << 20, 's'));
    sparse.sparseMap = {{0, 1 << 20}, {10 << 20, 4 << 20}};
    sparse.realSize = 100 << 20;
    TarEntry holes = TarEntry("ota_file/holes.img", 'S', QByteArray(1 << 20, 'h'));
    holes.sparseMap = {{0, 1 << 20}, {qint64(1) << 30, 0}};
    holes.realSize = qint64(1) << 30;
    const TarEntry again = TarEntry("ota_file/a", '0', QByteArray(1536 << 10, 'p'));
    const auto handMade = [&](const QList<TarEntry>& members) {
        return carrying(
            bzip2(tarArchive(QList<TarEntry>{TarEntry("ota_file/fileMd5s", '0', "")} + members)));
    };
    m_packages.insert("unknowntype", handMade({TarEntry("ota_file/blob", 'Z', six)}));
    m_packages.insert("pax", handMade({pax}));
    m_packages.insert("longname", handMade({longName}));
    m_packages.insert("sparse", handMade({sparse}));
    m_packages.insert(
        "relinked", handMade({again, TarEntry("ota_file/keep1", '1', "", 0644, "ota_file/a"), again,
                              TarEntry("ota_file/keep2", '1', "", 0644, "ota_file/a"), again}));
    m_packages.insert("holes", handMade({holes}));
}

void TestUpgrade::addRandomRows()
{
    // SCANNER_RANDOM=COUNT:SEED draws other archives; scripts/differential runs many.
    const QStringList drawn = qEnvironmentVariable("SCANNER_RANDOM", "6:1").split(':');
    const int count = drawn.value(0).toInt();
    for (quint32 seed = drawn.value(1).toUInt(); seed < drawn.value(1).toUInt() + count; ++seed) {
        Row& row = m_rows[QStringLiteral("random archive %1").arg(seed)];
        row.package =
            makePackage({{"fw.tar.bz2", bzip2(tarArchive(randomArchive(seed, 3 << 20)))}}).bytes;
        // From what holds the package alone to what holds it and all it unpacks to.
        const qint64 pages = (row.package.size() + 4095) / 4096 + 1 + seed * 7919 % 1024;
        row.tmpSize = QString::number(pages * 4096);
        row.run->setTmpSize(row.tmpSize);
        row.expected = "*";
        row.planned = true;
    }
}

QByteArray TestUpgrade::package(const QString& recipe) const
{
    QStringList entries = recipe.split(" ; ");
    QStringList head = entries.takeFirst().split(':');
    const QString kind = head.takeFirst();
    const auto text = [](const QString& escaped) {
        const QByteArray bytes = unescape(escaped); // a NUL byte included
        return QString::fromUtf8(bytes.constData(), bytes.size());
    };
    const QString type = text(head.value(0, "T1")), model = text(head.value(1, "KT310"));
    Files files;
    QList<Item> items;
    for (const QString& entry : entries) {
        const QString name = text(entry.section('=', 0, 0));
        const QString value = entry.section('=', 1);
        files << qMakePair(name, value.startsWith('@') ? named(value.mid(1)) : unescape(value));
        items << Item{name.section('#', 0, 0), files.last().second,
                      name.contains('#') ? "" + name.section('#', 1) : QString()};
    }
    if (kind == "std" || kind == "fw") {
        const QString name = head.value(2, "fw.tar.bz2");
        const Files content = kind == "std" ? standardFirmware("1") : files;
        return makePackage({{name, makeArchive(firmware(content), name.endsWith(".TAR"))}}, type,
                           model)
            .bytes;
    }
    if (kind == "built") {
        // The standard firmware, its root file system filling several bzip2 blocks.
        QTemporaryDir dir;
        for (auto file : standardFirmware("1")) {
            while (file.first == "rootfs.ext4" && file.second.size() < (2 << 20))
                file.second += md5(file.second.right(32));
            writeFile(dir.filePath("fw/" + file.first), file.second);
        }
        QStringList up = targetCommand(UPGRADE_PACK_BIN)
                         << "firmware"
                         << "-o" << dir.filePath("a.bz2") << dir.filePath("fw");
        QProcess::execute(up.takeFirst(), up);
        return makePackage({{"fw.tar.bz2", readFile(dir.filePath("a.bz2"))}}).bytes;
    }
    if (kind == "tar")
        return makePackage({{"fw.tar.bz2", makeArchive(files)}}).bytes;
    if (kind == "pkg")
        return makePackage(items, type, model).bytes;
    if (kind == "cut") {
        const QByteArray& whole = m_packages["std"];
        const PackageBytes p = makePackage({{"fw.tar.bz2", m_packages["archive"]}});
        return whole.left((head.at(0) == "end" ? whole.size() : p.at[head.at(0)]) +
                          head.at(1).toInt());
    }
    return named(kind);
}

QByteArray TestUpgrade::named(const QString& name) const
{
    if (!m_packages.contains(name))
        m_unknown << name;
    return m_packages.value(name);
}

void TestUpgrade::startPlan()
{
    if (m_unplanned.isEmpty())
        return;
    Row& row = *m_unplanned.takeFirst();
    // The device's files as copies; one that is not a regular file is as good as none.
    const QString device = row.args.first(),
                  copies = m_copies.filePath(QString::number(quintptr(&row)));
    QDir().mkpath(copies);
    QStringList command =
        targetCommand(UPGRADE_PACK_BIN) + QStringList{"plan", "--json", "--device-path", device};
    const auto give = [&](const QString& option, const QString& path) {
        const QByteArray content = row.device.value(path, "<dir>");
        const QString copy =
            copies + '/' + QString::number(command.size()) + QFileInfo(path).fileName();
        if (content == "<dir>" || content == "<fifo>" || !writeFile(copy, content))
            return false;
        command << option << copy;
        return true;
    };
    if (!give("--issue", "/etc/issue"))
        command += {"--product-model", ""};
    give("--scanner-config", m_macros["CONFIG"]);
    give("--savepara", QFileInfo(device).path() + "/savepara.txt");
    give("--tmp-savepara", "/tmp/savepara.txt");
    for (auto it = row.device.begin(); it != row.device.end(); ++it) {
        if (it.key().startsWith("/run/sandbox/fake/"))
            command << "--tool-result"
                    << QFileInfo(it.key()).fileName() + '=' + QString(it.value()).remove("exit ");
    }
    if (!row.tmpSize.isEmpty())
        command << "--tmp-free" << row.tmpSize;
    const QString package = copies + '/' + QFileInfo(device).fileName();
    writeFile(package, device == kPackage ? row.package : row.device.value(device));
    row.planner = std::make_unique<QProcess>();
    connect(row.planner.get(), &QProcess::stateChanged, this, [this](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning)
            startPlan();
    });
    row.planner->start(command.takeFirst(), command << package);
}

QJsonObject TestUpgrade::plan(Row& row)
{
    if (!DeviceRun::waitUntil(
            [&] { return row.planner && row.planner->state() == QProcess::NotRunning; }, 120000))
        return QJsonObject();
    const QJsonObject plan = QJsonDocument::fromJson(row.planner->readAllStandardOutput()).object();
    if (plan.isEmpty())
        qWarning() << row.planner->readAllStandardError();
    return plan;
}

void TestUpgrade::interrupt()
{
    // Runs to interrupt are stopped where the row says, then start afresh on what they left
    // behind, with a newer package, and must then complete.
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
                all = false;
                DeviceRun& run = *row.run;
                const bool close = row.interrupt.startsWith("close ");
                if (!seen.count(name) &&
                    run.output().contains(
                        row.interrupt.section(' ', close ? 1 : 0, close ? 1 : 0).toLatin1())) {
                    seen[name] = clock.elapsed();
                    if (close)
                        run.closeOutput();
                }
                if (!seen.count(name) ||
                    (close ? run.isRunning()
                           : clock.elapsed() < seen[name] + row.interrupt.section(' ', 1).toInt()))
                    continue;
                run.stop();
                if (run.output().contains("UB99") || run.output().contains("UC") ||
                    !run.read(m_macros["LOG"]).isNull())
                    problems << name + " ran to " + run.output().right(40);
                run.write(kPackage, m_packages["fresh"]);
                row.before = snapshot(run);
                row.interrupt.clear();
                if (!run.start(row.args))
                    problems << name + " did not start again";
            }
            return all;
        },
        120000));
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(", ")));
}

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
