#ifndef FIXTURES_H
#define FIXTURES_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

/// Files by path; a content "->TARGET" makes a symbolic link.
using Files = QList<QPair<QString, QByteArray>>;

/// The MD5 of data as 32 lower-case hex digits.
QByteArray md5(const QByteArray& data);
/// The content of a host file; a null array when it cannot be read.
QByteArray readFile(const QString& path);
/// The parts of text between separators, without the empty ones.
QStringList parts(const QString& text, const QString& separator);
/// The bytes of a test table's text: \n, \r, \t, \0, \\ and \xHH stand for what they say.
QByteArray unescape(const QString& text);
/// The rows of the test table at path, each a list of the fields its line separates by " | ",
/// without surrounding blanks; "#" starts a comment line, and "{NAME} = TEXT" defines a text.
QList<QStringList> readTable(const QString& path, QMap<QString, QString>& texts);
/// Text with each {NAME} of texts and each {md5:TEXT} replaced, the innermost first.
QString expandTexts(QString text, const QMap<QString, QString>& texts);
/// Writes a host file whole, creating its directories.
bool writeFile(const QString& path, const QByteArray& data);

/// Package bytes laid out field by field, the way another writer of the format would, with
/// the offset at which each named part begins.
struct PackageBytes {
    QByteArray bytes;
    QMap<QString, int> at;

    /// A length-prefixed record of raw bytes.
    PackageBytes& record(const QByteArray& data);
    /// A text record: each character XOR 0x35, UTF-8 encoded.
    PackageBytes& text(const QString& value);
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
/// Firmware files placed under ota_file/ with a manifest listing each of them.
Files firmware(const Files& files);
/// An archive made by tar of these files (bzip2 unless plain), extra tar options first.
QByteArray makeArchive(const Files& files, bool plain = false,
                       const QStringList& tarOptions = QStringList());

#endif // FIXTURES_H
