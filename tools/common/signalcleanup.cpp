#include "signalcleanup.h"

#include <QFile>
#include <QFileInfo>

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
const int kSlots = 8;
const int kMaxDepth = 32;

// Changed only on the main thread with the signals held there, and read only by the handler,
// which runs on that thread alone: it never sees a slot half written.
char* g_paths[kSlots] = {};
pid_t g_children[kSlots] = {};
pid_t g_mainThread = 0;

sigset_t cleanupSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kSignals)
        sigaddset(&set, signal);
    return set;
}

pid_t threadId()
{
    return pid_t(::syscall(SYS_gettid));
}

// Removes name, inside the directory dirFd, with all it holds. A signal handler may call only
// what is safe there: no opendir() (it allocates), so the directory is read with getdents64.
bool removeTree(int dirFd, const char* name, int depth)
{
    if (::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT)
        return true;
    const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Removing entries while the directory is read may hide others from the reading: it is
    // read again until a pass removes nothing.
    for (bool removed = depth < kMaxDepth; removed;) {
        removed = false;
        ::lseek(fd, 0, SEEK_SET);
        alignas(dirent64) char buffer[2048];
        for (long n; (n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0;) {
            for (long at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                at += entry->d_reclen;
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    removed = removeTree(fd, entry->d_name, depth + 1) || removed;
            }
        }
    }
    ::close(fd);
    return ::unlinkat(dirFd, name, AT_REMOVEDIR) == 0;
}

void onSignal(int signal)
{
    const int savedErrno = errno;
    if (threadId() != g_mainThread) {
        // The main thread may be making or filling the paths right now: it removes them.
        ::syscall(SYS_tgkill, ::getpid(), g_mainThread, signal);
        errno = savedErrno;
        return;
    }
    // Children first: none of them may still write into a path, or run once the tool is gone.
    for (const pid_t child : g_children) {
        if (child > 0 && ::kill(child, SIGKILL) == 0)
            ::waitpid(child, nullptr, 0);
    }
    for (const char* path : g_paths) {
        if (path)
            removeTree(AT_FDCWD, path, 0);
    }
    // The signal is blocked while this runs: raised again, it ends the tool by its default
    // action as soon as the handler returns.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    ::sigaction(signal, &action, nullptr);
    ::raise(signal);
    errno = savedErrno;
}

} // namespace

void installSignalCleanup()
{
    g_mainThread = threadId();
    struct sigaction action = {};
    action.sa_handler = onSignal;
    action.sa_mask = cleanupSignals();
    action.sa_flags = SA_RESTART;
    for (const int signal : kSignals) {
        struct sigaction previous = {};
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            ::sigaction(signal, &action, nullptr);
    }
}

SignalsHeld::SignalsHeld()
{
    const sigset_t set = cleanupSignals();
    pthread_sigmask(SIG_BLOCK, &set, &m_previous);
}

void SignalsHeld::release()
{
    if (!m_held)
        return;
    m_held = false;
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

void RemovedOnSignal::set(const QString& path)
{
    const SignalsHeld held;
    clear();
    if (path.isEmpty())
        return;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (!g_paths[slot]) {
            // Absolute, so that no change of the current directory can redirect the removal.
            g_paths[slot] =
                ::strdup(QFile::encodeName(QFileInfo(path).absoluteFilePath()).constData());
            m_slot = g_paths[slot] ? slot : -1;
            return;
        }
    }
}

void RemovedOnSignal::clear()
{
    if (m_slot < 0)
        return;
    const SignalsHeld held;
    std::free(g_paths[m_slot]);
    g_paths[m_slot] = nullptr;
    m_slot = -1;
}

void KilledOnSignal::set(qint64 pid)
{
    const SignalsHeld held;
    clear();
    for (int slot = 0; pid > 0 && slot < kSlots; ++slot) {
        if (g_children[slot] == 0) {
            g_children[slot] = pid_t(pid);
            m_slot = slot;
            return;
        }
    }
}

void KilledOnSignal::clear()
{
    if (m_slot < 0)
        return;
    const SignalsHeld held;
    g_children[m_slot] = 0;
    m_slot = -1;
}
