#ifndef APPLIANCE_H
#define APPLIANCE_H

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <memory>

/// One tool the upgrader runs, said as what it is. The device runs program with arguments, or
/// commandLine through the shell; the other fields say what the tool does with files, so that an
/// appliance that does not run the words can act on the files all the same.
struct st_toolCall {
    QString program;       ///< the tool
    QStringList arguments; ///< its arguments, when it runs without a shell
    QString commandLine;   ///< the command line, when it runs through the shell
    QStringList reads;     ///< device paths of the files it reads
    QString copyTo;     ///< for a copy of the file it reads: where it lands, a directory or a file
    QString unpackTo;   ///< for an unpack of the archive it reads: the directory it goes into
    bool bzip2 = false; ///< the unpack takes the archive as bzip2-compressed, whatever it holds
    bool forwarded = true; ///< its console output reaches the parent; captured and dropped if not
};

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
    /// Runs a tool and waits until it ends. Without a shell, as QProcess::execute does: its exit
    /// code, -2 when it cannot start, -1 when it crashed; through the shell: what system()
    /// returns.
    virtual int run(const st_toolCall& call) = 0;
    /// Starts a tool without a shell, detached, never waited for; true when it started.
    virtual bool startDetached(const st_toolCall& call) = 0;
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
    int run(const st_toolCall& call) override;
    bool startDetached(const st_toolCall& call) override;
    void send(const QString& message) override;
    void wait(int msec) override;
    void sleep(int seconds) override;
    QDateTime now() const override;

private:
    DeviceAppliance() = default;
};

#endif // APPLIANCE_H
