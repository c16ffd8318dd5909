#ifndef DEVICESANDBOX_H
#define DEVICESANDBOX_H

#include <QString>
#include <QStringList>
#include <QtTest>

namespace DeviceSandbox {

/// True inside the device sandbox: its id is both in the environment and in /run/sandbox/id.
bool inside();
/// Path of the script that makes a sandbox.
QString script();
/// Why a sandbox cannot be made on this machine; empty when it can.
QString unavailableReason();
/// Ends the test program with CTest's skip code when no sandbox can be made here.
void skipProgramUnlessAvailable();
/// The command line that runs a program built for the target: the cross-compiling
/// emulator, if any, followed by the program.
QStringList targetCommand(const QString& program);

} // namespace DeviceSandbox

/// Refuses to go on outside the device sandbox: the test would touch the host's own files.
#define REQUIRE_DEVICE_SANDBOX()                                                                   \
    do {                                                                                           \
        if (!DeviceSandbox::inside())                                                              \
            QFAIL("refusing to touch the appliance's fixed paths outside the device sandbox");     \
    } while (false)

#endif // DEVICESANDBOX_H
