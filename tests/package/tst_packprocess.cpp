#include "packprocess.h"
#include "upgradescanner.h"

#include <QtEndian>
#include <QtTest>

#include <sys/resource.h>

#include <csignal>

namespace {

const qint64 kChunk = 10485760;

/// Package bytes laid out by hand, the way another writer of the format would.
class PackageBytes {
public:
    PackageBytes& header()
    {
        m_bytes += QByteArray("lumacrestupgrade") + QByteArray(84, '\0');
        return *this;
    }
    PackageBytes& record(const QByteArray& bytes)
    {
        char length[4];
        qToBigEndian(quint32(bytes.size()), length);
        m_bytes += QByteArray(length, 4) + bytes;
        return *this;
    }
    PackageBytes& text(const QString& text)
    {
        QByteArray bytes = text.toLatin1();
        for (char& c : bytes)
            c = char(c ^ 0x35);
        return record(bytes);
    }
    PackageBytes& texts(const QStringList& texts)
    {
        for (const QString& t : texts)
            text(t);
        return *this;
    }
    PackageBytes& count(quint8 low, quint8 high)
    {
        m_bytes += char(low);
        m_bytes += char(high);
        return *this;
    }
    PackageBytes& item(const QString& name)
    {
        return texts({name, "/opt", "md5", "r1", "r2", "r3", "r4", "r5"});
    }
    PackageBytes& payload(const QByteArray& content)
    {
        text(QString::number(content.size()));
        text(content.isEmpty() ? "0" : "1");
        if (!content.isEmpty())
            record(content);
        return *this;
    }
    PackageBytes& raw(const QByteArray& bytes)
    {
        m_bytes += bytes;
        return *this;
    }
    QByteArray bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

const QStringList kInfo = {"KT310", "v2.1", "", "", "notes"};

PackageBytes packageOfType(const QString& type)
{
    return PackageBytes().header().text(type).texts(kInfo);
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

QByteArray patternBytes(qint64 size, int seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    return bytes;
}

QStringList filesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class TestPackProcess : public QObject {
    Q_OBJECT

private slots:
    void instanceIsOne() { QCOMPARE(&PackProcess::instance(), &PackProcess::instance()); }

    void xorTransform_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("once");
        QTest::addColumn<QString>("twice");
        QTest::newRow("ascii") << "T1"
                               << "a\x04"
                               << "T1";
        QTest::newRow("the key becomes a zero") << "5" << QString(QChar(0)) << "5";
        QTest::newRow("latin-1") << QStringLiteral("\u00e9") << QStringLiteral("\u00dc")
                                 << QStringLiteral("\u00e9");
        QTest::newRow("above U+00FF is lost")
            << QStringLiteral("\u4e2d") << "5" << QString(QChar(0));
        QTest::newRow("empty") << ""
                               << ""
                               << "";
    }
    void xorTransform()
    {
        QFETCH(QString, text);
        QFETCH(QString, once);
        QFETCH(QString, twice);
        PackProcess& pack = PackProcess::instance();
        QCOMPARE(pack.toXOREncryptUncrypt(text), once);
        QCOMPARE(pack.toXOREncryptUncrypt(once), twice);
    }

    void tinyPackageIsByteExact()
    {
        QTemporaryDir dir;
        QVERIFY(writeAll(dir.filePath("a.txt"), "hi"));
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(dir.path());
        const bool saved = PackProcess::instance().saveBinaryFile(
            "T1", {"KT310", "5", QStringLiteral("\u00e9"), "", ""},
            {PackItemInfo("a.txt", "/opt", "m", "reserved1", "reserved2", "reserved3", "reserved4",
                          "reserved5")},
            "tiny.pkg");
        QDir::setCurrent(cwd);
        QVERIFY(saved);

        const QByteArray expected = QByteArray::fromHex(
            // magic, then zeros up to offset 100
            "6c756d61637265737475706772616465" + QByteArray(168, '0') +
            // "T1", "KT310", "5" (a zero byte), U+00E9 (two UTF-8 bytes), "", ""
            "00000002"
            "6104"
            "00000005"
            "7e61060405"
            "00000001"
            "00"
            "00000002"
            "c39c"
            "00000000"
            "00000000"
            // one item, low byte first
            "0100"
            // "a.txt", "/opt", "m", "reserved1" ... "reserved5"
            "00000005"
            "541b414d41"
            "00000004"
            "1a5a4541"
            "00000001"
            "58"
            "00000009"
            "475046504743505104"
            "00000009"
            "475046504743505107"
            "00000009"
            "475046504743505106"
            "00000009"
            "475046504743505101"
            "00000009"
            "475046504743505100"
            // size "2", chunk count "1", one chunk "hi"
            "00000001"
            "07"
            "00000001"
            "04"
            "00000002"
            "6869");
        QCOMPARE(readAll(dir.filePath("tiny.pkg")).toHex(), expected.toHex());
    }

    void roundTrip_data()
    {
        QTest::addColumn<QList<qint64>>("sizes");
        QTest::addColumn<QByteArray>("tail");
        QTest::newRow("two small items") << QList<qint64>{5, 300} << QByteArray();
        QTest::newRow("empty file") << QList<qint64>{0} << QByteArray::fromHex("0000000105");
        QTest::newRow("exactly one chunk") << QList<qint64>{kChunk} << QByteArray();
        QTest::newRow("one byte more: second chunk of one byte")
            << QList<qint64>{kChunk + 1} << QByteArray::fromHex("00000001");
    }
    void roundTrip()
    {
        QFETCH(QList<qint64>, sizes);
        QFETCH(QByteArray, tail);
        QTemporaryDir src;
        QTemporaryDir dst;
        QVector<PackItemInfo> written;
        QList<QByteArray> contents;
        for (int i = 0; i < sizes.size(); ++i) {
            contents.append(patternBytes(sizes.at(i), i));
            const QString path = src.filePath(QStringLiteral("file%1.bin").arg(i));
            QVERIFY(writeAll(path, contents.last()));
            written.append(PackItemInfo(path, QStringLiteral("/target/%1").arg(i),
                                        UpgradeScanner::g_GenMd5(path), "reserved1", "reserved2",
                                        "reserved3", "reserved4", "reserved5"));
        }
        const QString pkg = dst.filePath("update.pkg");
        QVERIFY(PackProcess::instance().saveBinaryFile("T2", kInfo, written, pkg));
        if (!tail.isEmpty()) {
            const QByteArray bytes = readAll(pkg);
            QCOMPARE(bytes.right(tail.size() + (sizes.first() ? 1 : 0)).left(tail.size()).toHex(),
                     tail.toHex());
        }

        QVector<PackItemInfo> items;
        QString type;
        QStringList information;
        st_packRead read;
        read.digest = true;
        QVERIFY(PackProcess::instance().readPackage(pkg, items, type, information, read));
        QCOMPARE(type, QStringLiteral("T2"));
        QCOMPARE(information, kInfo);
        QCOMPARE(items.size(), written.size());
        QCOMPARE(read.payloads.size(), written.size());
        for (int i = 0; i < items.size(); ++i) {
            QCOMPARE(items.at(i).name(), written.at(i).name());
            QCOMPARE(items.at(i).target(), written.at(i).target());
            QCOMPARE(items.at(i).md5(), written.at(i).md5());
            QCOMPARE(read.payloads.at(i).md5, written.at(i).md5());
            QCOMPARE(read.payloads.at(i).size, QString::number(sizes.at(i)));
            QCOMPARE(read.payloads.at(i).chunkCount, quint32((sizes.at(i) + kChunk - 1) / kChunk));
            QCOMPARE(read.payloads.at(i).chunks, read.payloads.at(i).chunkCount);
            QVERIFY(!read.payloads.at(i).truncated);
            QVERIFY(readAll(dst.filePath(QStringLiteral("file%1.bin").arg(i))) == contents.at(i));
        }
        QCOMPARE(read.trailingBytes, 0);
        QCOMPARE(filesIn(dst.path()).size(), sizes.size() + 1);
    }

    void digestWhileWriting()
    {
        QTemporaryDir dir;
        const QString a = dir.filePath("a.bin");
        const QString b = dir.filePath("b.bin");
        QVERIFY(writeAll(a, patternBytes(kChunk + 3, 1)));
        QVERIFY(writeAll(b, QByteArray()));
        QVector<PackItemInfo> items = {PackItemInfo(), PackItemInfo()};
        items[0].setName(a);
        items[1].setName(b);
        QVector<PackItemInfo> plain = items;
        plain[0].setMd5(UpgradeScanner::g_GenMd5(a));
        plain[1].setMd5(UpgradeScanner::g_GenMd5(b));
        QVERIFY(PackProcess::instance().saveBinaryFile("T1", kInfo, plain, dir.filePath("p1")));

        QFile out(dir.filePath("p2"));
        QVERIFY(out.open(QIODevice::WriteOnly));
        st_packWrite write;
        write.digest = true;
        QVERIFY(PackProcess::instance().writePackage(out, "T1", kInfo, items, write));
        out.close();
        QCOMPARE(items.at(0).md5(), plain.at(0).md5());
        QCOMPARE(items.at(1).md5(), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
        QVERIFY(readAll(dir.filePath("p1")) == readAll(dir.filePath("p2")));
    }

    void readerOutcomes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("information");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("files");

        const QStringList none;
        const QStringList pkgOnly = {"pkg"};
        QTest::newRow("cannot be opened") << QByteArray() << false << "unset" << 0 << none << none;
        QTest::newRow("empty file") << QByteArray("") << false << "T0" << 0 << none << pkgOnly;
        QTest::newRow("not a package")
            << QByteArray("BZh91AY&SY plain archive") << false << "T0" << 0 << none << pkgOnly;
        QTest::newRow("magic without its zero")
            << QByteArray("lumacrestupgradeX") + QByteArray(100, '\0') << false << "T0" << 0 << none
            << pkgOnly;
        QTest::newRow("magic alone reads an empty type")
            << QByteArray("lumacrestupgrade") << false << "" << 0 << none << pkgOnly;
        QTest::newRow("T0") << packageOfType("T0").count(1, 0).item("a").payload("x").bytes()
                            << false << "T0" << 0 << none << pkgOnly;
        QTest::newRow("T4") << packageOfType("T4").count(1, 0).item("a").payload("x").bytes()
                            << false << "T4" << 0 << none << pkgOnly;
        QTest::newRow("lower-case t1")
            << packageOfType("t1").bytes() << false << "t1" << 0 << none << pkgOnly;
        QTest::newRow("negative count means none")
            << packageOfType("T1").count(0x00, 0x80).item("a").payload("x").bytes() << true << "T1"
            << 5 << none << pkgOnly;
        QTest::newRow("zero items")
            << packageOfType("T3").count(0, 0).bytes() << true << "T3" << 5 << none << pkgOnly;
        QTest::newRow("truncated before the count")
            << PackageBytes().header().text("T1").text("KT310").bytes() << true << "T1" << 5 << none
            << pkgOnly;
        QTest::newRow("two items, low byte first")
            << packageOfType("T1")
                   .count(2, 0)
                   .item("/build/dir/a.bin")
                   .item("b.bin")
                   .payload("AAA")
                   .payload("")
                   .bytes()
            << true << "T1" << 5 << QStringList{"/build/dir/a.bin", "b.bin"}
            << QStringList{"a.bin", "b.bin", "pkg"};
        QTest::newRow("truncated payload gives short files")
            << packageOfType("T1")
                   .count(2, 0)
                   .item("a.bin")
                   .item("b.bin")
                   .payload("AAAA")
                   .bytes()
                   .chopped(2)
            << true << "T1" << 5 << QStringList{"a.bin", "b.bin"}
            << QStringList{"a.bin", "b.bin", "pkg"};
        QTest::newRow("item table cut short: the rest read as empty records")
            << packageOfType("T1").count(3, 0).item("a.bin").text("b.bin").bytes() << false << "T1"
            << 5 << QStringList{"a.bin", "b.bin", ""} << QStringList{"a.bin", "b.bin", "pkg"};
        QTest::newRow("a text running past the end reads as empty, the rest with it")
            << packageOfType("T1").count(2, 0).raw("\x7f\xff\xff\xff").item("a").bytes() << false
            << "T1" << 5 << QStringList{"", ""} << pkgOnly;
        QTest::newRow("an output that cannot be opened")
            << packageOfType("T1")
                   .count(3, 0)
                   .item("a.bin")
                   .item("dir/")
                   .item("c.bin")
                   .payload("A")
                   .payload("B")
                   .payload("C")
                   .bytes()
            << false << "T1" << 5 << QStringList{"a.bin", "dir/", "c.bin"}
            << QStringList{"a.bin", "pkg"};
        QTest::newRow("an item named like the package is refused")
            << packageOfType("T1")
                   .count(2, 0)
                   .item("a.bin")
                   .item("/other/pkg")
                   .payload("A")
                   .payload("evil")
                   .bytes()
            << false << "T1" << 5 << QStringList{"a.bin", "/other/pkg"}
            << QStringList{"a.bin", "pkg"};
    }
    void readerOutcomes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, result);
        QFETCH(QString, type);
        QFETCH(int, information);
        QFETCH(QStringList, names);
        QFETCH(QStringList, files);

        QTemporaryDir dir;
        const QString pkg = dir.filePath("pkg");
        if (!bytes.isNull())
            QVERIFY(writeAll(pkg, bytes));
        QVector<PackItemInfo> items;
        QString gotType = "unset";
        QStringList gotInformation;
        QCOMPARE(PackProcess::instance().readBinaryFile(pkg, items, gotType, gotInformation),
                 result);
        QCOMPARE(gotType, type);
        QCOMPARE(gotInformation.size(), information);
        if (information == 5 && QTest::currentDataTag() != QByteArray("truncated before the count"))
            QCOMPARE(gotInformation, kInfo);
        QStringList gotNames;
        for (const PackItemInfo& item : items)
            gotNames.append(item.name());
        QCOMPARE(gotNames, names);
        QCOMPARE(filesIn(dir.path()), files);
        if (!bytes.isNull())
            QVERIFY(readAll(pkg) == bytes);
    }

    void truncatedPayloadContents()
    {
        QTemporaryDir dir;
        const QByteArray bytes =
            packageOfType("T1").count(2, 0).item("a.bin").item("b.bin").payload("AAAA").bytes();
        QVERIFY(writeAll(dir.filePath("pkg"), bytes + QByteArray::fromHex("0000000104")));
        QVector<PackItemInfo> items;
        QString type;
        QStringList information;
        QVERIFY(
            PackProcess::instance().readBinaryFile(dir.filePath("pkg"), items, type, information));
        QCOMPARE(readAll(dir.filePath("a.bin")), QByteArray("AAAA"));
        QCOMPARE(readAll(dir.filePath("b.bin")), QByteArray(""));
    }

    void hugeChunkCountEndsWithTheData()
    {
        QTemporaryDir dir;
        const QByteArray bytes = packageOfType("T1")
                                     .count(2, 0)
                                     .item("a.bin")
                                     .item("b.bin")
                                     .payload("xyz")
                                     .text("3")
                                     .text("4294967295")
                                     .record("abc")
                                     .bytes();
        QVERIFY(writeAll(dir.filePath("pkg"), bytes));
        QVector<PackItemInfo> items;
        QString type;
        QStringList information;
        st_packRead read;
        QVERIFY(PackProcess::instance().readPackage(dir.filePath("pkg"), items, type, information,
                                                    read));
        QCOMPARE(readAll(dir.filePath("a.bin")), QByteArray("xyz"));
        QCOMPARE(readAll(dir.filePath("b.bin")), QByteArray("abc"));
        QCOMPARE(read.payloads.size(), 2);
        QCOMPARE(read.payloads.at(1).chunkCount, 4294967295u);
        QCOMPARE(read.payloads.at(1).chunks, 1u);
        QVERIFY(read.payloads.at(1).truncated);
    }

    void pathWithoutSlashExtractsIntoTheCurrentDirectory()
    {
        QTemporaryDir dir;
        QVERIFY(writeAll(dir.filePath("pkg"),
                         packageOfType("T1").count(1, 0).item("/x/y/z.bin").payload("Z").bytes()));
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QVector<PackItemInfo> items;
        QString type;
        QStringList information;
        const bool ok = PackProcess::instance().readBinaryFile("pkg", items, type, information);
        QDir::setCurrent(cwd);
        QVERIFY(ok);
        QCOMPARE(readAll(dir.filePath("z.bin")), QByteArray("Z"));
    }

    void writerFailuresLeaveNoPackage_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("unreadable source") << "missing";
        QTest::newRow("source is the output") << "self";
        QTest::newRow("disk full") << "full";
    }
    void writerFailuresLeaveNoPackage()
    {
        QFETCH(QString, failure);
        QTemporaryDir dir;
        const QString good = dir.filePath("good.bin");
        const QString out = dir.filePath("out.pkg");
        QVERIFY(writeAll(good, patternBytes(300000, 3)));
        QVector<PackItemInfo> items(2);
        items[0].setName(good);
        items[1].setName(failure == "missing" ? dir.filePath("missing.bin")
                         : failure == "self"  ? out
                                              : good);
        if (failure == "self")
            QVERIFY(writeAll(out, "precious"));

        rlimit saved{};
        if (failure == "full") {
            std::signal(SIGXFSZ, SIG_IGN);
            QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
            rlimit small = saved;
            small.rlim_cur = 400000;
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        const bool ok = PackProcess::instance().saveBinaryFile("T1", kInfo, items, out);
        if (failure == "full")
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);

        QVERIFY(!ok);
        if (failure == "self")
            QCOMPARE(readAll(out), QByteArray("precious"));
        else
            QVERIFY(!QFile::exists(out));
    }
};

QTEST_GUILESS_MAIN(TestPackProcess)
#include "tst_packprocess.moc"
