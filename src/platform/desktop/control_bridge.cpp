#include "platform/desktop/control_bridge.hpp"

#include "core/session/host_status.hpp"
#include "core/session/session_manager.hpp"
#include "core/settings/file_user_defaults.hpp"
#include "core/util/json.hpp"
#include "core/util/log.hpp"
#include "core/util/utf8.hpp"

namespace kelvo {

ControlBridge::ControlBridge(SessionManager& manager, UserDefaults* suite, std::function<void()> reloadControls)
    : manager_(manager), suite_(suite), reloadControls_(std::move(reloadControls)) {}

std::string ControlBridge::suiteFolder() { return FileUserDefaults::standardFolder() + "/" + kSuiteName; }

std::string ControlBridge::formatName(const std::string& name) { return shortenName(name, 15, 8, 4); }

std::pair<bool, std::string> ControlBridge::describe(const HostStatus& status) {
    const bool connected = status.isConnected();
    if (auto s = status.as<HostStatus::Connecting>()) return {connected, "连接 " + formatName(s->name) + "\u2026"};
    if (auto s = status.as<HostStatus::Probing>()) return {connected, "连接 " + formatName(s->name) + "\u2026"};
    if (auto s = status.as<HostStatus::Connected>()) return {connected, formatName(s->name) + " · " + s->transport};
    if (auto s = status.as<HostStatus::Paused>()) return {connected, formatName(s->name) + " · 已暂停"};
    return {connected, "未连接"};
}

void ControlBridge::publish(const HostStatus& status) {
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
    Log::i("control", std::string("控制开关 → ") + (on ? "连接" : "断开"));
    if (on) {
        manager_.reconnect();
    } else {
        manager_.disconnect();
    }
    // Rewrite and reload even when the pair is unchanged, so the control leaves its pending look.
    last_.reset();
    publish(manager_.status());
}

}  // namespace kelvo
