// The device sandbox, and the appliance's tools faked inside it: one small program without Qt,
// since every scenario starts it once as the sandbox and again for each tool the device runs.
//
//   scanner-sandbox --root DIR [--tmp-size SIZE] -- COMMAND [ARG]...
//
// Runs a command inside a throwaway scanner appliance: a private mount namespace in which /tmp
// and /run are empty, /etc and /usr are overlays whose changes never reach the host,
// /proc/meminfo is a chosen file, and the appliance's tools (ota_update, iap_update, scp,
// killall, reboot, sync) are this program under their names, recording their calls; tar is the
// real one, behind a fake that notes what /tmp holds around it.
//
// --root DIR       keeps the appliance's state in DIR (DIR/tmp, DIR/run, DIR/upper/etc,
//                  DIR/upper/usr; DIR/meminfo, when there, is /proc/meminfo), so that the caller
//                  can prepare and inspect it; the command is exec'd, so its pid is the caller's
//                  child's.
// --tmp-size SIZE  /tmp is a tmpfs of that size (e.g. 4m) holding a copy of DIR/tmp, so that it
//                  runs full; what the command leaves there vanishes.
//
// Inside, SCANNER_SANDBOX holds an id that /run/sandbox/id repeats. Each fake appends
// "tool|arg|arg..." to /run/sandbox/calls.log; fails with 1, as the appliance's tools do, when a
// file it is handed (scp: its source) is not there; then does what /run/sandbox/fake/TOOL says
// ("exit N", or "crash": dies by SIGSEGV), else succeeds. "missing" there (before the start)
// takes ota_update, iap_update or scp off PATH. The fake scp really copies; the fake sync only
// notes the time it ran, in nanoseconds, in /run/sandbox/sync-ns; around the real tar, what /tmp
// holds in bytes goes to /run/sandbox/tmp-used, a line each. The host's repository, working
// directory, this program's directory and the command's directory stay visible. Exit status 70:
// the sandbox failed; 77: no sandbox can be made here.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kTools[] = {"ota_update", "iap_update", "scp", "killall",
                              "reboot",     "sync",       "tar"};
const char kMeminfo[] = "MemTotal:        2009876 kB\nMemFree:         1234567 kB\n"
                        "MemAvailable:    1500000 kB\nBuffers:           12345 kB\n"
                        "Cached:           234567 kB\n";

[[noreturn]] void fail(const std::string& why, int status = 70)
{
    std::fprintf(stderr, "sandbox: %s\n", why.c_str());
    std::exit(status);
}

bool writeText(const std::string& path, const std::string& text, bool append = false)
{
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    return ::close(fd) == 0 && written;
}

// The file's text without its final newlines, as the shell's $(cat FILE) gives it.
std::string readText(const std::string& path)
{
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "re")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, n);
        std::fclose(file);
    }
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

std::string nanoseconds()
{
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::to_string(now.tv_sec * 1000000000LL + now.tv_nsec) + '\n';
}

void mkdirs(const std::string& path)
{
    std::error_code error;
    fs::create_directories(path, error);
    if (error)
        fail("cannot make " + path + ": " + error.message());
}

void mountOrFail(const std::string& source, const std::string& target, const char* type,
                 unsigned long flags, const std::string& data, const std::string& what)
{
    if (::mount(source.c_str(), target.c_str(), type, flags, data.empty() ? nullptr : data.c_str()))
        fail(what + ": " + std::strerror(errno));
}

// Runs a program to its end; its exit status, or 128 + the signal that ended it.
int runProgram(std::vector<const char*> argv, const char* path = nullptr)
{
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (path)
            ::setenv("PATH", path, 1);
        ::execvp(argv[0], const_cast<char* const*>(argv.data()));
        std::perror(argv[0]);
        ::_exit(127);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid < 0)
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

int fakeTool(const std::string& tool, int argc, char** argv)
{
    if (tool == "tar") {
        noteTmpUsed();
        std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
        const std::string ours = "/run/sandbox/bin:";
        if (path.compare(0, ours.size(), ours) == 0)
            path.erase(0, ours.size());
        std::vector<const char*> real{"tar"};
        real.insert(real.end(), argv + 1, argv + argc);
        const int status = runProgram(real, path.c_str());
        noteTmpUsed();
        return status;
    }
    if (tool == "sync")
        return writeText("/run/sandbox/sync-ns", nanoseconds(), true) ? 0 : 1;
    std::string line = tool;
    for (int i = 1; i < argc; ++i)
        line += std::string("|") + argv[i];
    writeText("/run/sandbox/calls.log", line + '\n', true);
    const int handed = tool == "scp" ? std::min(argc, 2) : argc;
    struct stat status;
    for (int i = 1; i < handed; ++i) {
        if (argv[i][0] == '/' && ::stat(argv[i], &status) != 0)
            return 1;
    }
    const std::string control = readText("/run/sandbox/fake/" + tool);
    if (control == "crash") {
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
    }
    if (control.compare(0, 5, "exit ") == 0)
        return std::atoi(control.c_str() + 5) & 0xff;
    if (tool == "scp")
        return runProgram({"cp", "--", argc > 1 ? argv[1] : "", argc > 2 ? argv[2] : ""});
    return 0;
}

bool under(const std::string& path, const std::vector<std::string>& tops)
{
    for (const std::string& top : tops) {
        if (path == top || path.compare(0, top.size() + 1, top + '/') == 0)
            return true;
    }
    return false;
}

void enterNamespace()
{
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWNS | (uid == 0 ? 0 : CLONE_NEWUSER)) != 0)
        fail(std::string("cannot make a mount namespace: ") + std::strerror(errno), 77);
    if (uid != 0 && !(writeText("/proc/self/setgroups", "deny") &&
                      writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                      writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")))
        fail("cannot map the user to root in the namespace", 77);
}

int sandbox(int argc, char** argv)
{
    std::string root, tmpSize;
    int at = 1;
    for (; at < argc; ++at) {
        const std::string option = argv[at];
        if (option == "--") {
            ++at;
            break;
        }
        if ((option == "--root" || option == "--tmp-size") && at + 1 < argc)
            (option == "--root" ? root : tmpSize) = argv[++at];
        else
            fail("unknown option: " + option);
    }
    if (at >= argc || root.empty())
        fail("usage: scanner-sandbox --root DIR [--tmp-size SIZE] -- COMMAND [ARG]...");
    mkdirs(root);
    std::error_code error;
    root = fs::absolute(root, error).lexically_normal().string();
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    if (under(root, {"/tmp", "/run", "/etc", "/usr"}))
        fail("the state directory must lie outside /tmp, /run, /etc and /usr");
    const std::string self = fs::read_symlink("/proc/self/exe", error).string();
    const std::string workingDir = fs::current_path(error).string();
    enterNamespace();

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
    std::vector<std::string> keep;
    const std::string command = argv[at];
    for (const std::string& wanted :
         {std::string(SCANNER_SOURCE_DIR), workingDir, fs::path(self).parent_path().string(),
          command.find('/') == std::string::npos ? std::string(".")
                                                 : fs::path(command).parent_path().string()}) {
        char real[PATH_MAX];
        if (!::realpath(wanted.c_str(), real) || !under(real, {"/tmp", "/run"}))
            continue;
        const std::string aside = root + "/keep/" + std::to_string(keep.size());
        mkdirs(aside);
        mountOrFail(real, aside, nullptr, MS_BIND | MS_REC, "", std::string("cannot keep ") + real);
        keep.push_back(real);
    }
    mountOrFail(root + "/meminfo", "/proc/meminfo", nullptr, MS_BIND, "",
                "cannot bind /proc/meminfo");
    for (const std::string d : {"etc", "usr"})
        mountOrFail("scanner-sandbox", "/" + d, "overlay", 0,
                    "lowerdir=/" + d + ",upperdir=" + root + "/upper/" + d + ",workdir=" + root +
                        "/work/" + d,
                    "cannot mount an overlay on /" + d);
    std::string tmp = root + "/tmp";
    if (!tmpSize.empty()) {
        tmp = root + "/small-tmp";
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
    for (const std::string tool : {"sbin/reboot", "bin/killall"}) {
        const std::string fake = "/usr/" + tool, name = tool.substr(tool.find('/') + 1);
        ::unlink(fake.c_str());
        if (::symlink(self.c_str(), fake.c_str()) != 0)
            fail("cannot place the fake " + fake);
        for (const std::string dir : {"/sbin/", "/bin/", "/usr/local/sbin/", "/usr/local/bin/"}) {
            char real[PATH_MAX];
            if (::realpath((dir + name).c_str(), real) && real != self)
                mountOrFail(fake, dir + name, nullptr, MS_BIND, "",
                            "cannot replace " + dir + name + " with the fake");
        }
    }
    // The fakes stand first on PATH, fresh for every start on the same state.
    fs::remove_all("/run/sandbox/bin", error);
    mkdirs("/run/sandbox/bin");
    for (const std::string tool : kTools) {
        if (readText("/run/sandbox/fake/" + tool) != "missing" &&
            ::symlink(self.c_str(), ("/run/sandbox/bin/" + tool).c_str()) != 0)
            fail("cannot place the fake " + tool);
    }
    const std::string id = readText("/proc/sys/kernel/random/uuid");
    const char* locale = std::getenv("SANDBOX_LOCALE");
    const char* hostPath = std::getenv("PATH");
    const std::string path = std::string("/run/sandbox/bin:") + (hostPath ? hostPath : "");
    if (id.empty() || !writeText("/run/sandbox/id", id) ||
        ::setenv("SCANNER_SANDBOX", id.c_str(), 1) || ::setenv("PATH", path.c_str(), 1) ||
        ::setenv("LC_ALL", locale ? locale : "C.UTF-8", 1) ||
        !writeText("/run/sandbox/exec-ns", nanoseconds()))
        fail("cannot note the sandbox's id and start");
    ::execvp(argv[at], argv + at);
    fail("cannot run " + command + ": " + std::strerror(errno), 127);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string name = fs::path(argv[0]).filename().string();
    for (const std::string tool : kTools) {
        if (name == tool)
            return fakeTool(name, argc, argv);
    }
    return sandbox(argc, argv);
}
