#ifndef ASIDEFILE_H
#define ASIDEFILE_H

#include "fallible.h"
#include "signalcleanup.h"

#include <QFile>
#include <QString>

/// Moves the file at from to the path to, as rename() does, but replaces a regular file at to
/// without waiting for from's data to reach the disk; false with errno set when it cannot.
bool moveIntoPlace(const QString& from, const QString& to);

/// A file that names the output it stands for rather than the file it writes, as a QSaveFile
/// does, so that messages about it name what the user asked for.
class OutputFile : public QFile {
public:
    /// A file that calls itself name.
    explicit OutputFile(const QString& name) : m_name(name) {}
    /// The output's path as given.
    QString fileName() const override { return m_name; }

private:
    QString m_name;
};

/// An output written beside its final path and moved there only once it is whole. An existing
/// output that is not a regular file (a device, a FIFO, a terminal) is written directly instead,
/// as cp and tar do: it is never replaced. Through a symbolic link, the link's target is
/// replaced.
class AsideFile : public Fallible {
public:
    /// An output that is to end up at path.
    explicit AsideFile(const QString& path);
    /// Removes the file written beside the final path, unless it was committed.
    ~AsideFile();
    AsideFile(const AsideFile&) = delete;
    AsideFile& operator=(const AsideFile&) = delete;

    /// Creates the file beside the final path, or opens an output that is no regular file;
    /// false with errorString() when it cannot.
    [[nodiscard]] bool open();
    /// The open file; it carries the final path as its name. Sequential when it is written
    /// directly into a device, a FIFO or a terminal: it cannot then seek.
    QFile& file() { return m_file; }
    /// Closes the file and moves it to the final path; false with errorString() when it cannot.
    [[nodiscard]] bool commit();

private:
    QString m_path;
    QString m_targetPath;
    QString m_asidePath;
    OutputFile m_file;
    RemovedOnSignal m_removal;
};

#endif // ASIDEFILE_H
