#include "appliance.h"

#include <QEventLoop>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

Appliance::~Appliance() = default;

std::unique_ptr<QFile> Appliance::writableFile(const QString& path)
{
    return std::make_unique<QFile>(path);
}

DeviceAppliance& DeviceAppliance::instance()
{
    static DeviceAppliance appliance;
    return appliance;
}

QString DeviceAppliance::path(const QString& devicePath) const
{
    return devicePath;
}

int DeviceAppliance::run(const st_toolCall& call)
{
    if (!call.commandLine.isEmpty())
        return std::system(call.commandLine.toLocal8Bit().constData());
    if (call.forwarded)
        return QProcess::execute(call.program, call.arguments);
    QProcess process;
    process.start(call.program, call.arguments, QIODevice::ReadWrite);
    process.waitForFinished(-1);
    if (process.error() == QProcess::FailedToStart)
        return -2;
    return process.exitStatus() == QProcess::CrashExit ? -1 : process.exitCode();
}

bool DeviceAppliance::startDetached(const st_toolCall& call)
{
    return QProcess::startDetached(call.program, call.arguments);
}

void DeviceAppliance::send(const QString& message)
{
    // The stream must not be closed with the file object: every message goes through it.
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return;
    out.write(message.toLocal8Bit());
    out.close();
}

void DeviceAppliance::wait(int msec)
{
    // A coarse timer may fire up to 5% early; the parent relies on the full spacing.
    QEventLoop loop;
    QTimer::singleShot(msec, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void DeviceAppliance::sleep(int seconds)
{
    QThread::sleep(seconds);
}

QDateTime DeviceAppliance::now() const
{
    return QDateTime::currentDateTime();
}
