#include "host/app/quit_signals.hpp"

#include <QSocketNotifier>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "core/util/log.hpp"

namespace kelvo {
namespace {

// The handler may only write: the signal's number goes down a socket the loop watches. It may
// run on any thread, also while QuitSignals goes: it counts itself in `writing` before it reads
// the descriptor, and the destructor closes the descriptor only once it has cleared it and no
// handler is inside (each side sees the other's write: both are sequentially consistent).
std::atomic<int> writeEnd{-1};  // QuitSignals owns it
std::atomic<int> writing{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");
struct sigaction previousTerm, previousInt;

void handle(int signal) {
    const int saved = errno;
    writing.fetch_add(1);
    if (const int fd = writeEnd.load(); fd >= 0) {
        unsigned char byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] ssize_t written = ::send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    writing.fetch_sub(1);
    errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(std::function<void(int)> onSignal, Afterwards afterwards)
    : onSignal_(std::move(onSignal)), afterwards_(afterwards) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
        Log::e("app", "no quit signals: socketpair failed");
        return;
    }
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
    writeEnd.store(writeEnd_.get());
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_.get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
        unsigned char byte = 0;
        while (::read(readEnd_.get(), &byte, 1) == 1) {
            if (onSignal_) onSignal_(byte);
        }
    });
    struct sigaction action {};
    action.sa_handler = handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &previousTerm);
    sigaction(SIGINT, &action, &previousInt);
}

QuitSignals::~QuitSignals() {
    if (!notifier_) return;
    if (afterwards_ == Afterwards::ignore) {
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGINT, SIG_IGN);
    } else {
        sigaction(SIGTERM, &previousTerm, nullptr);
        sigaction(SIGINT, &previousInt, nullptr);
    }
    writeEnd.store(-1);
    // A handler that read the descriptor before it was cleared finishes its one write first.
    while (writing.load() != 0) std::this_thread::yield();
    notifier_.reset();
}

}  // namespace kelvo
