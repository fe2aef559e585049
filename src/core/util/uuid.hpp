#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvo {

// A random (version 4) UUID; the key under which stores keep their observers.
struct Uuid {
    std::array<uint8_t, 16> bytes{};

    static Uuid random();
    std::string text() const;  // upper-case 8-4-4-4-12
    friend bool operator==(const Uuid&, const Uuid&) = default;
};

struct UuidHash {
    size_t operator()(const Uuid& u) const noexcept;
};

}  // namespace kelvo
