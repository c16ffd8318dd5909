#include "devicerun.h"
#include "devicesandbox.h"
#include "packiteminfo.h"
#include "packprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QMap>
#include <QProcess>
#include <QtTest>

#include <functional>
#include <map>
#include <memory>

namespace {

const QByteArray kStartup("UB10-quillMark-202312271830_M");
const QString kPackage = QStringLiteral("/tmp/upgrade/p.bin");
const QString kOta = QStringLiteral("/tmp/upgrade/ota_file/");

using Files = QMap<QString, QByteArray>;

QString md5(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

// The firmware every full run installs: one file for each of the seven stages and one
// that no stage takes.
Files standardFirmware()
{
    return Files{{"Image", "kernel"},
                 {"board.dtb", "device tree"},
                 {"uboot.bin", "boot loader"},
                 {"520M0App.bin", "mcu"},
                 {"rootfs.ext4", "root fs"},
                 {"rpmsg.bin", "rpmsg"},
                 {"scanner-app.sh", "#!/bin/sh\n"},
                 {"notes.txt", "left alone"}};
}

// The messages every accepted T1 package of model KT310 begins with, on a KT310 device.
QByteArray acceptedPrefix(const QString& archive)
{
    return kStartup + "UB11" + kPackage.toUtf8() +
           "UB21sys type:KT310sys real type:m_type:KT310file type:KT310" +
           "UB12delete file:" + kPackage.toUtf8() + "UB13start upgrade!" + "UB14unpack file...." +
           "UB15delete file:/tmp/upgrade/" + archive.toUtf8() +
           "-=Check the decompressed files....";
}

QByteArray stagesFor(const QString& prefix)
{
    return "UB16ota kernel-image...." + prefix.toUtf8() + "Image" + "UB17ota kernel-dtb...." +
           prefix.toUtf8() + "board.dtb" + "UB18ota uboot...." + prefix.toUtf8() + "uboot.bin" +
           "UB20MCU ota uboot...." + prefix.toUtf8() + "520M0App.bin" +
           "UB19ota scanner.rootfs.ext4...." + prefix.toUtf8() + "rootfs.ext4";
}

QByteArray completion(const QByteArray& parameterMessages)
{
    return parameterMessages + "UB99upgrade success! reboot!";
}

const QByteArray kNoParameterFile("runtxtOrder--filePa--/tmp/savepara.txt"
                                  "runtxtOrder--filePa-not isFile-/tmp/savepara.txt");

struct Scenario {
    std::unique_ptr<DeviceRun> run;
    QByteArray expected;
    std::function<void(DeviceRun&)> check;
};

} // namespace

class TestUpgrade : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_work;
    std::map<QString, Scenario> m_scenarios;
    int m_serial = 0;

    QString scratch(const QString& name)
    {
        return m_work.filePath(QString::number(++m_serial) + name);
    }

    bool upgradePack(const QStringList& arguments)
    {
        QStringList command =
            DeviceSandbox::targetCommand(QStringLiteral(UPGRADE_PACK_BIN)) + arguments;
        QProcess tool;
        tool.start(command.takeFirst(), command);
        if (!tool.waitForFinished(60000) || tool.exitCode() != 0) {
            qWarning() << "upgrade-pack" << arguments << tool.readAllStandardError();
            return false;
        }
        return true;
    }

    // Writes the files under a fresh scratch directory; a name ending in "/" is a directory.
    QString writeTree(const QString& label, const Files& files)
    {
        const QString dir = scratch(label);
        QDir().mkpath(dir);
        for (auto it = files.begin(); it != files.end(); ++it) {
            const QString path = dir + QLatin1Char('/') + it.key();
            QDir().mkpath(QFileInfo(path).path());
            if (it.key().endsWith(QLatin1Char('/')))
                continue;
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(it.value());
        }
        return dir;
    }

    // A fresh path for an archive of the given file name.
    QString outputPath(const QString& name)
    {
        const QString out = scratch(QStringLiteral("out/")) + name;
        QDir().mkpath(QFileInfo(out).path());
        return out;
    }

    // A firmware archive made by the packing tool from these files.
    QString firmware(const Files& files, const QString& name = QStringLiteral("firmware.tar.bz2"))
    {
        const QString dir = writeTree(QStringLiteral("fw"), files);
        const QString out = outputPath(name);
        return upgradePack({QStringLiteral("firmware"), QStringLiteral("-o"), out, dir})
                   ? out
                   : QString();
    }

    // A bzip2 archive made by tar from entries relative to its top, for archives the packing
    // tool would never make.
    QString rawArchive(const Files& entries,
                       const QString& name = QStringLiteral("firmware.tar.bz2"))
    {
        const QString dir = writeTree(QStringLiteral("raw"), entries);
        const QString out = outputPath(name);
        QProcess tar;
        tar.start(QStringLiteral("tar"),
                  {QStringLiteral("-cjf"), out, QStringLiteral("-C"), dir, QStringLiteral(".")});
        return tar.waitForFinished(60000) && tar.exitCode() == 0 ? out : QString();
    }

    // A package made by the packing tool carrying these files.
    QString package(const QStringList& files, const QString& type = QStringLiteral("T1"),
                    const QString& model = QStringLiteral("KT310"))
    {
        const QString out = scratch(QStringLiteral("pkg.bin"));
        QStringList arguments{QStringLiteral("create"),
                              QStringLiteral("-o"),
                              out,
                              QStringLiteral("--type"),
                              type,
                              QStringLiteral("--model"),
                              model};
        return upgradePack(arguments + files) ? out : QString();
    }

    // A package written directly, for contents the packing tool refuses to make.
    QString rawPackage(const QString& type, const QVector<PackItemInfo>& items,
                       const QString& model = QStringLiteral("KT310"))
    {
        const QString out = scratch(QStringLiteral("raw.bin"));
        PackProcess::instance().saveBinaryFile(
            type, {model, QString(), QString(), QString(), QString()}, items, out);
        return out;
    }

    static QByteArray readHost(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Starts a run on a KT310 device with the package at kPackage (when one is given).
    DeviceRun& start(const QString& name, const QString& packagePath, const QByteArray& expected,
                     const std::function<void(DeviceRun&)>& prepare = {},
                     const std::function<void(DeviceRun&)>& check = {},
                     const QStringList& arguments = {kPackage})
    {
        Scenario& scenario = m_scenarios[name];
        scenario.run = std::make_unique<DeviceRun>();
        scenario.expected = expected;
        scenario.check = check;
        DeviceRun& run = *scenario.run;
        run.writeFile(QStringLiteral("/etc/issue"), "product_model=KT310\n");
        if (!packagePath.isEmpty())
            run.writeFile(kPackage, readHost(packagePath));
        if (prepare)
            prepare(run);
        if (!run.start(arguments))
            qWarning() << "cannot start" << name;
        return run;
    }

    void startAll();

private slots:
    void initTestCase()
    {
        DeviceSandbox::skipProgramUnlessAvailable();
        QVERIFY(m_work.isValid());
        startAll();
    }

    void upgrade_data()
    {
        QTest::addColumn<QString>("name");
        for (const auto& scenario : m_scenarios)
            QTest::newRow(qPrintable(scenario.first)) << scenario.first;
    }
    void upgrade()
    {
        QFETCH(QString, name);
        Scenario& scenario = m_scenarios[name];
        DeviceRun& run = *scenario.run;
        run.waitUntil([&] { return run.output().size() >= scenario.expected.size(); }, 120000);
        // Anything more would come at least 550 ms after the last message.
        run.settleQuiet(800);
        QCOMPARE(QString::fromUtf8(run.output()), QString::fromUtf8(scenario.expected));
        QVERIFY2(run.isRunning(), "the device program must idle after its last message");
        run.stop();
        if (scenario.check)
            scenario.check(run);
    }
};

void TestUpgrade::startAll()
{
    const Files fw = standardFirmware();
    const QString fullArchive = firmware(fw);
    QVERIFY(!fullArchive.isEmpty());
    const QString fullPackage = package({fullArchive});
    const QByteArray full = acceptedPrefix(QStringLiteral("firmware.tar.bz2")) + stagesFor(kOta);

    start(
        QStringLiteral("full success"), fullPackage,
        full + completion("runtxtOrder--filePa--/tmp/upgrade/savepara.txt"
                          "runtxtOrder--saveparaJson--1"),
        [](DeviceRun& run) {
            run.writeFile(QStringLiteral("/tmp/upgrade/savepara.txt"), R"({"savePara": true})");
            run.writeFile(QStringLiteral("/usr/scanner/config/scannerConfig0.json"), "{}");
            run.writeFile(QStringLiteral("/usr/scanner/config/upgradeError.json"), "");
            run.writeFile(QStringLiteral("/usr/scanner/Corefile/core.1"), "core");
        },
        [fw](DeviceRun& run) {
            const QString ota = kOta;
            QCOMPARE(run.toolCalls(QStringLiteral("ota_update")),
                     (QList<QStringList>{{ota + "Image", "kernel-image"},
                                         {ota + "board.dtb", "kernel-dtb"},
                                         {ota + "uboot.bin", "uboot"},
                                         {ota + "rootfs.ext4", "ext4"}}));
            QCOMPARE(run.toolCalls(QStringLiteral("iap_update")),
                     (QList<QStringList>{{" -u ", ota + "520M0App.bin"}}));
            QCOMPARE(run.toolCalls(QStringLiteral("scp")),
                     (QList<QStringList>{{ota + "rpmsg.bin", "/run/media/mmcblk2p1/"},
                                         {ota + "scanner-app.sh", "/etc/"}}));
            QCOMPARE(run.toolCalls(QStringLiteral("killall")),
                     (QList<QStringList>{{"scanner-app"}}));
            QVERIFY(run.toolCalls(QStringLiteral("reboot")).isEmpty());
            QCOMPARE(run.readFile(QStringLiteral("/run/media/mmcblk2p1/rpmsg.bin")),
                     fw.value("rpmsg.bin"));
            QCOMPARE(run.readFile(QStringLiteral("/etc/scanner-app.sh")),
                     fw.value("scanner-app.sh"));
            QCOMPARE(run.permissions(QStringLiteral("/etc/scanner-app.sh")) & 0777, 0777);
            QVERIFY(QRegularExpression(
                        QStringLiteral("^\\d{17}--upgradesuccess--/tmp/upgrade/p\\.bin$"))
                        .match(QString::fromUtf8(
                            run.readFile(QStringLiteral("/usr/scanner/config/upgradeLog.json"))))
                        .hasMatch());
            QVERIFY(!run.exists(QStringLiteral("/usr/scanner/config/upgradeError.json")));
            QVERIFY(run.exists(QStringLiteral("/usr/scanner/config/scannerConfig0.json")));
            QVERIFY(!run.exists(QStringLiteral("/tmp/upgrade/firmware.tar.bz2")));
            QVERIFY(!run.exists(kPackage));
            QVERIFY(!run.exists(QStringLiteral("/tmp/upgrade/ota_file")));
            QVERIFY(!run.exists(QStringLiteral("/usr/scanner/Corefile")));
            QCOMPARE(run.readFile(QStringLiteral("/usr/scanner/config/logsave.txt")),
                     QByteArray("/tmp/upgrade/savepara.txt"));
        });

    // Refusals of the request.
    const QByteArray accepted = kStartup + "UB11" + kPackage.toUtf8() +
                                "UB21sys type:KT310sys real type:m_type:KT310file type:KT310";
    const QByteArray archiveBytes = readHost(fullArchive);
    start(QStringLiteral("UC11 plain archive"), fullArchive,
          kStartup + "UB11" + kPackage.toUtf8() + "UC11" + kPackage.toUtf8(), {},
          [archiveBytes](DeviceRun& run) {
              QCOMPARE(run.readFile(kPackage), archiveBytes);
              QVERIFY(!run.exists(QStringLiteral("/tmp/upgrade/ota_file")));
              QVERIFY(run.exists(QStringLiteral("/usr/scanner/config/upgradeError.json")));
          });
    start(QStringLiteral("UC11 T0 package"), rawPackage(QStringLiteral("T0"), {}),
          kStartup + "UB11" + kPackage.toUtf8() + "UC11" + kPackage.toUtf8());
    start(QStringLiteral("UC12 no such file"), QString(),
          kStartup + "UB11/tmp/upgrade/none.bin" + "UC12config analysis err!", {}, {},
          {QStringLiteral("/tmp/upgrade/none.bin")});
    const QString t4 = package({fullArchive}, QStringLiteral("T4"));
    start(QStringLiteral("UC12 type T4"), t4,
          kStartup + "UB11" + kPackage.toUtf8() + "UC12config analysis err!", {},
          [bytes = readHost(t4)](DeviceRun& run) {
              QCOMPARE(run.readFile(kPackage), bytes);
              QVERIFY(!run.exists(QStringLiteral("/tmp/upgrade/firmware.tar.bz2")));
          });

    QByteArray corrupted = readHost(fullPackage);
    corrupted[corrupted.size() - 1] = char(corrupted.at(corrupted.size() - 1) ^ 0x01);
    QByteArray corruptedArchive = archiveBytes;
    corruptedArchive[corruptedArchive.size() - 1] = corrupted.at(corrupted.size() - 1);
    const QString corruptedPackage = scratch(QStringLiteral("corrupted.bin"));
    {
        QFile file(corruptedPackage);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(corrupted);
    }
    start(QStringLiteral("UC14 digest mismatch"), corruptedPackage,
          accepted + "UB12delete file:" + kPackage.toUtf8() + "UC14Md5 check err: strMd5Orignal=" +
              md5(archiveBytes).toLatin1() + ", calcMd5=" + md5(corruptedArchive).toLatin1() +
              ", filepath=/tmp/upgrade/firmware.tar.bz2",
          {}, [](DeviceRun& run) {
              QVERIFY(!run.exists(kPackage));
              QVERIFY(run.exists(QStringLiteral("/tmp/upgrade/firmware.tar.bz2")));
          });

    const QByteArray checked =
        accepted + "UB12delete file:" + kPackage.toUtf8() + "UB13start upgrade!";
    const QString second = firmware(Files{{"notes.txt", "x"}}, QStringLiteral("second.tar.bz2"));
    start(QStringLiteral("UC15 two files"), package({fullArchive, second}),
          checked + "UC15type T1 can only contains one file but not 2", {}, [](DeviceRun& run) {
              QVERIFY(run.exists(QStringLiteral("/tmp/upgrade/firmware.tar.bz2")));
              QVERIFY(run.exists(QStringLiteral("/tmp/upgrade/second.tar.bz2")));
              QVERIFY(!run.exists(QStringLiteral("/tmp/upgrade/ota_file")));
          });
    start(QStringLiteral("UC15 no files"), rawPackage(QStringLiteral("T1"), {}),
          checked + "UC15type T1 can only contains one file but not 0");
    start(QStringLiteral("UC35 type T2"), package({fullArchive}, QStringLiteral("T2")),
          checked + "UC35Type not T1!", {}, [](DeviceRun& run) {
              QVERIFY(run.exists(QStringLiteral("/tmp/upgrade/firmware.tar.bz2")));
              QVERIFY(run.toolCalls().isEmpty());
          });
    start(QStringLiteral("UC35 type T3"), package({fullArchive}, QStringLiteral("T3")),
          checked + "UC35Type not T1 or T2!");

    const QString kt520 = package({fullArchive}, QStringLiteral("T1"), QStringLiteral("KT520"));
    start(QStringLiteral("UC36 product model"), kt520,
          kStartup + "UB11" + kPackage.toUtf8() + "UC36sys type:KT310not file type:KT520", {},
          [](DeviceRun& run) {
              QVERIFY(run.exists(kPackage));
              QVERIFY(run.exists(QStringLiteral("/tmp/upgrade/firmware.tar.bz2")));
          });
    start(QStringLiteral("UC37 scanner type"), kt520,
          kStartup + "UB11" + kPackage.toUtf8() +
              "UC37sys type:sys real type:LR520not file type:KT520",
          [](DeviceRun& run) {
              run.writeFile(QStringLiteral("/etc/issue"), "system_branch=release\n");
              run.writeFile(QStringLiteral("/usr/scanner/config/scannerConfig.json"),
                            R"({"DeviceScanner": {"SType": "LR520"}})");
          });
    start(QStringLiteral("UC38 built-in model"), kt520,
          kStartup + "UB11" + kPackage.toUtf8() +
              "UC38sys type:sys real type:m_type:KT310not file type:KT520",
          [](DeviceRun& run) { run.writeFile(QStringLiteral("/etc/issue"), "\n"); });

    // Failures of the pipeline before its stages.
    const QString outside = rawPackage(
        QStringLiteral("T1"), {PackItemInfo(fullArchive, QString(), QString(), "reserved1",
                                            "reserved2", "reserved3", "reserved4", "reserved5")});
    start(
        QStringLiteral("UC16 package outside the work directory"), QString(),
        kStartup + "UB11/tmp/other/p.bin" +
            "UB21sys type:KT310sys real type:m_type:KT310file type:KT310" +
            "UB12delete file:/tmp/other/p.bin" + "UB13start upgrade!" +
            "UC16file not exists :/tmp/upgrade/firmware.tar.bz2",
        [bytes = readHost(outside)](DeviceRun& run) {
            run.writeFile(QStringLiteral("/tmp/other/p.bin"), bytes);
        },
        [](DeviceRun& run) { QVERIFY(run.exists(QStringLiteral("/tmp/other/firmware.tar.bz2"))); },
        {QStringLiteral("/tmp/other/p.bin")});

    const QByteArray unpacking = checked + "UB14unpack file....";
    start(QStringLiteral("UC17 archive without ota_file"),
          package({rawArchive(Files{{"stuff/a", "x"}})}),
          unpacking + "UC17file not exists :/tmp/upgrade/ota_file/", {}, [](DeviceRun& run) {
              QVERIFY(run.exists(QStringLiteral("/tmp/upgrade/firmware.tar.bz2")));
              QVERIFY(run.exists(QStringLiteral("/tmp/upgrade/stuff/a")));
          });
    start(
        QStringLiteral("UC18 archive without manifest"),
        package({rawArchive(Files{{"ota_file/Image", "k"}})}),
        unpacking +
            "UC18The upgrade file is incomplete! /tmp/upgrade/ota_file/fileMd5s is not exist!",
        [](DeviceRun& run) { run.writeFile(QStringLiteral("/usr/scanner/Corefile/core"), "c"); },
        [](DeviceRun& run) {
            QVERIFY(run.exists(QStringLiteral("/tmp/upgrade/firmware.tar.bz2")));
            QVERIFY(!run.exists(QStringLiteral("/usr/scanner/Corefile")));
        });

    const QByteArray verifying = acceptedPrefix(QStringLiteral("firmware.tar.bz2"));
    start(QStringLiteral("UC31 then UC19"),
          package(
              {rawArchive(Files{{"ota_file/fileMd5s", md5("x").toLatin1() + "  missing.bin\n"}})}),
          verifying + "UC31file not exists :/tmp/upgrade/ota_file/missing.bin" +
              "UC19analysisFileMd5 err..",
          {}, [](DeviceRun& run) {
              QVERIFY(!run.exists(QStringLiteral("/tmp/upgrade/firmware.tar.bz2")));
              QVERIFY(run.exists(QStringLiteral("/tmp/upgrade/ota_file/fileMd5s")));
          });
    start(
        QStringLiteral("UC32 then UC19"),
        package({rawArchive(Files{{"ota_file/Image", "k"},
                                  {"ota_file/fileMd5s", md5("other").toLatin1() + "  Image\n"}})}),
        verifying + "UC32Md5 check err: strMd5Orignal=" + md5("other").toLatin1() +
            ", calcMd5=" + md5("k").toLatin1() + ", filepath=/tmp/upgrade/ota_file/Image" +
            "UC19analysisFileMd5 err..");
    start(QStringLiteral("manifest entry outside ota_file"),
          package({rawArchive(Files{{"ota_file/fileMd5s", md5("x").toLatin1() + "  ../p.bin\n"}})}),
          verifying + "UC31file not exists :/tmp/upgrade/ota_file/../p.bin" +
              "UC19analysisFileMd5 err..");

    // Failures of the stages; each firmware holds just what reaches the failing stage.
    const auto stageRun = [&](const QString& name, const Files& files, const QString& tool,
                              const QByteArray& behaviour, const QByteArray& messages) {
        start(name, package({firmware(files)}), verifying + messages,
              [tool, behaviour](DeviceRun& run) { run.setFake(tool, behaviour); });
    };
    const QByteArray ota = kOta.toUtf8();
    stageRun(QStringLiteral("UC20 kernel tool crashes"), fw, QStringLiteral("ota_update"), "crash",
             "UB16ota kernel-image...." + ota + "Image" + "UC20process.execute failed!");
    stageRun(QStringLiteral("UC21 kernel tool fails"), fw, QStringLiteral("ota_update"), "exit 3",
             "UB16ota kernel-image...." + ota + "Image" + "UC21System other error:3");
    stageRun(QStringLiteral("UC21 kernel tool missing"), fw, QStringLiteral("ota_update"),
             "missing",
             "UB16ota kernel-image...." + ota + "Image" + "UC21File size > disk size:-2");
    const Files fromDtb{{"board.dtb", "d"}, {"uboot.bin", "u"}};
    stageRun(QStringLiteral("UC22 device tree tool crashes"), fromDtb, QStringLiteral("ota_update"),
             "crash", "UB17ota kernel-dtb...." + ota + "board.dtb" + "UC22process.execute failed!");
    stageRun(QStringLiteral("UC23 device tree tool fails"), fromDtb, QStringLiteral("ota_update"),
             "exit 4", "UB17ota kernel-dtb...." + ota + "board.dtb" + "UC23System other error:4");
    const Files fromUboot{{"uboot.bin", "u"}, {"rootfs.ext4", "r"}};
    stageRun(QStringLiteral("UC24 boot loader tool crashes"), fromUboot,
             QStringLiteral("ota_update"), "crash",
             "UB18ota uboot...." + ota + "uboot.bin" + "UC24process.execute failed!");
    stageRun(QStringLiteral("UC25 boot loader tool fails"), fromUboot, QStringLiteral("ota_update"),
             "exit 5", "UB18ota uboot...." + ota + "uboot.bin" + "UC25System other error:5");
    const QByteArray upToMcu = stagesFor(kOta).left(stagesFor(kOta).indexOf("UB19"));
    stageRun(QStringLiteral("UC33 MCU tool crashes"), fw, QStringLiteral("iap_update"), "crash",
             upToMcu + "UC33process.execute failed!");
    stageRun(QStringLiteral("UC34 MCU tool fails"), fw, QStringLiteral("iap_update"), "exit 1",
             upToMcu + "UC34System other error:1");
    stageRun(QStringLiteral("UC26 root file system fails"), Files{{"rootfs.ext4", "r"}},
             QStringLiteral("ota_update"), "exit 3",
             "UB19ota scanner.rootfs.ext4...." + ota + "rootfs.ext4" +
                 "UC26System other error:768");
    stageRun(QStringLiteral("UC27 rpmsg copy fails"), Files{{"rpmsg.bin", "m"}},
             QStringLiteral("scp"), "exit 1",
             "UC27scp " + ota + "rpmsg.bin /run/media/mmcblk2p1/ err");
    stageRun(QStringLiteral("UC28 script copy fails"), Files{{"scanner-app.sh", "s"}},
             QStringLiteral("scp"), "exit 1", "UC28scp " + ota + "scanner-app.sh /etc/ err");

    // Parameter preservation, after a firmware that no stage takes.
    const QString bare = package({firmware(Files{{"notes.txt", "nothing to flash"}})});
    const auto parameterRun = [&](const QString& name, const QString& where, const QByteArray& json,
                                  const QByteArray& messages, bool kept) {
        start(
            name, bare, verifying + completion(messages),
            [where, json](DeviceRun& run) {
                if (!where.isEmpty())
                    run.writeFile(where, json);
                run.writeFile(QStringLiteral("/usr/scanner/config/scannerConfig0.json"), "{}");
            },
            [kept](DeviceRun& run) {
                QCOMPARE(run.exists(QStringLiteral("/usr/scanner/config/scannerConfig0.json")),
                         kept);
                QCOMPARE(run.readFile(QStringLiteral("/usr/scanner/config/logsave.txt")),
                         QByteArray("/tmp/upgrade/savepara.txt"));
                QVERIFY(!run.exists(QStringLiteral("/tmp/upgrade/ota_file")));
            });
    };
    const QByteArray beside("runtxtOrder--filePa--/tmp/upgrade/savepara.txt");
    parameterRun(QStringLiteral("parameters: savePara false"),
                 QStringLiteral("/tmp/upgrade/savepara.txt"), R"({"savePara": false})",
                 beside + "runtxtOrder--saveparaJson--0", false);
    parameterRun(QStringLiteral("parameters: savePara as a string"),
                 QStringLiteral("/tmp/upgrade/savepara.txt"), R"({"savePara": "true"})",
                 beside + "runtxtOrder--saveparaJson--0", false);
    parameterRun(QStringLiteral("parameters: file in /tmp"), QStringLiteral("/tmp/savepara.txt"),
                 R"({"savePara": true})",
                 "runtxtOrder--filePa--/tmp/savepara.txt"
                 "runtxtOrder--saveparaJson--1",
                 true);
    parameterRun(QStringLiteral("parameters: no file"), QString(), QByteArray(), kNoParameterFile,
                 true);
    parameterRun(
        QStringLiteral("parameters: not JSON"), QStringLiteral("/tmp/upgrade/savepara.txt"), "{",
        beside + "runtxtOrder readConfigureFile读取json文件出错-/tmp/upgrade/savepara.txt", true);
    parameterRun(QStringLiteral("parameters: no savePara"),
                 QStringLiteral("/tmp/upgrade/savepara.txt"), R"({"other": false})", beside, true);

    // Archive kinds, model groups and hostile file names.
    const QString plain = firmware(Files{{"uboot.bin", "u"}}, QStringLiteral("firmware.tar"));
    start(QStringLiteral("plain tar archive"), package({plain}),
          acceptedPrefix(QStringLiteral("firmware.tar")) + "UB18ota uboot...." + ota + "uboot.bin" +
              completion(kNoParameterFile));
    start(QStringLiteral("no component, model of the same group"),
          package({firmware(Files{{"notes.txt", "n"}})}, QStringLiteral("T1"),
                  QStringLiteral("KT260")),
          kStartup + "UB11" + kPackage.toUtf8() +
              "UB21sys type:KT310sys real type:m_type:KT310file type:KT260" + "UB12delete file:" +
              kPackage.toUtf8() + "UB13start upgrade!" + "UB14unpack file...." +
              "UB15delete file:/tmp/upgrade/firmware.tar.bz2-=Check the decompressed files...." +
              completion(kNoParameterFile),
          {}, [](DeviceRun& run) { QVERIFY(run.toolCalls().isEmpty()); });

    // File names cannot hold "/", so the commands build it from $PWD.
    const QString slash = QStringLiteral("${PWD%%[a-z]*}");
    const QString hostileRootfs = QStringLiteral("fs;touch${IFS}%1tmp%1pwned;'x.ext4").arg(slash);
    const QString hostileRpmsg = QStringLiteral("rpmsg$(touch${IFS}%1tmp%1pwned2).bin").arg(slash);
    start(QStringLiteral("hostile names stay file names"),
          package({firmware(Files{{hostileRootfs, "r"}, {hostileRpmsg, "m"}})}),
          verifying + "UB19ota scanner.rootfs.ext4...." + ota + hostileRootfs.toUtf8() +
              completion(kNoParameterFile),
          {}, [=](DeviceRun& run) {
              QCOMPARE(run.toolCalls(QStringLiteral("ota_update")),
                       (QList<QStringList>{{kOta + hostileRootfs, "ext4"}}));
              QCOMPARE(run.toolCalls(QStringLiteral("scp")),
                       (QList<QStringList>{{kOta + hostileRpmsg, "/run/media/mmcblk2p1/"}}));
              QCOMPARE(run.readFile(QStringLiteral("/run/media/mmcblk2p1/") + hostileRpmsg),
                       QByteArray("m"));
              QVERIFY(!run.exists(QStringLiteral("/tmp/pwned")));
              QVERIFY(!run.exists(QStringLiteral("/tmp/pwned2")));
          });
    const QString longName = QString(160, QLatin1Char('r')) + QStringLiteral(".ext4");
    start(QStringLiteral("long path reaches the tool whole"),
          package({firmware(Files{{longName, "r"}})}),
          verifying + "UB19ota scanner.rootfs.ext4...." + ota + longName.toUtf8() +
              completion(kNoParameterFile),
          {}, [=](DeviceRun& run) {
              QCOMPARE(run.toolCalls(QStringLiteral("ota_update")),
                       (QList<QStringList>{{kOta + longName, "ext4"}}));
          });
}

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
