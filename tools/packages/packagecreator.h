#ifndef PACKAGECREATOR_H
#define PACKAGECREATOR_H

#include "fallible.h"
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
class PackageCreator : public Fallible {
public:
    /// A creator for request.
    explicit PackageCreator(const PackageRequest& request);

    /// Checks the request and writes the package atomically; false with errorString() when it
    /// fails.
    [[nodiscard]] bool run(const PackProgress& progress);

private:
    [[nodiscard]] bool check();

    PackageRequest m_request;
};

#endif // PACKAGECREATOR_H
