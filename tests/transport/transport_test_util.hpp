#pragma once

#include <dirent.h>
#include <sys/socket.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "core/protocol/wire.hpp"
#include "core/runtime/manual_executor.hpp"
#include "core/util/unique_fd.hpp"
#include "platform/runtime/asio_executor.hpp"

namespace kelvo::test {

// A manual queue whose reactor refuses every descriptor, for the paths that must not hang then.
class UnwatchableExecutor : public ManualExecutor {
public:
    using ManualExecutor::ManualExecutor;
    std::unique_ptr<FdWatch> watchFd(int) override { return nullptr; }
};

inline std::pair<UniqueFd, UniqueFd> socketPair() {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// A frame as the peer would write it.
inline std::vector<uint8_t> rawFrame(uint8_t type, uint32_t seq, std::vector<uint8_t> payload = {}) {
    auto h = Wire::header(type, static_cast<uint32_t>(payload.size()), seq);
    std::vector<uint8_t> out(h.begin(), h.end());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

inline void writeAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Descriptors open in this process.
inline int openFdCount() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

}  // namespace kelvo::test
