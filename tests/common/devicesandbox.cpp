#include "devicesandbox.h"

#include <QFile>
#include <QProcess>

#include <cstdio>
#include <cstdlib>

namespace DeviceSandbox {

bool inside()
{
    const QByteArray id = qgetenv("SCANNER_SANDBOX");
    QFile marker(QStringLiteral("/run/sandbox/id"));
    if (id.isEmpty() || !marker.open(QIODevice::ReadOnly))
        return false;
    return marker.readAll() == id;
}

QString script()
{
    return QStringLiteral(SCANNER_SANDBOX_SCRIPT);
}

QString unavailableReason()
{
    static const QString reason = [] {
        QProcess probe;
        probe.start(script(), {QStringLiteral("--"), QStringLiteral("true")});
        if (!probe.waitForFinished(30000))
            return QStringLiteral("the sandbox script did not answer");
        if (probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0)
            return QString();
        const QString why = QString::fromLocal8Bit(probe.readAllStandardError()).trimmed();
        return why.isEmpty() ? QStringLiteral("the sandbox script failed") : why;
    }();
    return reason;
}

QStringList targetCommand(const QString& program)
{
    QStringList command;
    for (const QString& part : QStringLiteral(SCANNER_EMULATOR).split(QLatin1Char(';'))) {
        if (!part.isEmpty())
            command << part;
    }
    return command << program;
}

void skipProgramUnlessAvailable()
{
    const QString reason = unavailableReason();
    if (reason.isEmpty())
        return;
    std::fprintf(stderr, "SKIP: no device sandbox on this machine: %s\n", qPrintable(reason));
    std::exit(77);
}

} // namespace DeviceSandbox
