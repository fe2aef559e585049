#pragma once

#include <optional>
#include <string>

#include "core/util/raw_enum.hpp"

namespace kelvo {

// Start options chosen by the application; not persisted.
struct HostOptions {
    enum class FrameSourceKind { screen, testPattern };

    FrameSourceKind frameSource = FrameSourceKind::screen;
    bool useVirtualDisplay = true;
    bool inject = true;       // post input events to the system
    bool cursor = true;       // run the cursor service
    bool forceProbe = false;  // ignore cached decode selections
    bool skipProbe = false;   // use the fallback selection instead of probing
    std::string hostName = std::string(kUnnamedHost);
    std::string appVersion = "0.1.0";

    // What the tablet shows for a host that has no name.
    static constexpr std::string_view kUnnamedHost = "Linux";

    // Default options for a host whose name (as the platform reports it) is `localName`; a
    // missing or blank name gives kUnnamedHost.
    static HostOptions standard(const std::optional<std::string>& localName);

    bool operator==(const HostOptions&) const = default;
};

template <>
struct RawEnumCases<HostOptions::FrameSourceKind> {
    static constexpr std::array table{RawCase{HostOptions::FrameSourceKind::screen, "screen"},
                                      RawCase{HostOptions::FrameSourceKind::testPattern, "testPattern"}};
};

}  // namespace kelvo
