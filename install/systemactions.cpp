#include "upgradescanner.h"

#include <QDebug>

// Each tool gets its arguments as separate argv entries, without a shell, so names and
// paths with blanks or shell characters arrive unchanged.

namespace {

st_toolCall toolCall(const QString& program, const QStringList& arguments)
{
    st_toolCall call;
    call.program = program;
    call.arguments = arguments;
    return call;
}

} // namespace

bool UpgradeScanner::closeProcess(QString name)
{
    qDebug().noquote() << QStringLiteral("close %1....").arg(name);
    return m_appliance->startDetached(toolCall(QLatin1String(kStopTool), {name}));
}

bool UpgradeScanner::modifyingFilePermissions(QString path)
{
    return m_appliance->startDetached(
        toolCall(QLatin1String(kOpenTool), {QStringLiteral("777"), path}));
}

bool UpgradeScanner::rebootSystem()
{
    return m_appliance->startDetached(toolCall(QStringLiteral("reboot"), {}));
}
