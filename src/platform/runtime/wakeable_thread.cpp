#include "platform/runtime/wakeable_thread.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#include "core/util/named_thread.hpp"

namespace kelvo {

bool WakeableThread::start(const char* name, std::function<void(int wakeFd)> body) {
    wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) return false;
    thread_ = startNamedThread(name, [body = std::move(body), wakeFd = wake_.get()] { body(wakeFd); });
    return true;
}

void WakeableThread::stop() {
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_.get(), &one, sizeof one);
    thread_.join();
}

}  // namespace kelvo
