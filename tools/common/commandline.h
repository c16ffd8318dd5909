#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QString>

class QCommandLineParser;

/// Names the running tool and gives it the project's version, which --version prints.
void setUpTool(const QString& name);
/// The tool's own words for what the parser refused, such as "unknown option --fast".
QString commandLineError(const QCommandLineParser& parser);

#endif // COMMANDLINE_H
