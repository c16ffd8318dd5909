#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QByteArray>
#include <QString>

#include <cerrno>

class QCommandLineParser;

/// Names the running tool and gives it the project's version, which --version prints.
void setUpTool(const QString& name);
/// The tool's own words for what the parser refused, such as "unknown option --fast".
QString commandLineError(const QCommandLineParser& parser);

/// A size as people write it: BYTES, or a number (with a decimal fraction or not) and K, M or G
/// (or k, m, g) or KiB, MiB or GiB, 1024-based as tmpfs's size= option; -1 for any other text,
/// a negative number, and a fraction that is no whole number of bytes.
qint64 parseSize(const QString& text);
/// The forms parseSize() takes, in words, to follow "is not a size: ".
QString sizeForms();

/// The system's words for an errno value, such as "No space left on device".
QString systemError(int error = errno);

/// bytes as printable ASCII: every other byte as \xHH, and a backslash doubled.
QString escapedBytes(const QByteArray& bytes);
/// The text as it can be printed whole: each control character written as \n, \r, \t or \xHH,
/// and each backslash as \\.
QString escapedText(const QString& text);

/// Writes bytes to standard output, and flushes it when asked; a failure is kept for
/// finishOutput().
void writeOutput(const QByteArray& bytes, bool flush = false);
/// Flushes standard output and returns code; when anything written there was lost, says so on
/// stderr as coreutils do ("<tool>: write error: <reason>") and returns lost instead.
int finishOutput(int code, int lost = 1);

#endif // COMMANDLINE_H
