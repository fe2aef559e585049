#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol/wire_json.hpp"
#include "core/util/rect.hpp"

// The JSON messages that open, close and pair a session. Every record compares field by field;
// optional fields are left out when absent and read as absent when missing or null.
namespace kelvo {

// hello (0x01), tablet to host: the greeting. Every field is optional.
struct HelloMsg {
    struct Proto {
        int64_t min = 0;
        int64_t max = 0;
        bool operator==(const Proto&) const = default;
    };
    struct App {
        std::optional<std::string> version;
        std::optional<int64_t> build;
        bool operator==(const App&) const = default;
    };
    struct Device {
        std::optional<std::string> model;
        std::optional<std::string> name;
        std::optional<std::string> os;
        std::optional<std::string> idfv;
        bool operator==(const Device&) const = default;
    };
    struct Screen {
        std::optional<std::vector<int64_t>> nativePx;
        std::optional<std::vector<double>> pt;  // points, [width, height]
        std::optional<double> scale;
        std::optional<std::vector<double>> mm;  // millimetres, [width, height]
        std::optional<int64_t> maxFps;
        std::optional<std::string> interfaceOrientation;
        bool operator==(const Screen&) const = default;
    };
    struct Touch {
        std::optional<int64_t> maxPoints;
        std::optional<bool> radius;
        std::optional<bool> force;
        std::optional<bool> pencil;
        bool operator==(const Touch&) const = default;
    };
    struct ProbeCacheEntry {
        int64_t w = 0;
        int64_t h = 0;
        std::optional<int64_t> level;  // absent matches only a rung without a level override
        bool ok = false;
        std::optional<int64_t> avgUs;
        std::optional<int64_t> maxUs;

        // avgUs, or 0 when absent or negative.
        int64_t effectiveAvgUs() const noexcept;
        // maxUs, or twice effectiveAvgUs (saturating) when absent or negative.
        int64_t effectiveMaxUs() const noexcept;
        bool operator==(const ProbeCacheEntry&) const = default;
    };
    struct Decode {
        std::optional<bool> h264;
        std::optional<std::vector<std::string>> pipelines;
        std::optional<std::vector<ProbeCacheEntry>> probeCache;
        bool operator==(const Decode&) const = default;
    };
    struct Power {
        std::optional<double> battery;
        std::optional<bool> charging;
        std::optional<std::string> thermal;
        bool operator==(const Power&) const = default;
    };
    struct Pairing {
        std::string host;  // the paired host's identity
        std::string key;   // fingerprint of the key, never the key
        bool operator==(const Pairing&) const = default;
    };

    // Largest screen side believed, in points and in millimetres; beyond it the defaults hold.
    static constexpr double kMaxScreenPoints = 16384;
    static constexpr double kMaxScreenMillimeters = 5000;
    static constexpr SizeD kDefaultScreenPoints{1024, 768};
    static constexpr SizeD kDefaultScreenMillimeters{197, 148};

    std::optional<Proto> proto;
    std::optional<App> app;
    std::optional<Device> device;
    std::optional<Screen> screen;
    std::optional<Touch> touch;
    std::optional<Decode> decode;
    std::optional<Power> power;
    std::optional<Pairing> pairing;

    // screen.pt when it holds exactly two finite sides in (0, kMaxScreenPoints], else 1024 × 768.
    SizeD screenPoints() const noexcept;
    // screen.mm under the same test with kMaxScreenMillimeters, else 197 × 148.
    SizeD screenMillimeters() const noexcept;
    // True without proto, else min ≤ 1 ≤ max.
    bool supportsProtocolV1() const noexcept;

    bool operator==(const HelloMsg&) const = default;
};

// helloAck (0x02), host to tablet: the answer to hello.
struct HelloAckMsg {
    struct Host {
        std::string name;
        std::string app;
        bool operator==(const Host&) const = default;
    };

    int64_t proto = 1;
    bool accept = false;
    std::string session;  // hex(token), "0" when not accepted
    Host host;
    bool needProbe = false;
    std::optional<std::string> reason;

    // Exactly 16 lower-case hex digits, zero-padded.
    static std::string hex(uint64_t token);
    // Strict inverse of hex: hex digits of either case, one optional leading "+", "-" only before
    // all-zero digits; absent for anything else or a value above 2^64 − 1.
    static std::optional<uint64_t> token(std::string_view text) noexcept;

    bool operator==(const HelloAckMsg&) const = default;
};

// bye (0x03), either direction, just before the sender closes.
struct ByeMsg {
    std::string reason;
    std::optional<std::string> detail;
    bool operator==(const ByeMsg&) const = default;
};

// pair (0x0b), host to tablet over a trusted link: a new key, or none to forget the pairing.
struct PairMsg {
    std::string host;
    std::string name;
    std::optional<std::string> psk;  // standard padded Base64

    PairMsg() = default;
    PairMsg(std::string host, std::string name, std::optional<std::span<const uint8_t>> pskBytes);

    bool operator==(const PairMsg&) const = default;
};

// pairAck (0x0c), tablet to host.
struct PairAckMsg {
    bool ok = false;
    std::optional<std::string> service;
    std::optional<std::string> reason;
    bool operator==(const PairAckMsg&) const = default;
};

KELVO_JSON_RECORD(HelloMsg::Proto);
KELVO_JSON_RECORD(HelloMsg::App);
KELVO_JSON_RECORD(HelloMsg::Device);
KELVO_JSON_RECORD(HelloMsg::Screen);
KELVO_JSON_RECORD(HelloMsg::Touch);
KELVO_JSON_RECORD(HelloMsg::ProbeCacheEntry);
KELVO_JSON_RECORD(HelloMsg::Decode);
KELVO_JSON_RECORD(HelloMsg::Power);
KELVO_JSON_RECORD(HelloMsg::Pairing);
KELVO_JSON_RECORD(HelloMsg);
KELVO_JSON_RECORD(HelloAckMsg::Host);
KELVO_JSON_RECORD(HelloAckMsg);
KELVO_JSON_RECORD(ByeMsg);
KELVO_JSON_RECORD(PairMsg);
KELVO_JSON_RECORD(PairAckMsg);

}  // namespace kelvo
