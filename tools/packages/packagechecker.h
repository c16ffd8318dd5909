#ifndef PACKAGECHECKER_H
#define PACKAGECHECKER_H

#include "fallible.h"
#include "packprocess.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

class QFile;

/// Reads an upgrade package on the workstation: describes, verifies or extracts it.
class PackageChecker : public Fallible {
public:
    /// An inspector of the package at path.
    explicit PackageChecker(const QString& path);

    /// Reads the package and digests every carried file; false with errorString() when it is none.
    [[nodiscard]] bool inspect(const PackProgress& progress);
    /// The package as text, for people.
    QString describe() const;
    /// The package as a JSON object, for scripts.
    QJsonObject toJson() const;
    /// Everything that keeps the package from being well formed and intact, or that the device
    /// reads otherwise than its table says; empty when there is nothing.
    QStringList problems() const;

    /// Writes the carried files into dir under their file names, all or nothing; unless force,
    /// each must match its md5 and no file it replaces may be read-only.
    [[nodiscard]] bool extractTo(const QString& dir, bool force, const PackProgress& progress);

private:
    [[nodiscard]] bool open(QFile& package);
    /// Reads the package into sink; when refuseMisread, stops before the payloads at the first
    /// item the device would read otherwise than the table says.
    [[nodiscard]] bool read(const PackSink& sink, const PackProgress& progress, bool refuseMisread);
    QString itemLabel(int index) const;
    qint64 itemSize(int index) const;
    bool md5Ok(int index) const;
    QString truncatedPayload(int index) const;
    QString md5Mismatch(int index) const;
    QString countProblem() const;
    QStringList itemProblems() const;

    QString m_path;
    QString m_type;
    QStringList m_information;
    QVector<PackItemInfo> m_items;
    st_packRead m_read;
};

#endif // PACKAGECHECKER_H
