#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/util/expected.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo {

// Why a stream to the tablet could not be opened.
class ConnectError {
public:
    enum class Kind { failed, refused };

    static ConnectError failed(std::string text) { return ConnectError(Kind::failed, std::move(text)); }
    // The tablet was reached but nothing accepted on the port (its app is not listening yet).
    static ConnectError refused() { return ConnectError(Kind::refused, {}); }

    Kind kind() const { return kind_; }
    bool isRefused() const { return kind_ == Kind::refused; }
    // The failure's text, or "connection refused".
    std::string description() const { return kind_ == Kind::refused ? "connection refused" : text_; }
    bool operator==(const ConnectError&) const = default;

private:
    ConnectError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind_;
    std::string text_;
};

using ConnectResult = Expected<UniqueFd, ConnectError>;
using ConnectCompletion = std::function<void(ConnectResult)>;

// Knows one tablet and opens connected sockets to its control (47100) and video (47101) ports.
class DeviceConnector {
public:
    virtual ~DeviceConnector() = default;

    // Stable key of the tablet; the same over every transport that knows its udid.
    virtual std::string deviceKey() const = 0;
    // Short transport name shown in the status ("USB", "TCP 10.0.0.5").
    virtual std::string transportLabel() const = 0;
    // Returns at once; `completion` runs later, exactly once, on the main queue, and owns the
    // connected descriptor it is given. Several connects may be in flight.
    virtual void connect(uint16_t port, ConnectCompletion completion) = 0;
    // Whether the link itself is trusted enough to hand the tablet a pairing key.
    virtual bool isTrustedForPairing() const { return false; }
};

}  // namespace kelvo
