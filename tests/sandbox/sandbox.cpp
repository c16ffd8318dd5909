// The device sandbox, and the appliance's tools faked inside it, as docs/testing.md describes:
// one small program without Qt, as it starts once for every run and again for every tool call.
//
//   scanner-sandbox --root DIR [--tmp-size SIZE] -- COMMAND [ARG]...
//
// Called as one of kTools, it is that tool's fake. Exit status 70: the sandbox failed; 77: none
// can be made here.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using std::string;

namespace {

const char* const kTools[] = {"ota_update", "iap_update", "scp", "killall",
                              "reboot",     "sync",       "tar"};
const char kMeminfo[] = "MemTotal:        2009876 kB\nMemFree:         1234567 kB\n"
                        "MemAvailable:    1500000 kB\nBuffers:           12345 kB\n"
                        "Cached:           234567 kB\n";

[[noreturn]] void fail(const string& why, int status = 70)
{
    std::fprintf(stderr, "sandbox: %s\n", why.c_str());
    std::exit(status);
}

bool writeText(const string& path, const string& text, bool append = false)
{
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
    const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    return fd >= 0 && ::close(fd) == 0 && written;
}

// The file's text without its final newlines, as the shell's $(cat FILE) gives it.
string readText(const string& path)
{
    std::ifstream file(path);
    string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    return text.erase(text.find_last_not_of('\n') + 1);
}

string nanoseconds()
{
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::to_string(now.tv_sec * 1000000000LL + now.tv_nsec) + '\n';
}

void mkdirs(const string& path)
{
    std::error_code error;
    if (fs::create_directories(path, error), error)
        fail("cannot make " + path + ": " + error.message());
}

void mountOrFail(const string& source, const string& target, const char* type, unsigned long flags,
                 const string& data, const string& what)
{
    if (::mount(source.c_str(), target.c_str(), type, flags, data.empty() ? nullptr : data.c_str()))
        fail(what + ": " + std::strerror(errno));
}

// Runs a program to its end; its exit status, or 128 + the signal that ended it, as a shell has it.
int runProgram(std::vector<const char*> argv)
{
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], const_cast<char* const*>(argv.data()));
        std::perror(argv[0]);
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return 127;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void noteTmpUsed()
{
    struct statfs tmp;
    if (::statfs("/tmp", &tmp) == 0)
        writeText("/run/sandbox/tmp-used",
                  std::to_string((tmp.f_blocks - tmp.f_bfree) * tmp.f_frsize) + '\n', true);
}

// Logs the call, then fails as a tool handed a missing file would, or as scripted; tar is the
// real one, with what /tmp holds noted around it.
int fakeTool(const string& tool, int argc, char** argv)
{
    if (tool == "tar") {
        const string path = std::getenv("PATH") ?: "", ours = "/run/sandbox/bin:";
        ::setenv("PATH", path.substr(path.compare(0, ours.size(), ours) ? 0 : ours.size()).c_str(),
                 1);
        noteTmpUsed();
        std::vector<const char*> real{"tar"};
        real.insert(real.end(), argv + 1, argv + argc);
        const int status = runProgram(real);
        noteTmpUsed();
        return status;
    }
    if (tool == "sync")
        return writeText("/run/sandbox/sync-ns", nanoseconds(), true) ? 0 : 1;
    string line = tool;
    for (int i = 1; i < argc; ++i)
        line += string("|") + argv[i];
    writeText("/run/sandbox/calls.log", line + '\n', true);
    struct stat status;
    for (int i = 1; i < (tool == "scp" ? std::min(argc, 2) : argc); ++i) {
        if (argv[i][0] == '/' && ::stat(argv[i], &status) != 0)
            return 1;
    }
    const string control = readText("/run/sandbox/fake/" + tool);
    if (control == "crash" && std::signal(SIGSEGV, SIG_DFL) != SIG_ERR)
        std::raise(SIGSEGV);
    if (control.compare(0, 5, "exit ") == 0)
        return std::atoi(control.c_str() + 5) & 0xff;
    if (tool == "scp")
        return runProgram({"cp", "--", argc > 1 ? argv[1] : "", argc > 2 ? argv[2] : ""});
    return 0;
}

bool under(const string& path, std::initializer_list<string> tops)
{
    for (const string& top : tops) {
        if (path == top || path.compare(0, top.size() + 1, top + '/') == 0)
            return true;
    }
    return false;
}

int sandbox(int argc, char** argv)
{
    string root, tmpSize;
    int at = 1;
    for (; at < argc && string(argv[at]) != "--"; ++at) {
        const string option = argv[at];
        if ((option != "--root" && option != "--tmp-size") || at + 1 == argc)
            fail("unknown option: " + option);
        (option == "--root" ? root : tmpSize) = argv[++at];
    }
    if (++at >= argc || root.empty())
        fail("usage: scanner-sandbox --root DIR [--tmp-size SIZE] -- COMMAND [ARG]...");
    mkdirs(root);
    std::error_code error;
    root = fs::absolute(root, error).lexically_normal().string();
    if (root.size() > 1 && root.back() == '/')
        root.pop_back();
    if (under(root, {"/tmp", "/run", "/etc", "/usr"}))
        fail("the state directory must lie outside /tmp, /run, /etc and /usr");
    const string self = fs::read_symlink("/proc/self/exe", error).string();
    const string workingDir = fs::current_path(error).string(), command = argv[at];
    const string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
    if (::unshare(CLONE_NEWNS | (uid == "0" ? 0 : CLONE_NEWUSER)) != 0)
        fail(string("cannot make a mount namespace: ") + std::strerror(errno), 77);
    if (uid != "0" && !(writeText("/proc/self/setgroups", "deny") &&
                        writeText("/proc/self/uid_map", "0 " + uid + " 1") &&
                        writeText("/proc/self/gid_map", "0 " + gid + " 1")))
        fail("cannot map the user to root in the namespace", 77);

    // Inside the new namespace from here on: nothing below reaches the host.
    mountOrFail("none", "/", nullptr, MS_REC | MS_PRIVATE, "", "cannot make the mounts private");
    for (const char* dir : {"/tmp", "/run/sandbox/fake", "/run/media/mmcblk2p1", "/upper/etc",
                            "/upper/usr", "/work/etc", "/work/usr", "/keep"})
        mkdirs(root + dir);
    ::chmod((root + "/tmp").c_str(), 01777);
    writeText(root + "/run/sandbox/calls.log", "", true);
    if (::access((root + "/meminfo").c_str(), F_OK) != 0 && !writeText(root + "/meminfo", kMeminfo))
        fail("cannot write " + root + "/meminfo");

    // Host directories under /tmp and /run that the covering mounts would hide are bound aside
    // and put back. Under /etc and /usr the overlays show the host's files anyway, and binding a
    // host directory back there would let the fakes be written into the host.
    std::vector<string> keep;
    for (const string& wanted :
         {string(SCANNER_SOURCE_DIR), workingDir, fs::path(self).parent_path().string(),
          fs::absolute(command, error).parent_path().string()}) {
        const string real = fs::canonical(wanted, error).string();
        if (error || !under(real, {"/tmp", "/run"}))
            continue;
        const string aside = root + "/keep/" + std::to_string(keep.size());
        mkdirs(aside);
        mountOrFail(real, aside, nullptr, MS_BIND | MS_REC, "", "cannot keep " + real);
        keep.push_back(real);
    }
    mountOrFail(root + "/meminfo", "/proc/meminfo", nullptr, MS_BIND, "",
                "cannot bind /proc/meminfo");
    for (const string d : {"etc", "usr"})
        mountOrFail("scanner-sandbox", "/" + d, "overlay", 0,
                    "lowerdir=/" + d + ",upperdir=" + root + "/upper/" + d + ",workdir=" + root +
                        "/work/" + d,
                    "cannot mount an overlay on /" + d);
    const string tmp = root + (tmpSize.empty() ? "/tmp" : "/small-tmp");
    if (!tmpSize.empty()) {
        mkdirs(tmp);
        mountOrFail("scanner-sandbox", tmp, "tmpfs", 0, "size=" + tmpSize + ",mode=1777",
                    "cannot mount a tmpfs of " + tmpSize);
        if (runProgram({"cp", "-a", (root + "/tmp/.").c_str(), (tmp + "/").c_str()}) != 0)
            fail("/tmp does not fit into " + tmpSize);
    }
    mountOrFail(tmp, "/tmp", nullptr, MS_BIND, "", "cannot cover /tmp");
    mountOrFail(root + "/run", "/run", nullptr, MS_BIND, "", "cannot cover /run");
    for (size_t i = 0; i < keep.size(); ++i) {
        mkdirs(keep[i]);
        mountOrFail(root + "/keep/" + std::to_string(i), keep[i], nullptr, MS_BIND | MS_REC, "",
                    "cannot put " + keep[i] + " back");
    }

    // Fakes in place of every real reboot and killall; a tool that is a link (reboot ->
    // systemctl) is replaced itself, never written through. Outside the /usr overlay a write
    // would reach the host: such copies are bound over, or the sandbox gives up.
    for (const char* dir : {"/usr/scanner/config", "/usr/sbin", "/usr/bin"})
        mkdirs(dir);
    for (const string tool : {"sbin/reboot", "bin/killall"}) {
        const string fake = "/usr/" + tool, name = tool.substr(tool.find('/') + 1);
        if (::unlink(fake.c_str()), ::symlink(self.c_str(), fake.c_str()) != 0)
            fail("cannot place the fake " + fake);
        for (const string dir : {"/sbin/", "/bin/", "/usr/local/sbin/", "/usr/local/bin/"}) {
            if (fs::canonical(dir + name, error) != self && !error)
                mountOrFail(fake, dir + name, nullptr, MS_BIND, "",
                            "cannot replace " + dir + name + " with the fake");
        }
    }
    // The fakes stand first on PATH, fresh for every start on the same state.
    fs::remove_all("/run/sandbox/bin", error);
    mkdirs("/run/sandbox/bin");
    for (const string tool : kTools) {
        if (readText("/run/sandbox/fake/" + tool) != "missing" &&
            ::symlink(self.c_str(), ("/run/sandbox/bin/" + tool).c_str()) != 0)
            fail("cannot place the fake " + tool);
    }
    const string id = readText("/proc/sys/kernel/random/uuid");
    const string path = string("/run/sandbox/bin:") + (std::getenv("PATH") ?: "");
    if (id.empty() || !writeText("/run/sandbox/id", id) ||
        ::setenv("SCANNER_SANDBOX", id.c_str(), 1) || ::setenv("PATH", path.c_str(), 1) ||
        ::setenv("LC_ALL", std::getenv("SANDBOX_LOCALE") ?: "C.UTF-8", 1) ||
        !writeText("/run/sandbox/exec-ns", nanoseconds()))
        fail("cannot note the sandbox's id and start");
    // A test may ignore SIGPIPE; the device program must not inherit that.
    std::signal(SIGPIPE, SIG_DFL);
    ::execvp(argv[at], argv + at);
    fail("cannot run " + command + ": " + std::strerror(errno), 127);
}

} // namespace

int main(int argc, char** argv)
{
    const string name = fs::path(argv[0]).filename().string();
    for (const string tool : kTools) {
        if (name == tool)
            return fakeTool(name, argc, argv);
    }
    return sandbox(argc, argv);
}
