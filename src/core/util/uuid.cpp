#include "core/util/uuid.hpp"

#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <random>

namespace kelvo {

Uuid Uuid::random() {
    Uuid u;
    size_t got = 0;
    while (got < u.bytes.size()) {
        ssize_t n = getrandom(u.bytes.data() + got, u.bytes.size() - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < u.bytes.size()) {
        // getrandom cannot fail on a running kernel; keep observers distinct regardless.
        std::random_device rd;
        for (auto& b : u.bytes) b = static_cast<uint8_t>(rd());
    }
    u.bytes[6] = static_cast<uint8_t>((u.bytes[6] & 0x0F) | 0x40);
    u.bytes[8] = static_cast<uint8_t>((u.bytes[8] & 0x3F) | 0x80);
    return u;
}

std::string Uuid::text() const {
    char out[37];
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return out;
}

size_t UuidHash::operator()(const Uuid& u) const noexcept {
    uint64_t a = 0, b = 0;
    std::memcpy(&a, u.bytes.data(), 8);
    std::memcpy(&b, u.bytes.data() + 8, 8);
    return static_cast<size_t>(a ^ (b * 0x9E3779B97F4A7C15ull));
}

}  // namespace kelvo
