#ifndef DIRECTORIES_H
#define DIRECTORIES_H

#include <QString>

/// Why dir cannot be listed ("no such directory", "not a directory", the system's reason);
/// empty when it can.
QString directoryProblem(const QString& dir);
/// Creates dir and any missing parents; returns why it could not, or an empty text.
QString makeDirectory(const QString& dir);

#endif // DIRECTORIES_H
