#include "platform/x11/x11_permissions.hpp"

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <vector>

#include "core/util/log.hpp"
#include "platform/x11/xcb_session.hpp"

extern char** environ;

namespace kelvo {
namespace {

constexpr std::string_view kTag = "app";

bool onPath(const std::string& tool) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && access((dir + "/" + tool).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// Starts `argv` detached from this process: a shell backgrounds it and exits at once, so no
// child is left for us to reap.
bool launchDetached(const std::vector<std::string>& argv) {
    std::vector<std::string> args{"/bin/sh", "-c", "\"$0\" \"$@\" </dev/null >/dev/null 2>&1 &"};
    args.insert(args.end(), argv.begin(), argv.end());
    std::vector<char*> raw;
    for (auto& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, raw.data(), environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

X11Permissions::X11Permissions(std::string display) : display_(std::move(display)) {}

bool X11Permissions::screenCapture() {
    XcbSession x = XcbSession::open(display_);
    if (!x) return false;
    xcb_get_image_cookie_t cookie =
        xcb_get_image(x.connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, x.root, 0, 0, 1, 1, ~0u);
    std::unique_ptr<xcb_get_image_reply_t, decltype(&free)> reply(
        xcb_get_image_reply(x.connection.get(), cookie, nullptr), free);
    return reply != nullptr;
}

bool X11Permissions::accessibility() {
    XcbSession x = XcbSession::open(display_);
    if (!x) return false;
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x.connection.get(), &xcb_test_id);
    return ext && ext->present;
}

bool X11Permissions::requestScreenCapture() {
    bool ok = screenCapture();
    if (!ok) Log::w(kTag, "screen capture needs an X server that lets this process read its screen");
    return ok;
}

bool X11Permissions::requestAccessibility() {
    bool ok = accessibility();
    if (!ok) Log::w(kTag, "input needs an X server with the XTEST extension");
    return ok;
}

void X11Permissions::openScreenCaptureSettings() {
    Log::i(kTag, "screen capture is granted by the X server itself: no settings to open");
}

void X11Permissions::openAccessibilitySettings() {
    Log::i(kTag, "input is granted by the X server itself: no settings to open");
}

void X11Permissions::openDisplaySettings() {
    static const std::vector<std::vector<std::string>> tools{
        {"gnome-control-center", "display"}, {"systemsettings", "kcm_kscreen"}, {"xfce4-display-settings"},
        {"lxqt-config-monitor"}, {"arandr"}};
    for (const auto& tool : tools) {
        if (!onPath(tool.front())) continue;
        if (launchDetached(tool)) {
            Log::i(kTag, "opened the display settings: " + tool.front());
        } else {
            Log::w(kTag, "cannot start " + tool.front());
        }
        return;
    }
    Log::w(kTag, "no display settings tool found");
}

void X11Permissions::declareUserActivity() {
    XcbSession x = XcbSession::open(display_);
    if (!x) return;
    xcb_force_screen_saver(x.connection.get(), XCB_SCREEN_SAVER_RESET);
    // A round trip, so that the request is handled before the connection closes.
    roundTrip(x.connection.get());
}

bool X11Permissions::penDevice(const char* path) { return access(path, W_OK) == 0; }

}  // namespace kelvo
