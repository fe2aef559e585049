#include "core/session/host_status.hpp"

namespace kelvo {

namespace {
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;
}  // namespace

std::string HostStatus::description() const {
    return std::visit(
        Overloaded{
            [](const WaitingForApp&) -> std::string { return "等待 iPad 打开 Kelvo Display"; },
            [](const Connecting& c) -> std::string { return "正在连接 " + c.name + "…"; },
            [](const Probing&) -> std::string { return "正在检测解码能力…"; },
            [](const Connected& c) -> std::string {
                return "已连接：" + c.name + "（" + c.transport + "）· " + c.stream + " · " + std::to_string(c.fps) +
                       " fps";
            },
            [](const Paused& p) -> std::string { return "已连接：" + p.name + " · " + p.reason; },
            [](const UsbmuxUnavailable&) -> std::string { return "usbmuxd 不可用"; },
            [](const NoDevice&) -> std::string { return "未检测到 iPad"; },
            [](const OtherDeviceConnected&) -> std::string { return "已连接另一台 iPad"; },
            [](const NeedsScreenPermission&) -> std::string {
                return "需要录屏权限（X 服务器不让读取屏幕，如 XWayland 或远程 X 连接）";
            },
            [](const SearchingWireless&) -> std::string { return "未插 USB，正在无线查找已配对的 iPad…"; },
        },
        value_);
}

bool HostStatus::isConnected() const { return is<Probing>() || is<Connected>() || is<Paused>(); }

}  // namespace kelvo
