#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "testing/x_server.hpp"

extern char** environ;

namespace {

volatile sig_atomic_t child = 0;
volatile sig_atomic_t pending = 0;

// A stop request goes to the command (or ends the run before it starts); the server is then
// stopped as after a normal exit, not left running without its owner.
void forward(int sig) {
    if (child > 0) {
        ::kill(pid_t(child), sig);
    } else {
        pending = sig;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int i = 1;
    auto want = kelvo::XServer::Want::any;
    if (i < argc && std::strcmp(argv[i], "--xvfb") == 0) {
        want = kelvo::XServer::Want::xvfbOnly;
        ++i;
    }
    if (i < argc && std::strcmp(argv[i], "--") == 0) ++i;
    if (i >= argc) {
        std::fprintf(stderr, "usage: kelvo-with-xserver [--xvfb] -- command [args...]\n");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = forward;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
    std::string whyNot;
    auto server = kelvo::XServer::start(want, &whyNot);
    if (!server) {
        std::fprintf(stderr, "kelvo-with-xserver: skipped: %s\n", whyNot.c_str());
        return 77;
    }
    if (pending) return 128 + pending;
    server->exportEnvironment();
    pid_t pid;
    if (posix_spawnp(&pid, argv[i], nullptr, nullptr, argv + i, environ) != 0) {
        std::fprintf(stderr, "kelvo-with-xserver: cannot run %s\n", argv[i]);
        return 127;
    }
    child = pid;
    if (pending) ::kill(pid, pending);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
