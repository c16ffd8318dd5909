#ifndef FIXTURES_H
#define FIXTURES_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

class QProcess;

/// Files by path; a content "->TARGET" makes a symbolic link, "<fifo>" a FIFO.
using Files = QList<QPair<QString, QByteArray>>;

/// The MD5 of data as 32 lower-case hex digits.
QByteArray md5(const QByteArray& data);
/// The content of a host file; a null array when it cannot be read, an empty one when empty.
QByteArray readFile(const QString& path);
/// The parts of text between separators, without the empty ones.
QStringList parts(const QString& text, const QString& separator);
/// The bytes of a test table's text: \n, \r, \t, \0, \\ and \xHH stand for what they say.
QByteArray unescape(const QString& text);
/// One row of a test table: the line it stands on and its fields.
struct TableRow {
    int line;
    QStringList fields;
};
/// Reads the test table at path into rows: each line's fields, separated by " | ", without
/// surrounding blanks and with every {NAME} expanded; "#" starts a comment line, and
/// "{NAME} = TEXT" defines a text. False, with why naming the line, when a row has fewer than
/// minFields or more than maxFields fields or names a text that is not defined.
bool readTable(const QString& path, QMap<QString, QString>& texts, int minFields, int maxFields,
               QList<TableRow>& rows, QString& why);
/// Runs command (program first) in dir with input on its standard input; returns its output, with
/// its exit code (128 + the ending signal) in code and error text in err. process may come set
/// up; signal, when given, goes to it after afterMs; a run still going after a minute is killed.
QByteArray runProcess(const QStringList& command, const QString& dir = QString(),
                      const QByteArray& input = QByteArray(), int* code = nullptr,
                      QString* err = nullptr, QProcess* process = nullptr, int signal = 0,
                      int afterMs = 0);
/// Writes a host file whole, creating its directories.
bool writeFile(const QString& path, const QByteArray& data);
/// Writes files under dir, creating their directories; false if any of them fails.
bool writeFiles(const QString& dir, const Files& files);

/// Package bytes laid out field by field, the way another writer of the format would, with
/// the offset at which each named part begins.
struct PackageBytes {
    QByteArray bytes;
    QMap<QString, int> at;

    /// A length-prefixed record of raw bytes.
    PackageBytes& record(const QByteArray& data);
    /// A text record: each character XOR 0x35, UTF-8 encoded.
    PackageBytes& text(QString value);
    /// Remembers where the named part begins.
    PackageBytes& mark(const QString& part);
};

/// One carried file; its md5 is the content's unless given.
struct Item {
    QString name;
    QByteArray content;
    QString md5 = QString();
};

/// A whole package: header, type, the model and four empty information entries, the item
/// table and the payloads, with the parts marked.
PackageBytes makePackage(const QList<Item>& items, const QString& type = QStringLiteral("T1"),
                         const QString& model = QStringLiteral("KT310"));
/// Firmware files placed under ota_file/ with a manifest listing each of them but those whose
/// name starts with '-', which is dropped.
Files firmware(const Files& files);
/// An archive made by tar of these files (bzip2 unless plain), extra tar options first.
QByteArray makeArchive(const Files& files, bool plain = false,
                       const QStringList& tarOptions = QStringList());

#endif // FIXTURES_H
