#pragma once

#include <string>
#include <variant>

namespace kelvo {

// The one-line state of the whole host, as the status menu, the diagnostics window and the
// desktop's control publish it. Equal when the case and every value are equal.
class HostStatus {
public:
    struct WaitingForApp {
        std::string name;
        bool operator==(const WaitingForApp&) const = default;
    };
    struct Connecting {
        std::string name;
        bool operator==(const Connecting&) const = default;
    };
    struct Probing {
        std::string name;
        bool operator==(const Probing&) const = default;
    };
    struct Connected {
        std::string name;
        std::string transport;
        std::string stream;
        int fps = 0;
        bool operator==(const Connected&) const = default;
    };
    struct Paused {
        std::string name;
        std::string reason;
        bool operator==(const Paused&) const = default;
    };
    struct UsbmuxUnavailable {
        bool notInstalled = false;  // plugging a tablet in would not start it either
        bool operator==(const UsbmuxUnavailable&) const = default;
    };
    struct NoDevice {
        bool operator==(const NoDevice&) const = default;
    };
    struct OtherDeviceConnected {
        bool operator==(const OtherDeviceConnected&) const = default;
    };
    struct NeedsScreenPermission {
        bool operator==(const NeedsScreenPermission&) const = default;
    };
    struct SearchingWireless {
        bool operator==(const SearchingWireless&) const = default;
    };

    using Value = std::variant<WaitingForApp, Connecting, Probing, Connected, Paused, UsbmuxUnavailable, NoDevice,
                               OtherDeviceConnected, NeedsScreenPermission, SearchingWireless>;

    HostStatus() : value_(NoDevice{}) {}
    template <class Case>
    HostStatus(Case value) : value_(std::move(value)) {}  // NOLINT: every case converts

    const Value& value() const { return value_; }
    template <class Case>
    const Case* as() const {
        return std::get_if<Case>(&value_);
    }
    template <class Case>
    bool is() const {
        return std::holds_alternative<Case>(value_);
    }

    // The user-facing text.
    std::string description() const;
    // True while a tablet is probing, connected or paused.
    bool isConnected() const;

    bool operator==(const HostStatus&) const = default;

private:
    Value value_;
};

}  // namespace kelvo
