#ifndef STATUSTEXTS_H
#define STATUSTEXTS_H

#include <QString>

// The status messages of the request, the pipeline and parameter preservation, built in one
// place for the upgrader that sends them and for the host tool that predicts them.

/// "UB11": the request for the package at path is taken up.
QString g_msgRequest(const QString& package);
/// "UC11": the file is no upgrade package, or one of type T0.
QString g_msgNotAPackage(const QString& package);
/// "UC12": the package cannot be read.
QString g_msgUnreadable();
/// "UC13": the package names no upgrade type.
QString g_msgNoType();
/// "UB21": the device of this identity accepted the package model.
QString g_msgAccepted(const QString& productModel, const QString& scannerType,
                      const QString& builtInModel, const QString& packageModel);
/// "UB12": the package file was deleted.
QString g_msgPackageDeleted(const QString& package);
/// "UB13": every packaged file matched its digest.
QString g_msgStart();
/// "UC35": the message for a package type other than T1.
QString g_msgTypeRefused(const QString& type);
/// "UC15": a T1 package with a file count other than one.
QString g_msgFileCount(int count);
/// "UC16": no firmware archive at the path.
QString g_msgNoArchive(const QString& archive);
/// "UB14": unpacking begins.
QString g_msgUnpack();
/// "UC17": unpacking left no ota_file directory.
QString g_msgNoOtaDir();
/// "UC18": unpacking left no manifest.
QString g_msgNoManifest();
/// "UB15": the archive was unpacked and deleted; verification begins.
QString g_msgVerify(const QString& archive);
/// "UC19": verification of the unpacked files failed.
QString g_msgVerifyFailed();
/// "UB99": the upgrade is done.
QString g_msgSuccess();
/// Parameter preservation names the parameter file it uses.
QString g_msgParaFile(const QString& path);
/// Parameter preservation found no parameter file at the path.
QString g_msgParaNotFile(const QString& path);
/// The parameter file at the path is not JSON.
QString g_msgParaNotJson(const QString& path);
/// The parameter file's "savePara" choice.
QString g_msgParaChoice(bool savePara);

#endif // STATUSTEXTS_H
