#ifndef DIRECTORIES_H
#define DIRECTORIES_H

#include <QString>

/// Why dir cannot be listed ("no such directory", "not a directory", the system's reason);
/// empty when it can.
QString directoryProblem(const QString& dir);
/// Creates dir and any missing parents; returns why it could not, or an empty text. created, when
/// given, receives the outermost directory it made (empty when it made none).
QString makeDirectory(const QString& dir, QString* created = nullptr);

#endif // DIRECTORIES_H
