#ifndef FIRMWAREBUILDER_H
#define FIRMWAREBUILDER_H

#include "packprocess.h"

#include <QString>
#include <QStringList>

/// Builds a firmware archive: the files of a directory under ota_file/, with their manifest.
class FirmwareBuilder {
public:
    /// A builder of the archive output from the files in dir.
    FirmwareBuilder(const QString& output, const QString& dir);

    /// Digests the files and runs tar; false with error() when it fails. Output is atomic.
    bool run(const PackProgress& progress);
    /// Why run() failed, one reason a line.
    QString error() const { return m_error; }
    /// The dot files and directories of dir that run() left out, relative to dir.
    QStringList skipped() const { return m_skipped; }
    /// Builds even an archive in which a stage would take a file not meant for it.
    void setForce(bool force) { m_force = force; }
    /// What the device will skip in the archive run() built.
    QStringList warnings() const { return m_warnings; }

    /// True when the device unpacks an archive of this name without decompressing it.
    static bool isPlainTar(const QString& output);

private:
    bool fail(const QString& why);
    bool checkOutput();
    bool collect(QStringList& entries, QStringList& files, qint64& total);
    bool checkStages(const QStringList& files);

    QString m_output;
    QString m_dir;
    QString m_error;
    QStringList m_skipped;
    bool m_force = false;
    QStringList m_warnings;
};

#endif // FIRMWAREBUILDER_H
