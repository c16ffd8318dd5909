#ifndef FIRMWAREBUILDER_H
#define FIRMWAREBUILDER_H

#include "fallible.h"
#include "packprocess.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

class AsideFile;

/// Builds a firmware archive: the files of a directory under ota_file/, with their manifest.
class FirmwareBuilder : public Fallible {
public:
    /// A builder of the archive output from the files in dir.
    FirmwareBuilder(const QString& output, const QString& dir);

    /// Writes the archive, digesting each file as it is streamed; false with errorString() when it
    /// fails. Output is atomic.
    [[nodiscard]] bool run(const PackProgress& progress);
    /// The dot files and directories of dir that run() left out, relative to dir.
    QStringList skipped() const { return m_skipped; }
    /// Builds even an archive in which a stage would take a file not meant for it.
    void setForce(bool force) { m_force = force; }
    /// Compresses on at most jobs threads (default: one a core).
    void setJobs(int jobs) { m_jobs = jobs; }
    /// Stamps every member with time, in seconds since 1970, instead of the newest file's.
    void setTime(qint64 time) { m_time = time; }
    /// What the device will skip in the archive run() built.
    QStringList warnings() const { return m_warnings; }
    /// The compressor run() will use: lbzip2, else bzip2, as found on PATH; empty for a plain
    /// tar archive or when neither is found.
    QString compressor() const;

private:
    /// A file or directory to archive, by its path relative to dir.
    struct Entry {
        QByteArray path;
        bool isDir;
        bool executable;
        qint64 size;
    };

    [[nodiscard]] bool checkOutput();
    [[nodiscard]] bool collect(QVector<Entry>& entries, qint64& total, qint64& newest);
    [[nodiscard]] bool checkStages(const QVector<Entry>& entries);
    [[nodiscard]] bool stream(const QVector<Entry>& entries, qint64 total, qint64 time,
                              AsideFile& out, const PackProgress& progress);

    QString m_output;
    QString m_dir;
    QStringList m_skipped;
    bool m_force = false;
    int m_jobs = 0;
    qint64 m_time = -1;
    QStringList m_warnings;
};

#endif // FIRMWAREBUILDER_H
