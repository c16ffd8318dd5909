#ifndef APPLIANCE_H
#define APPLIANCE_H

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <memory>

/// Everything the upgrader does to the world outside it: where its files lie, the tools and
/// shell commands it runs, the status channel to the parent, its waits and its clock. The
/// device program binds the appliance it runs on; a host tool may bind a simulated one.
class Appliance {
public:
    virtual ~Appliance();

    /// Where the file at a device path lies for this appliance.
    virtual QString path(const QString& devicePath) const = 0;
    /// A file at a path from path(), not yet open, that the upgrader writes.
    virtual std::unique_ptr<QFile> writableFile(const QString& path);
    /// Runs a tool without a shell and waits until it ends, as QProcess::execute does: its exit
    /// code, -2 when it cannot start, -1 when it crashed. Its console output reaches the parent
    /// when forwarded, and is captured and dropped otherwise.
    virtual int run(const QString& program, const QStringList& arguments, bool forwarded) = 0;
    /// Runs a command line through the shell and waits: what system() returns.
    virtual int shell(const QString& commandLine) = 0;
    /// Starts a tool detached, never waited for; true when it started.
    virtual bool startDetached(const QString& program, const QStringList& arguments) = 0;
    /// Writes one status message to the parent, whole, in the local 8-bit encoding.
    virtual void send(const QString& message) = 0;
    /// Waits msec milliseconds in a nested event loop, which serves the application's events.
    virtual void wait(int msec) = 0;
    /// Blocks the thread for seconds.
    virtual void sleep(int seconds) = 0;
    /// The local date and time, for the result records.
    virtual QDateTime now() const = 0;
};

/// The appliance the device program runs on: device paths are its own paths, tools are found
/// on PATH, messages go to standard output.
class DeviceAppliance : public Appliance {
public:
    /// The one appliance of the process.
    static DeviceAppliance& instance();

    QString path(const QString& devicePath) const override;
    int run(const QString& program, const QStringList& arguments, bool forwarded) override;
    int shell(const QString& commandLine) override;
    bool startDetached(const QString& program, const QStringList& arguments) override;
    void send(const QString& message) override;
    void wait(int msec) override;
    void sleep(int seconds) override;
    QDateTime now() const override;

private:
    DeviceAppliance() = default;
};

#endif // APPLIANCE_H
