#include "upgradescanner.h"

namespace {

// Packages move freely between the models of one group; each model also exists as a
// "factory" build. Within a group the factory names come first.
const QList<QStringList>& compatibilityGroups()
{
    static const QList<QStringList> groups = {
        {QStringLiteral("factoryKT310"), QStringLiteral("factoryKT260"),
         QStringLiteral("factoryLR520"), QStringLiteral("factoryLR310"), QStringLiteral("KT310"),
         QStringLiteral("KT260"), QStringLiteral("LR520"), QStringLiteral("LR310")},
        {QStringLiteral("factoryKT410Max"), QStringLiteral("factoryLR740"),
         QStringLiteral("factoryLRX740"), QStringLiteral("KT410Max"), QStringLiteral("LR740"),
         QStringLiteral("LRX740")},
        {QStringLiteral("factoryKT310S"), QStringLiteral("factoryHRT900"),
         QStringLiteral("factoryKT310SC"), QStringLiteral("factoryLR480"), QStringLiteral("KT310S"),
         QStringLiteral("KT310SC"), QStringLiteral("LR480"), QStringLiteral("HRT900")},
        {QStringLiteral("factoryKT520"), QStringLiteral("factoryPM930"),
         QStringLiteral("factoryLR860"), QStringLiteral("KT520"), QStringLiteral("PM930"),
         QStringLiteral("LR860")},
        {QStringLiteral("factoryPM750"), QStringLiteral("PM750")},
        {QStringLiteral("factoryKT220"), QStringLiteral("KT220")},
    };
    return groups;
}

bool inGroup(const QString& model, const QStringList& group)
{
    for (const QString& name : group) {
        if (QString::compare(model, name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

bool UpgradeScanner::model_compare(QString deviceModel, QString packageModel)
{
    return g_modelCompare(deviceModel, packageModel);
}

bool UpgradeScanner::g_modelCompare(const QString& deviceModel, const QString& packageModel)
{
    for (const QStringList& group : compatibilityGroups()) {
        if (inGroup(deviceModel, group) && inGroup(packageModel, group))
            return true;
    }
    return false;
}

QStringList UpgradeScanner::g_compatibleModels()
{
    QStringList models;
    for (const QStringList& group : compatibilityGroups())
        models += group;
    return models;
}

QString UpgradeScanner::g_builtInModel()
{
    return QStringLiteral("KT310");
}
