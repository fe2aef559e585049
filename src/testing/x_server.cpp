#include "testing/x_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "core/util/unique_fd.hpp"

extern char** environ;

namespace kelvo {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopTimeout = std::chrono::seconds(5);

// Input hot-plugging off: the server must not grab this machine's keyboards and mice.
constexpr const char* kXorgConf = R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoEnableDevices" "false"
  Option "AutoAddGPU" "false"
  Option "DontVTSwitch" "true"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0 - 1000.0
  VertRefresh 5.0 - 200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Modes "1920x1080"
    Virtual 8192 4096
  EndSubSection
EndSection
)";

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

bool hasDummyDriver() {
    for (const char* dir : {"/usr/lib/xorg/modules/drivers", "/usr/lib64/xorg/modules/drivers",
                            "/usr/lib/x86_64-linux-gnu/xorg/modules/drivers"}) {
        if (::access((std::string(dir) + "/dummy_drv.so").c_str(), R_OK) == 0) return true;
    }
    return false;
}

std::string tail(const std::string& path, size_t bytes) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

void stopProcess(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

struct Started {
    pid_t pid = -1;
    std::string display;
    std::string error;
};

// Starts `argv` (which ends with "-displayfd" and is given the descriptor) and waits for the
// display number it writes.
Started spawn(std::vector<std::string> argv, const std::string& logPath) {
    Started out;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        out.error = "pipe failed";
        return out;
    }
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    // The server writes to descriptor 3 of its own, the only one it inherits besides stdio.
    argv.push_back("3");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 3);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid;
    int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (rc != 0) {
        out.error = "cannot run " + argv[0];
        return out;
    }

    std::string text;
    auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (text.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{readEnd.get(), POLLIN, 0};
        int n = ::poll(&p, 1, int(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        char buf[32];
        ssize_t got = ::read(readEnd.get(), buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // the server went away
        text.append(buf, size_t(got));
    }
    auto number = text.substr(0, text.find('\n'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        stopProcess(pid);
        out.error = argv[0] + " did not start: " + tail(logPath, 600);
        return out;
    }
    out.pid = pid;
    out.display = ":" + number;
    return out;
}

}  // namespace

XServer::XServer(Kind kind, std::string display, pid_t pid, std::string dir)
    : kind_(kind), display_(std::move(display)), pid_(pid), dir_(std::move(dir)) {}

XServer::~XServer() {
    stopProcess(pid_);
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::unique_ptr<XServer> XServer::start(Want want, std::string* whyNot) {
    if (const char* attached = std::getenv("KELVO_X_DISPLAY"); attached && *attached) {
        const char* kind = std::getenv("KELVO_X_SERVER");
        bool xorg = kind && std::string(kind) == "xorg";
        if (want == Want::any || !xorg) {
            return std::make_unique<XServer>(xorg ? Kind::xorgDummy : Kind::xvfb, attached, -1, "");
        }
    }

    std::string tmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    std::string pattern = tmp + "/kelvo-x.XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        if (whyNot) *whyNot = "cannot make a temporary folder";
        return nullptr;
    }
    std::string dir = pattern;
    std::string reasons;

    std::string xorg = findProgram("Xorg");
    if (want == Want::any && !xorg.empty() && hasDummyDriver()) {
        std::ofstream(dir + "/xorg.conf") << kXorgConf;
        std::filesystem::create_directory(dir + "/conf.d");
        auto s = spawn({xorg, "-config", dir + "/xorg.conf", "-configdir", dir + "/conf.d", "-noreset", "-nolisten",
                        "tcp", "-logfile", dir + "/Xorg.log", "-displayfd"},
                       dir + "/xorg.out");
        if (s.pid > 0) return std::make_unique<XServer>(Kind::xorgDummy, s.display, s.pid, dir);
        reasons += s.error + "; ";
    } else if (want == Want::any) {
        reasons += "no Xorg with the dummy driver; ";
    }

    std::string xvfb = findProgram("Xvfb");
    if (!xvfb.empty()) {
        auto s = spawn({xvfb, "-screen", "0", "1920x1080x24", "-noreset", "-nolisten", "tcp", "-displayfd"},
                       dir + "/xvfb.out");
        if (s.pid > 0) return std::make_unique<XServer>(Kind::xvfb, s.display, s.pid, dir);
        reasons += s.error;
    } else {
        reasons += "no Xvfb";
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (whyNot) *whyNot = "no X server could be started (" + reasons + ")";
    return nullptr;
}

void XServer::exportEnvironment() const {
    ::setenv("KELVO_X_DISPLAY", display_.c_str(), 1);
    ::setenv("KELVO_X_SERVER", kind_ == Kind::xorgDummy ? "xorg" : "xvfb", 1);
    ::setenv("DISPLAY", display_.c_str(), 1);
}

}  // namespace kelvo
