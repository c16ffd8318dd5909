#ifndef ASIDEFILE_H
#define ASIDEFILE_H

#include <QFile>
#include <QString>

/// Moves the file at from to the path to, as rename() does, but replaces a regular file at to
/// without waiting for from's data to reach the disk; false with errno set when it cannot.
bool moveIntoPlace(const QString& from, const QString& to);

/// An output written beside its final path and moved there only once it is whole.
class AsideFile {
public:
    /// An output that is to end up at path.
    explicit AsideFile(const QString& path);
    /// Removes the file written beside the final path, unless it was committed.
    ~AsideFile();
    AsideFile(const AsideFile&) = delete;
    AsideFile& operator=(const AsideFile&) = delete;

    /// Creates the file beside the final path; false with errorString() when it cannot.
    bool open();
    /// The open file; as a QSaveFile does, it carries the final path as its name.
    QFile& file() { return m_file; }
    /// Closes the file and moves it to the final path; false with errorString() when it cannot.
    bool commit();
    /// Why open() or commit() failed.
    QString errorString() const { return m_error; }

private:
    bool fail(const QString& why);

    QString m_path;
    QString m_targetPath;
    QString m_asidePath;
    QFile m_file;
    QString m_error;
};

#endif // ASIDEFILE_H
