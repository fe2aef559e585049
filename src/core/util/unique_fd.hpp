#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace kelvo {

// Sole owner of a file descriptor: closes it on destruction. Move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    int release() noexcept { return std::exchange(fd_, -1); }

    // Closes the held descriptor (if any) and takes `fd`.
    void reset(int fd = -1) noexcept {
        int old = std::exchange(fd_, fd);
        if (old >= 0) ::close(old);
    }

private:
    int fd_ = -1;
};

// Sets (or clears) O_NONBLOCK on `fd`, keeping its other status flags. False when the flags
// cannot be read or written.
inline bool setNonBlocking(int fd, bool on = true) noexcept {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    int wanted = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

}  // namespace kelvo
