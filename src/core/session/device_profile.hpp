#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/settings/settings_enums.hpp"
#include "core/util/json.hpp"
#include "core/util/log.hpp"
#include "core/video/probe_ladder.hpp"
#include "core/video/probe_selection.hpp"

namespace kelvo {

// The outcome of one tablet's last decode probe, and what it ran under.
struct ProbeRecord {
    std::string iosVersion;  // the tablet's OS version from its hello, "" when absent
    int64_t appBuild = 0;    // the tablet app's build from its hello, 0 when absent
    Orientation orientation = Orientation::landscape;
    QualityPolicy policy = QualityPolicy::clarity;
    std::vector<RungResult> results;  // every rung's result, in ladder order
    std::optional<ProbeSelection> selection;  // absent when no rung passed
    SystemTime date;                          // when the probe finished

    bool operator==(const ProbeRecord&) const = default;
};

// What the host remembers of one tablet.
struct DeviceProfile {
    std::string key;  // the device key; also its key in the store
    std::string name;
    std::optional<DisplayPreset> preset;            // overrides the preset setting
    std::optional<OrientationSetting> orientation;  // chosen for this tablet
    std::optional<ProbeRecord> probe;
    std::optional<InputMode> lastMode;
    SystemTime lastSeen;  // when made or last stamped

    DeviceProfile() = default;
    // Every optional absent, lastSeen now.
    DeviceProfile(std::string key, std::string name);

    bool operator==(const DeviceProfile&) const = default;
};

// Members are the field names; dates are seconds since 2001-01-01 UTC; absent optionals are
// left out. Reading fails on a missing required member, a wrong type, an unknown enumeration
// value or a date out of the clock's range.
template <>
struct JsonCoding<ProbeRecord> {
    static std::optional<ProbeRecord> read(const Json& v);
    static Json write(const ProbeRecord& r);
};
template <>
struct JsonCoding<DeviceProfile> {
    static std::optional<DeviceProfile> read(const Json& v);
    static Json write(const DeviceProfile& p);
};

}  // namespace kelvo
