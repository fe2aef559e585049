#include "platform/desktop/control_bridge.hpp"

#include "core/settings/file_user_defaults.hpp"
#include "core/util/json.hpp"
#include "core/util/log.hpp"
#include "core/util/utf8.hpp"

namespace kelvo {

ControlBridge::ControlBridge(ControlTarget& target, UserDefaults* suite, std::function<void()> reloadControls)
    : target_(target), suite_(suite), reloadControls_(std::move(reloadControls)) {}

std::string ControlBridge::suiteFolder() { return FileUserDefaults::standardFolder() + "/" + kSuiteName; }

std::string ControlBridge::formatName(const std::string& name) {
    const char* space = " \t\n\r\v\f";
    size_t first = name.find_first_not_of(space);
    if (first == std::string::npos) return {};
    std::string trimmed = name.substr(first, name.find_last_not_of(space) - first + 1);
    trimmed = decodeUtf8Lossy(trimmed);
    auto characters = splitCharacters(trimmed);
    if (characters.size() < 15) return trimmed;
    std::string out;
    for (size_t i = 0; i < 8; ++i) out += characters[i];
    out += "\u2026";
    for (size_t i = characters.size() - 4; i < characters.size(); ++i) out += characters[i];
    return out;
}

std::pair<bool, std::string> ControlBridge::describe(const ControlStatus& status) {
    using Kind = ControlStatus::Kind;
    bool connected = status.kind == Kind::probing || status.kind == Kind::connected || status.kind == Kind::paused;
    std::string name = formatName(status.deviceName);
    switch (status.kind) {
        case Kind::connecting:
        case Kind::probing: return {connected, "连接 " + name + "\u2026"};
        case Kind::connected: return {connected, name + " · " + status.transport};
        case Kind::paused: return {connected, name + " · 已暂停"};
        case Kind::other: break;
    }
    return {connected, "未连接"};
}

void ControlBridge::publish(const ControlStatus& status) {
    auto pair = describe(status);
    if (last_ == pair) return;
    last_ = pair;
    if (suite_) {
        bool written = suite_->setData("connected", encodeWire(Json(pair.first)));
        written = suite_->setData("detail", encodeWire(Json(pair.second))) && written;
        if (!written) Log::w("control", "the control's state could not be written");
    }
    if (reloadControls_) reloadControls_();
}

void ControlBridge::applyRequest() {
    if (!suite_) return;
    auto bytes = suite_->data("requestedOn");
    if (!bytes) return;
    auto value = parseJson(*bytes);
    if (!value || !value->is_boolean()) return;
    bool on = value->get<bool>();
    Log::i("control", std::string("控制中心开关 → ") + (on ? "连接" : "断开"));
    if (on) {
        target_.reconnect();
    } else {
        target_.disconnect();
    }
    // Rewrite and reload even when the pair is unchanged, so the control leaves its pending look.
    last_.reset();
    publish(target_.controlStatus());
}

}  // namespace kelvo
