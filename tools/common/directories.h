#ifndef DIRECTORIES_H
#define DIRECTORIES_H

#include <QString>
#include <QStringList>

/// Why dir cannot be listed ("no such directory", "not a directory", the system's reason);
/// empty when it can.
QString directoryProblem(const QString& dir);
/// Creates dir and any missing parents, adding each one it made to made; returns why it could
/// not, or an empty text.
QString makeDirectory(const QString& dir, QStringList* made = nullptr);
/// Removes the directories makeDirectory made, the last made first, where they are empty.
void removeDirectories(const QStringList& made);

#endif // DIRECTORIES_H
