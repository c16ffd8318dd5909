#ifndef STATUSTEXTS_H
#define STATUSTEXTS_H

#include <QString>
#include <QVector>

// Every status message of the system is built here, and every status code has its meaning
// here, for the upgrader that sends them and for the host tools that read the stream. The texts
// of the component stages are fields of their rows in the stage table (g_otaStages).

#include "packiteminfo.h"

/// The codes that callers tell messages apart by.
constexpr char kCodeSuccess[] = "UB99";
constexpr char kCodeFailure[] = "UC";
constexpr char kCodeNotAPackage[] = "UC11";
constexpr char kCodeUnreadable[] = "UC12";
constexpr char kCodeTypeRefused[] = "UC35";
constexpr char kCodeAccepted[] = "UB21";
constexpr char kCodeRefusedByProduct[] = "UC36";
constexpr char kCodeRefusedByScanner[] = "UC37";
constexpr char kCodeRefusedByBuiltIn[] = "UC38";

/// True for the message of a finished upgrade, "UB99" and whatever follows it.
bool g_isSuccess(const QString& message);
/// True for an error message: one whose code begins with "UC".
bool g_isFailure(const QString& message);
/// True for the message that tells how the model check went: accepted or refused.
bool g_isModelVerdict(const QString& message);
/// The code a device ends with for a package of a type it does not carry out; empty for one it
/// does.
QString g_typeVerdictCode(EUpgradeTypeVerdict verdict);

/// One status code and what it means, in words a release engineer reads.
struct st_statusCode {
    const char* code;
    const char* meaning;
};
/// Every status code the system sends.
const QVector<st_statusCode>& g_statusCodes();
/// What a message means: its code's meaning, or that of a parameter-preservation message;
/// empty for a text that is no status message.
QString g_statusMeaning(const QString& message);

/// "UB10": started, with the build stamp.
QString g_msgStarted();
/// "UB11": the request for the package at path is taken up.
QString g_msgRequest(const QString& package);
/// "UC11": the file is no upgrade package, or one of type T0.
QString g_msgNotAPackage(const QString& package);
/// "UC12": the package cannot be read.
QString g_msgUnreadable();
/// "UC13": the package names no upgrade type.
QString g_msgNoType();
/// "UC36": the product model refused the package model.
QString g_msgRefusedByProduct(const QString& productModel, const QString& packageModel);
/// "UC37": the scanner type refused the package model.
QString g_msgRefusedByScanner(const QString& productModel, const QString& scannerType,
                              const QString& packageModel);
/// "UC38": the built-in model refused the package model.
QString g_msgRefusedByBuiltIn(const QString& productModel, const QString& scannerType,
                              const QString& builtInModel, const QString& packageModel);
/// "UB21": the device of this identity accepted the package model.
QString g_msgAccepted(const QString& productModel, const QString& scannerType,
                      const QString& builtInModel, const QString& packageModel);
/// "UB12": the package file was deleted.
QString g_msgPackageDeleted(const QString& package);
/// "UC14": the packaged file at path does not match its digest.
QString g_msgPackagedMismatch(const QString& md5, const QString& computed, const QString& path);
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
/// "UC29": the manifest is missing at verification.
QString g_msgManifestMissing();
/// "UC30": the manifest cannot be opened.
QString g_msgManifestUnreadable();
/// "UC31": a file the manifest lists is missing, or lies outside ota_file/.
QString g_msgListedMissing(const QString& path);
/// "UC32": an unpacked file does not match the manifest.
QString g_msgListedMismatch(const QString& md5, const QString& computed, const QString& path);
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
