#ifndef FRONTEND_H
#define FRONTEND_H

#include <QCommandLineOption>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

class QCommandLineParser;

// The command line of upgrade-pack: it only parses and reports; the work is done by the
// classes of the tool's other folders.
namespace Cli {

enum ExitCode { Success = 0, JobFailed = 1, UsageError = 2, Trouble = 2 };

/// A positional argument of a verb; a name ending in "..." stands for one or more.
struct Argument {
    QString name;
    QString description;
};

/// Writes text to stdout, where a loss is kept for the exit status, or to another stream.
void print(std::FILE* stream, const QString& text);
/// Tells the user on stderr, in the tool's form "upgrade-pack: <what>: <text>".
void report(const QString& what, const QString& text);
/// Reports why what failed and returns code, the exit status to end with.
int failed(const QString& what, const QString& why, int code = JobFailed);
/// An option's name as it is written on the command line: "-o", "--output".
QString dashed(const QString& name);
/// Parses a verb's arguments and checks that none is missing, empty where required, given twice
/// unless repeatable, or too many; returns -1 to go on, or the exit code to end with.
int parse(QCommandLineParser& parser, const QString& verb, const QString& usage,
          const QStringList& arguments, const QVector<Argument>& positionals,
          const QList<QCommandLineOption>& required = {},
          const QList<QCommandLineOption>& repeatable = {});
/// The option of the verbs that can print their result for scripts.
QCommandLineOption jsonOption();
/// Prints object as indented JSON on stdout.
void printJson(const QJsonObject& object);
/// The one positional argument of the verbs that read a package.
QVector<Argument> packageArgument();

/// upgrade-pack create: writes a package from files.
int runCreate(const QStringList& arguments);
/// upgrade-pack info: shows a package's type, information and items.
int runInfo(const QStringList& arguments);
/// upgrade-pack extract: writes a package's carried files into a directory.
int runExtract(const QStringList& arguments);
/// upgrade-pack verify: checks that a package is whole and every file matches its md5.
int runVerify(const QStringList& arguments);
/// upgrade-pack firmware: builds a firmware archive from a directory.
int runFirmware(const QStringList& arguments);
/// upgrade-pack plan: tells what a scanner will do with a package.
int runPlan(const QStringList& arguments);
/// upgrade-pack diff: tells what changed between two releases, stage by stage.
int runDiff(const QStringList& arguments);

} // namespace Cli

#endif // FRONTEND_H
