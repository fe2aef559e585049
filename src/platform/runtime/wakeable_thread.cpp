#include "platform/runtime/wakeable_thread.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "core/util/log.hpp"
#include "core/util/named_thread.hpp"

namespace kelvo {

bool WakeableThread::start(const char* name, std::function<void(int wakeFd)> body) {
    wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) {
        Log::w("runtime", std::string("no wake-up descriptor for thread \"") + name + "\": " + std::strerror(errno));
        return false;
    }
    auto started = tryStartNamedThread(name, [body = std::move(body), wakeFd = wake_.get()] { body(wakeFd); });
    if (!started) {
        Log::w("runtime", std::string("cannot start thread \"") + name + "\": " + started.error().message());
        wake_.reset();
        return false;
    }
    thread_ = std::move(started).value();
    return true;
}

void WakeableThread::stop() {
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_.get(), &one, sizeof one);
    thread_.join();
}

}  // namespace kelvo
