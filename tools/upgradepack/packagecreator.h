#ifndef PACKAGECREATOR_H
#define PACKAGECREATOR_H

#include "packprocess.h"

#include <QString>
#include <QStringList>

/// What `create` is asked to pack.
struct PackageRequest {
    QString output;
    QString type;
    QString model;
    QStringList information; // up to four entries after the model
    QString target;
    QStringList files;
};

/// Writes one upgrade package, refusing what the format cannot carry faithfully.
class PackageCreator {
public:
    /// A creator for request.
    explicit PackageCreator(const PackageRequest& request);

    /// Checks the request and writes the package atomically; false with error() when it fails.
    bool run(const PackProgress& progress);
    /// Why run() failed.
    QString error() const { return m_error; }

private:
    bool check();
    bool fail(const QString& why);

    PackageRequest m_request;
    QString m_error;
};

#endif // PACKAGECREATOR_H
