#ifndef SIGNALCLEANUP_H
#define SIGNALCLEANUP_H

#include <QString>

#include <signal.h>

// What a run has made and not finished with is removed when SIGINT, SIGTERM or SIGHUP ends the
// tool, which then ends with that signal's own status, as if nothing had caught it.
//
// main() calls installSignalCleanup() once, before any other thread starts. A job registers each
// path it makes (a file or a directory, which goes with all it holds) through a RemovedOnSignal
// that lives as long as the path is unfinished, and holds the signals back from making the path
// to registering it, so that no signal in between can miss it:
//
//     RemovedOnSignal removal; // declared first: it outlives the directory and its removal
//     SignalsHeld held;
//     QTemporaryDir scratch(QDir::temp().filePath(QStringLiteral("upgrade-pack-XXXXXX")));
//     removal.set(scratch.path());
//     held.release();
//
// Once the job has removed the path, or moved it into place, the registration is dropped (by
// clear() or the destructor). Registrations are made and dropped on the main thread. A signal
// that reaches another thread is passed on to the main one, so the removal never runs while the
// main thread is making or filling those paths.

/// Makes SIGINT, SIGTERM and SIGHUP remove every registered path and then end the tool with that
/// signal. A signal ignored when the tool started (as nohup ignores SIGHUP) stays ignored.
void installSignalCleanup();

/// Holds SIGINT, SIGTERM and SIGHUP back on this thread while it lives, or until release().
class SignalsHeld {
public:
    /// Blocks the signals.
    SignalsHeld();
    /// Lets them through again, unless release() did.
    ~SignalsHeld() { release(); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

    /// Restores the signal mask it found; a signal that came meanwhile is delivered now.
    void release();

private:
    sigset_t m_previous;
    bool m_held = true;
};

/// One path that a signal ending the tool removes first, while this object holds it.
class RemovedOnSignal {
public:
    RemovedOnSignal() = default;
    /// Drops the registration.
    ~RemovedOnSignal() { clear(); }
    RemovedOnSignal(const RemovedOnSignal&) = delete;
    RemovedOnSignal& operator=(const RemovedOnSignal&) = delete;

    /// Registers path in place of the one held before; an empty path registers nothing. At most
    /// eight paths are registered at a time: beyond that, set() registers nothing.
    void set(const QString& path);
    /// Drops the registration: the path stays where it is.
    void clear();

private:
    int m_slot = -1;
};

/// One child process that a signal ending the tool kills, and waits for, first, while this object
/// holds it.
class KilledOnSignal {
public:
    KilledOnSignal() = default;
    /// Drops the registration.
    ~KilledOnSignal() { clear(); }
    KilledOnSignal(const KilledOnSignal&) = delete;
    KilledOnSignal& operator=(const KilledOnSignal&) = delete;

    /// Registers the process pid in place of the one held before; at most eight at a time.
    void set(qint64 pid);
    /// Drops the registration.
    void clear();

private:
    int m_slot = -1;
};

#endif // SIGNALCLEANUP_H
