#ifndef PACKITEMINFO_H
#define PACKITEMINFO_H

#include <QMap>
#include <QString>

/// Upgrade types as stored in a package; packages carry their text from UpgradeTypeValMap.
enum EUpgradeTypeVal {
    EUpgradeType_T0 = 0,
    EUpgradeType_T1 = 1,
    EUpgradeType_T2 = 2,
    EUpgradeType_T3 = 3,
    EUpgradeType_T4 = 4,
};

/// Text of each upgrade type, "T0" to "T4"; built before main runs and never changed.
extern const QMap<EUpgradeTypeVal, QString> UpgradeTypeValMap;

/// What the device makes of a package by the upgrade type it names.
enum EUpgradeTypeVerdict {
    EUpgradeTypeVerdict_NotPackage, ///< "T0": refused as no upgrade package at all
    EUpgradeTypeVerdict_Unreadable, ///< any text but "T0" to "T3": the reader refuses it
    EUpgradeTypeVerdict_Refused,    ///< "T2" and "T3": read, then refused by the dispatcher
    EUpgradeTypeVerdict_Run,        ///< "T1": carried out
};

/// The verdict on a package of the given type text; exact, case-sensitive comparison.
EUpgradeTypeVerdict g_upgradeTypeVerdict(const QString& type);
/// True when the package reader reads on after a package's type: "T1", "T2" or "T3".
bool g_readerAcceptsType(const QString& type);

/// The record of one file carried in an upgrade package.
class PackItemInfo {
public:
    /// Empty name, target and md5; the reserved texts "reserved1" to "reserved5".
    PackItemInfo();
    /// All eight fields, in field order.
    PackItemInfo(const QString& name, const QString& target, const QString& md5,
                 const QString& reserved1, const QString& reserved2, const QString& reserved3,
                 const QString& reserved4, const QString& reserved5);
    /// Copies all eight fields.
    PackItemInfo(const PackItemInfo& other);
    /// Copies all eight fields; the source keeps its values.
    PackItemInfo(const PackItemInfo&& other);
    /// Assigns all eight fields in field order.
    PackItemInfo& operator=(const PackItemInfo& other);
    /// Assigns all eight fields in field order, exactly as the copy assignment.
    PackItemInfo& operator=(const PackItemInfo&& other);
    /// Releases the eight texts.
    ~PackItemInfo();

    /// Path of the file on the machine that built the package.
    const QString& name() const { return m_name; }
    /// Installation target of the file on the device.
    const QString& target() const { return m_target; }
    /// MD5 of the file's content as 32 hexadecimal digits.
    const QString& md5() const { return m_md5; }

    /// Replaces the name.
    void setName(const QString& name) { m_name = name; }
    /// Replaces the target.
    void setTarget(const QString& target) { m_target = target; }
    /// Replaces the md5 text.
    void setMd5(const QString& md5) { m_md5 = md5; }

private:
    friend class PackProcess;

    QString m_name;
    QString m_target;
    QString m_md5;
    QString m_reserved1;
    QString m_reserved2;
    QString m_reserved3;
    QString m_reserved4;
    QString m_reserved5;
};

#endif // PACKITEMINFO_H
