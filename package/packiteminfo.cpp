#include "packiteminfo.h"

const QMap<EUpgradeTypeVal, QString> UpgradeTypeValMap = {
    {EUpgradeType_T0, QStringLiteral("T0")}, {EUpgradeType_T1, QStringLiteral("T1")},
    {EUpgradeType_T2, QStringLiteral("T2")}, {EUpgradeType_T3, QStringLiteral("T3")},
    {EUpgradeType_T4, QStringLiteral("T4")},
};

EUpgradeTypeVerdict g_upgradeTypeVerdict(const QString& type)
{
    if (type == UpgradeTypeValMap.value(EUpgradeType_T1))
        return EUpgradeTypeVerdict_Run;
    if (type == UpgradeTypeValMap.value(EUpgradeType_T2) ||
        type == UpgradeTypeValMap.value(EUpgradeType_T3))
        return EUpgradeTypeVerdict_Refused;
    if (type == UpgradeTypeValMap.value(EUpgradeType_T0))
        return EUpgradeTypeVerdict_NotPackage;
    return EUpgradeTypeVerdict_Unreadable;
}

bool g_readerAcceptsType(const QString& type)
{
    const EUpgradeTypeVerdict verdict = g_upgradeTypeVerdict(type);
    return verdict == EUpgradeTypeVerdict_Run || verdict == EUpgradeTypeVerdict_Refused;
}

PackItemInfo::PackItemInfo()
    : m_reserved1(QStringLiteral("reserved1")), m_reserved2(QStringLiteral("reserved2")),
      m_reserved3(QStringLiteral("reserved3")), m_reserved4(QStringLiteral("reserved4")),
      m_reserved5(QStringLiteral("reserved5"))
{
}

PackItemInfo::PackItemInfo(const QString& name, const QString& target, const QString& md5,
                           const QString& reserved1, const QString& reserved2,
                           const QString& reserved3, const QString& reserved4,
                           const QString& reserved5)
    : m_name(name), m_target(target), m_md5(md5), m_reserved1(reserved1), m_reserved2(reserved2),
      m_reserved3(reserved3), m_reserved4(reserved4), m_reserved5(reserved5)
{
}

PackItemInfo::PackItemInfo(const PackItemInfo& other) = default;

PackItemInfo::PackItemInfo(const PackItemInfo&& other) : PackItemInfo(other) {}

PackItemInfo& PackItemInfo::operator=(const PackItemInfo& other)
{
    if (this != &other) {
        m_name = other.m_name;
        m_target = other.m_target;
        m_md5 = other.m_md5;
        m_reserved1 = other.m_reserved1;
        m_reserved2 = other.m_reserved2;
        m_reserved3 = other.m_reserved3;
        m_reserved4 = other.m_reserved4;
        m_reserved5 = other.m_reserved5;
    }
    return *this;
}

PackItemInfo& PackItemInfo::operator=(const PackItemInfo&& other)
{
    return *this = other;
}

PackItemInfo::~PackItemInfo() = default;
