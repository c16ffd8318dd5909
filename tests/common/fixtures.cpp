#include "fixtures.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>

#include <csignal>

#include <sys/stat.h>

QByteArray md5(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QByteArray readFile(const QString& path)
{
    // readAll() gives a null array for an empty file too: only a missing one may read as null.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray data = file.readAll();
    return data.isNull() ? QByteArrayLiteral("") : data;
}

QStringList parts(const QString& text, const QString& separator)
{
    QStringList list = text.split(separator);
    list.removeAll(QString());
    return list;
}

QByteArray unescape(const QString& text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    for (int i = 0; i < in.size(); ++i) {
        const int escape = in.at(i) == '\\' && i + 1 < in.size()
                               ? QByteArray("nrt0\\x").indexOf(in.at(i + 1))
                               : -1;
        if (escape < 0)
            out += in.at(i);
        else if (escape < 5)
            out += "\n\r\t\0\\"[escape], ++i;
        else
            out += char(in.mid(i + 2, 2).toInt(nullptr, 16)), i += 3;
    }
    return out;
}

// Each {NAME} of texts and each {md5:TEXT} replaced, the innermost first; a name that texts
// lacks is left in place and added to unknown.
static QString expandTexts(QString text, const QMap<QString, QString>& texts, QStringList* unknown)
{
    // A shell's ${NAME} is no text of the table.
    static const QRegularExpression name("(?<!\\$)\\{([A-Z][A-Z0-9]*|md5:[^{}]*)\\}");
    QRegularExpressionMatch m;
    for (int from = 0; (m = name.match(text, from)).hasMatch();) {
        const QString key = m.captured(1);
        from = m.capturedEnd();
        if (key.startsWith("md5:") || texts.contains(key)) {
            text.replace(m.capturedStart(), m.capturedLength(),
                         key.startsWith("md5:") ? md5(unescape(key.mid(4))) : texts[key]);
            from = 0;
        } else {
            unknown->append(key);
        }
    }
    return text;
}

bool readTable(const QString& path, QMap<QString, QString>& texts, int minFields, int maxFields,
               QList<TableRow>& rows, QString& why)
{
    const QStringList lines = QString::fromUtf8(readFile(path)).split('\n');
    QList<TableRow> raw;
    for (int i = 0; i < lines.size(); ++i) {
        const QString& line = lines.at(i);
        if (line.startsWith('{') && line.contains("} = "))
            texts[line.section("} = ", 0, 0).mid(1)] = line.section("} = ", 1);
        else if (!line.trimmed().isEmpty() && !line.startsWith('#'))
            raw << TableRow{i + 1, line.split(QRegularExpression(" \\|(?= |$)"))
                                       .replaceInStrings(QRegularExpression("^ +| +$"), "")};
    }
    // Texts may be defined below their first use: expand only once all are read.
    for (TableRow& row : raw) {
        const QString at = QStringLiteral("%1:%2: ").arg(QFileInfo(path).fileName()).arg(row.line);
        if (row.fields.size() < minFields || row.fields.size() > maxFields) {
            why = at + QStringLiteral("%1 fields, where a row has %2 to %3")
                           .arg(row.fields.size())
                           .arg(minFields)
                           .arg(maxFields);
            return false;
        }
        QStringList unknown;
        for (QString& field : row.fields)
            field = expandTexts(field, texts, &unknown);
        if (!unknown.isEmpty()) {
            unknown.removeDuplicates();
            why = at + QStringLiteral("no text {%1}").arg(unknown.join("}, {"));
            return false;
        }
    }
    rows = raw;
    return true;
}

QByteArray runProcess(const QStringList& command, const QString& dir, const QByteArray& input,
                      int* code, QString* err, QProcess* process, int signal, int afterMs)
{
    QProcess own;
    QProcess& run = process ? *process : own;
    run.setWorkingDirectory(dir);
    run.start(command.first(), command.mid(1));
    run.write(input);
    run.closeWriteChannel();
    if (signal && !run.waitForFinished(afterMs))
        ::kill(pid_t(run.processId()), signal);
    // A run that hangs must not pass for one that exited.
    if (!run.waitForFinished(60000))
        run.kill();
    run.waitForFinished();
    if (code)
        *code = run.exitCode() + (run.exitStatus() == QProcess::NormalExit ? 0 : 128);
    if (err)
        *err = QString::fromUtf8(run.readAllStandardError());
    return run.readAllStandardOutput();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

bool writeFiles(const QString& dir, const Files& files)
{
    bool ok = true;
    for (const auto& [name, data] : files) {
        const QString path = dir + '/' + name;
        ok &= QDir().mkpath(QFileInfo(path).path()) &&
              (data.startsWith("->") ? QFile::link(QString::fromUtf8(data.mid(2)), path)
               : data == "<fifo>"    ? ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0
                                     : writeFile(path, data));
    }
    return ok;
}

PackageBytes& PackageBytes::record(const QByteArray& data)
{
    char length[4];
    qToBigEndian(quint32(data.size()), length);
    bytes += QByteArray(length, 4) + data;
    return *this;
}

PackageBytes& PackageBytes::text(QString value)
{
    for (QChar& c : value)
        c = c.unicode() < 256 ? QChar(c.unicode() ^ 0x35) : QChar(0x35);
    return record(value.toUtf8());
}

PackageBytes& PackageBytes::mark(const QString& part)
{
    at[part] = bytes.size();
    return *this;
}

PackageBytes makePackage(const QList<Item>& items, const QString& type, const QString& model)
{
    PackageBytes p{QByteArray("lumacrestupgrade") + QByteArray(84, '\0'), {}};
    p.mark("type").text(type).mark("information").text(model).text("").text("").text("").text("");
    p.mark("item count").bytes +=
        char(items.size() & 0xff) + QByteArray(1, char(items.size() >> 8));
    p.mark("item table");
    for (const Item& item : items) {
        p.text(item.name).text(QString()).text(
            item.md5.isNull() ? QString::fromLatin1(md5(item.content)) : item.md5);
        for (int r = 1; r <= 5; ++r)
            p.text(QStringLiteral("reserved%1").arg(r));
    }
    for (const Item& item : items) {
        const int chunks = (item.content.size() + 10485759) / 10485760;
        p.mark("payload size").text(QString::number(item.content.size()));
        p.mark("chunk count").text(QString::number(chunks)).mark("chunks");
        for (int c = 0; c < chunks; ++c)
            p.record(item.content.mid(c * 10485760, 10485760));
    }
    return p;
}

Files firmware(const Files& files)
{
    Files out;
    QByteArray manifest;
    for (const auto& file : files) {
        const bool listed = !file.first.startsWith('-');
        out << qMakePair(QStringLiteral("ota_file/") + file.first.mid(!listed), file.second);
        if (listed)
            manifest += md5(file.second) + "  " + file.first.toUtf8() + "\n";
    }
    return out << qMakePair(QStringLiteral("ota_file/fileMd5s"), manifest);
}

QByteArray makeArchive(const Files& files, bool plain, const QStringList& tarOptions)
{
    QTemporaryDir dir;
    writeFiles(dir.path(), files);
    QStringList command =
        QStringList{"tar"} + tarOptions + QStringList{plain ? "-cf" : "-cjf", "-"};
    for (const auto& file : files)
        command << file.first;
    return runProcess(command, dir.path());
}
