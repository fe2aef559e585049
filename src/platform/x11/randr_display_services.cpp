#include "platform/x11/randr_display_services.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>

#include "core/util/log.hpp"
#include "core/util/observer_list.hpp"
#include "core/util/unique_fd.hpp"
#include "platform/runtime/wakeable_thread.hpp"
#include "platform/x11/xcb_session.hpp"
#include "platform/x11/xwayland.hpp"

namespace kelvo {

namespace {

constexpr int kRescanMs = 500;
// Names of our virtual monitors and of the modes we make for spare outputs: prefix, creating
// process, sequence number (modes add their size).
constexpr std::string_view kVirtualPrefix = "Kelvo-";
// Failure codes of configuration steps (the server's own errors carry no useful number).
constexpr int32_t kIllegalArgument = 1001;
constexpr int32_t kServerRefused = 1004;

template <class T>
XcbReply<T> own(T* reply) {
    return XcbReply<T>(reply);
}

// True when the request went through; a refusal is only logged by the caller.
bool succeeded(xcb_connection_t* c, xcb_void_cookie_t cookie) {
    xcb_generic_error_t* error = xcb_request_check(c, cookie);
    if (!error) return true;
    std::free(error);
    return false;
}

// RRSetMonitor written out by hand: the generated binding of this libxcb miscounts the
// request's length and the library then aborts.
xcb_void_cookie_t setMonitorChecked(xcb_connection_t* c, xcb_window_t window, const xcb_randr_monitor_info_t& info) {
    static const xcb_protocol_request_t request = {2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    xcb_randr_set_monitor_request_t header{};
    header.window = window;
    iovec parts[4];  // xcb_send_request uses the two before the request's own parts
    parts[2] = {&header, sizeof header};
    parts[3] = {const_cast<xcb_randr_monitor_info_t*>(&info), sizeof info};
    return {xcb_send_request(c, XCB_REQUEST_CHECKED, parts + 2, &request)};
}

struct Monitor {
    DisplayId id = 0;
    bool primary = false;
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<xcb_randr_output_t> outputs;
};

struct ScreenSize {
    int32_t width = 0;
    int32_t height = 0;
    bool operator==(const ScreenSize&) const = default;
};

double refreshOf(const xcb_randr_mode_info_t& m) {
    double vtotal = m.vtotal;
    if (m.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) vtotal *= 2;
    if (m.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) vtotal /= 2;
    if (m.htotal == 0 || vtotal <= 0) return 0;
    return double(m.dot_clock) / (double(m.htotal) * vtotal);
}

// A mode of `width`×`height` at `refresh` Hz with short blanking; servers of spare outputs
// take it as it is, nothing scans it out.
xcb_randr_mode_info_t modeInfo(int32_t width, int32_t height, double refresh, uint16_t nameLength) {
    xcb_randr_mode_info_t m{};
    m.width = uint16_t(width);
    m.height = uint16_t(height);
    m.hsync_start = uint16_t(width + 48);
    m.hsync_end = uint16_t(width + 80);
    m.htotal = uint16_t(width + 160);
    m.vsync_start = uint16_t(height + 3);
    m.vsync_end = uint16_t(height + 8);
    m.vtotal = uint16_t(height + 40);
    m.dot_clock = uint32_t(std::lround(double(m.htotal) * m.vtotal * (refresh > 0 ? refresh : 60.0)));
    m.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_POSITIVE | XCB_RANDR_MODE_FLAG_VSYNC_NEGATIVE;
    m.name_len = nameLength;
    return m;
}

// Millimetres for a screen size at 96 dots per inch, as servers assume without a real monitor.
uint32_t millimetres(int32_t pixels) { return uint32_t(std::lround(pixels * 25.4 / 96.0)); }

}  // namespace

struct RandrDisplayServices::Impl : std::enable_shared_from_this<Impl> {
    struct Virtual {
        VirtualDisplayDescriptor descriptor;
        std::vector<DisplayMode> modes;
        size_t current = 0;
        bool placed = false;
        int32_t x = 0;
        int32_t y = 0;
        // A spare output shows it through a crtc, so the pointer can enter it; without one
        // it is a bare monitor (output 0).
        xcb_randr_output_t output = 0;
        xcb_randr_crtc_t crtc = 0;
        xcb_randr_mode_t mode = 0;  // ours, added to the output
        int32_t modeWidth = 0;
        int32_t modeHeight = 0;
    };
    struct PendingMode {
        DisplayId display;
        DisplayMode mode;
    };

    xcb_connection_t* conn = nullptr;    // requests, under m
    xcb_connection_t* events = nullptr;  // RandR events, event thread only
    xcb_window_t root = 0;
    bool randr15 = false;

    std::mutex m;
    std::vector<Monitor> known;  // as last seen, in the server's order
    std::map<DisplayId, Virtual> virtuals;
    std::map<DisplayId, std::string> atomNames;
    std::optional<ScreenSize> originalScreen;  // before our first growth
    std::optional<ScreenSize> grownScreen;     // what we grew it to
    uint32_t nextVirtual = 1;
    bool warnedBareMonitor = false;
    // Outputs our released virtual displays used. The dummy driver reports an output connected
    // for good once a mode was shown on it, so without this every session would use up one.
    std::set<xcb_randr_output_t> releasedOutputs;

    ObserverList<DisplayId, uint32_t> callbacks;
    WakeableThread thread;

    ~Impl() {
        if (events) xcb_disconnect(events);
        if (conn) xcb_disconnect(conn);
    }

    // ---- queries, with m held ----

    XcbReply<xcb_randr_get_screen_resources_current_reply_t> screenResourcesLocked() {
        return own(xcb_randr_get_screen_resources_current_reply(conn, xcb_randr_get_screen_resources_current(conn, root),
                                                                nullptr));
    }

    std::vector<Monitor> queryMonitorsLocked() {
        std::vector<Monitor> out;
        if (!randr15) return out;
        auto reply = own(xcb_randr_get_monitors_reply(conn, xcb_randr_get_monitors(conn, root, 1), nullptr));
        if (!reply) return out;
        for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
            Monitor mon;
            mon.id = it.data->name;
            mon.primary = it.data->primary;
            mon.x = it.data->x;
            mon.y = it.data->y;
            mon.width = it.data->width;
            mon.height = it.data->height;
            auto* outs = xcb_randr_monitor_info_outputs(it.data);
            mon.outputs.assign(outs, outs + xcb_randr_monitor_info_outputs_length(it.data));
            out.push_back(std::move(mon));
        }
        return out;
    }

    std::optional<Monitor> findMonitorLocked(DisplayId id) {
        for (auto& mon : queryMonitorsLocked()) {
            if (mon.id == id) return mon;
        }
        return std::nullopt;
    }

    std::string atomNameLocked(DisplayId atom) {
        if (auto it = atomNames.find(atom); it != atomNames.end()) return it->second;
        auto reply = own(xcb_get_atom_name_reply(conn, xcb_get_atom_name(conn, atom), nullptr));
        if (!reply) return {};
        std::string name(xcb_get_atom_name_name(reply.get()), size_t(xcb_get_atom_name_name_length(reply.get())));
        atomNames[atom] = name;
        return name;
    }

    ScreenSize screenSizeLocked() {
        auto reply = own(xcb_get_geometry_reply(conn, xcb_get_geometry(conn, root), nullptr));
        if (!reply) return {};
        return {reply->width, reply->height};
    }

    std::optional<ScreenSize> maxScreenLocked() {
        auto reply = own(xcb_randr_get_screen_size_range_reply(conn, xcb_randr_get_screen_size_range(conn, root),
                                                               nullptr));
        if (!reply) return std::nullopt;
        return ScreenSize{reply->max_width, reply->max_height};
    }

    // The modes of an output and its current mode id (0 when it shows nothing).
    struct OutputModes {
        std::vector<DisplayMode> modes;
        xcb_randr_mode_t current = 0;
        xcb_randr_crtc_t crtc = 0;
        bool rotated = false;
    };

    OutputModes outputModesLocked(xcb_randr_output_t output) {
        OutputModes out;
        auto res = screenResourcesLocked();
        if (!res) return out;
        auto info = own(xcb_randr_get_output_info_reply(
            conn, xcb_randr_get_output_info(conn, output, res->config_timestamp), nullptr));
        if (!info) return out;
        const xcb_randr_mode_info_t* all = xcb_randr_get_screen_resources_current_modes(res.get());
        int allCount = xcb_randr_get_screen_resources_current_modes_length(res.get());
        auto* ids = xcb_randr_get_output_info_modes(info.get());
        int idCount = xcb_randr_get_output_info_modes_length(info.get());
        for (int i = 0; i < idCount; ++i) {
            for (int k = 0; k < allCount; ++k) {
                if (all[k].id != ids[i]) continue;
                bool interlaced = all[k].mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE;
                out.modes.push_back(DisplayMode{double(all[k].width), double(all[k].height), double(all[k].width),
                                                double(all[k].height), refreshOf(all[k]), !interlaced, all[k].id});
            }
        }
        out.crtc = info->crtc;
        if (info->crtc) {
            auto crtc = own(xcb_randr_get_crtc_info_reply(
                conn, xcb_randr_get_crtc_info(conn, info->crtc, res->config_timestamp), nullptr));
            if (crtc) {
                out.current = crtc->mode;
                out.rotated = crtc->rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270);
            }
        }
        if (out.rotated) {
            for (auto& mode : out.modes) {
                std::swap(mode.width, mode.height);
                std::swap(mode.pixelWidth, mode.pixelHeight);
            }
        }
        return out;
    }

    // Right edge of every monitor but `except`: where a new virtual monitor goes.
    int32_t rightEdgeLocked(DisplayId except) {
        int32_t edge = 0;
        for (auto& mon : queryMonitorsLocked()) {
            if (mon.id != except) edge = std::max(edge, mon.x + mon.width);
        }
        return edge;
    }

    // ---- changes, with m held ----

    // Grows the screen to at least `need`; false when the server cannot.
    bool growScreenLocked(ScreenSize need) {
        ScreenSize current = screenSizeLocked();
        if (current.width >= need.width && current.height >= need.height) return true;
        auto max = maxScreenLocked();
        ScreenSize target{std::max(current.width, need.width), std::max(current.height, need.height)};
        if (!max || target.width > max->width || target.height > max->height) {
            Log::w("display", "screen cannot grow to " + std::to_string(target.width) + "×" +
                                  std::to_string(target.height) + " (largest " +
                                  std::to_string(max ? max->width : 0) + "×" + std::to_string(max ? max->height : 0) +
                                  ")");
            return false;
        }
        if (!succeeded(conn, xcb_randr_set_screen_size_checked(conn, root, uint16_t(target.width),
                                                                uint16_t(target.height), millimetres(target.width),
                                                                millimetres(target.height)))) {
            Log::w("display", "screen size " + std::to_string(target.width) + "×" + std::to_string(target.height) +
                                  " refused");
            return false;
        }
        if (!originalScreen) originalScreen = current;
        grownScreen = target;
        Log::i("display", "screen grown from " + std::to_string(current.width) + "×" + std::to_string(current.height) +
                              " to " + std::to_string(target.width) + "×" + std::to_string(target.height));
        return true;
    }

    // Gives the screen its size back once no virtual monitor of ours needs the room, unless
    // someone else resized it meanwhile.
    void shrinkScreenLocked() {
        bool anyPlaced = std::any_of(virtuals.begin(), virtuals.end(), [](auto& v) { return v.second.placed; });
        if (anyPlaced || !originalScreen) return;
        if (screenSizeLocked() == grownScreen) {
            ScreenSize back = *originalScreen;
            if (succeeded(conn, xcb_randr_set_screen_size_checked(conn, root, uint16_t(back.width),
                                                                   uint16_t(back.height), millimetres(back.width),
                                                                   millimetres(back.height)))) {
                Log::i("display", "screen back to " + std::to_string(back.width) + "×" + std::to_string(back.height));
            }
        }
        originalScreen.reset();
        grownScreen.reset();
    }

    bool setMonitorLocked(DisplayId id, Virtual& v, int32_t x, int32_t y, int32_t width, int32_t height) {
        if (!growScreenLocked({x + width, y + height})) return false;
        xcb_randr_monitor_info_t info{};
        info.name = id;
        info.x = int16_t(x);
        info.y = int16_t(y);
        info.width = uint16_t(width);
        info.height = uint16_t(height);
        info.width_in_millimeters = uint32_t(std::max(0.0, std::round(v.descriptor.sizeInMillimeters.width)));
        info.height_in_millimeters = uint32_t(std::max(0.0, std::round(v.descriptor.sizeInMillimeters.height)));
        // The server refuses to replace a monitor of the same name, so a placed one goes first;
        // the lock keeps a rescan from seeing the gap.
        if (v.placed) succeeded(conn, xcb_randr_delete_monitor_checked(conn, root, id));
        if (!succeeded(conn, setMonitorChecked(conn, root, info))) {
            Log::w("display", "virtual monitor " + std::to_string(id) + " refused by the server");
            return false;
        }
        v.placed = true;
        v.x = x;
        v.y = y;
        return true;
    }

    bool placeLocked(DisplayId id, Virtual& v, int32_t x, int32_t y, int32_t width, int32_t height) {
        return v.output ? setOutputLocked(v, x, y, width, height) : setMonitorLocked(id, v, x, y, width, height);
    }

    std::string newModeNameLocked(int32_t width, int32_t height) {
        return std::string(kVirtualPrefix) + std::to_string(::getpid()) + "-" + std::to_string(nextVirtual++) + "-" +
               std::to_string(width) + "x" + std::to_string(height);
    }

    // Takes `mode` off `output` (turning off `crtc` first when it shows it) and destroys it.
    void dropModeLocked(xcb_randr_output_t output, xcb_randr_crtc_t crtc, xcb_randr_mode_t mode) {
        if (crtc) {
            auto res = screenResourcesLocked();
            auto info = own(xcb_randr_get_crtc_info_reply(
                conn, xcb_randr_get_crtc_info(conn, crtc, res ? res->config_timestamp : 0), nullptr));
            if (res && info && info->mode == mode) {
                std::free(xcb_randr_set_crtc_config_reply(
                    conn,
                    xcb_randr_set_crtc_config(conn, crtc, XCB_CURRENT_TIME, res->config_timestamp, 0, 0, XCB_NONE,
                                              XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
                    nullptr));
            }
        }
        succeeded(conn, xcb_randr_delete_output_mode_checked(conn, output, mode));
        if (!succeeded(conn, xcb_randr_destroy_mode_checked(conn, mode))) {
            Log::w("display", "mode " + std::to_string(mode) + " could not be destroyed");
        }
    }

    // Shows a `width`×`height` mode of our own on the virtual's output at (x, y), making a new
    // mode when the size changes and dropping the one it replaces.
    bool setOutputLocked(Virtual& v, int32_t x, int32_t y, int32_t width, int32_t height) {
        if (!growScreenLocked({x + width, y + height})) return false;
        xcb_randr_mode_t mode = v.mode;
        bool fresh = !mode || v.modeWidth != width || v.modeHeight != height;
        if (fresh) {
            std::string name = newModeNameLocked(width, height);
            double refresh = v.modes.empty() ? 60.0 : v.modes[std::min(v.current, v.modes.size() - 1)].refreshHz;
            auto info = modeInfo(width, height, refresh, uint16_t(name.size()));
            auto made = own(xcb_randr_create_mode_reply(
                conn, xcb_randr_create_mode(conn, root, info, uint32_t(name.size()), name.c_str()), nullptr));
            if (!made) {
                Log::w("display", "mode " + name + " refused by the server");
                return false;
            }
            mode = made->mode;
            if (!succeeded(conn, xcb_randr_add_output_mode_checked(conn, v.output, mode))) {
                Log::w("display", "output " + std::to_string(v.output) + " refused mode " + name);
                dropModeLocked(v.output, 0, mode);
                return false;
            }
        }
        auto res = screenResourcesLocked();
        auto reply = own(xcb_randr_set_crtc_config_reply(
            conn,
            xcb_randr_set_crtc_config(conn, v.crtc, XCB_CURRENT_TIME, res ? res->config_timestamp : 0, int16_t(x),
                                      int16_t(y), mode, XCB_RANDR_ROTATION_ROTATE_0, 1, &v.output),
            nullptr));
        if (!reply || reply->status != XCB_RANDR_SET_CONFIG_SUCCESS) {
            Log::w("display", "crtc " + std::to_string(v.crtc) + " refused " + std::to_string(width) + "×" +
                                  std::to_string(height) + " at " + std::to_string(x) + "," + std::to_string(y));
            if (fresh) dropModeLocked(v.output, 0, mode);
            return false;
        }
        if (fresh && v.mode) dropModeLocked(v.output, 0, v.mode);
        v.mode = mode;
        v.modeWidth = width;
        v.modeHeight = height;
        v.placed = true;
        v.x = x;
        v.y = y;
        return true;
    }

    // A disconnected output (or one we released) with a crtc nobody uses, none of ours already;
    // nullopt when the server has none.
    std::optional<std::pair<xcb_randr_output_t, xcb_randr_crtc_t>> spareOutputLocked() {
        auto res = screenResourcesLocked();
        if (!res) return std::nullopt;
        auto ours = [&](auto pred) {
            return std::any_of(virtuals.begin(), virtuals.end(), [&](auto& v) { return pred(v.second); });
        };
        auto* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
        int outputCount = xcb_randr_get_screen_resources_current_outputs_length(res.get());
        for (int i = 0; i < outputCount; ++i) {
            xcb_randr_output_t output = outputs[i];
            if (ours([&](const Virtual& v) { return v.output == output; })) continue;
            auto info = own(xcb_randr_get_output_info_reply(
                conn, xcb_randr_get_output_info(conn, output, res->config_timestamp), nullptr));
            if (!info || info->crtc) continue;
            if (info->connection != XCB_RANDR_CONNECTION_DISCONNECTED && !releasedOutputs.count(output)) continue;
            auto* crtcs = xcb_randr_get_output_info_crtcs(info.get());
            int crtcCount = xcb_randr_get_output_info_crtcs_length(info.get());
            for (int k = 0; k < crtcCount; ++k) {
                if (ours([&](const Virtual& v) { return v.crtc == crtcs[k]; })) continue;
                auto crtc = own(xcb_randr_get_crtc_info_reply(
                    conn, xcb_randr_get_crtc_info(conn, crtcs[k], res->config_timestamp), nullptr));
                if (crtc && crtc->mode == XCB_NONE && xcb_randr_get_crtc_info_outputs_length(crtc.get()) == 0) {
                    return std::make_pair(output, crtcs[k]);
                }
            }
        }
        return std::nullopt;
    }

    std::string outputNameLocked(xcb_randr_output_t output) {
        auto info = own(xcb_randr_get_output_info_reply(conn, xcb_randr_get_output_info(conn, output, XCB_CURRENT_TIME),
                                                        nullptr));
        if (!info) return {};
        return std::string(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                           size_t(xcb_randr_get_output_info_name_length(info.get())));
    }

    int32_t applyModeLocked(DisplayId id, const DisplayMode& mode) {
        if (auto it = virtuals.find(id); it != virtuals.end()) {
            Virtual& v = it->second;
            if (mode.handle >= v.modes.size() || v.modes[mode.handle] != mode) return kIllegalArgument;
            int32_t x = v.placed ? v.x : rightEdgeLocked(id);
            int32_t y = v.placed ? v.y : 0;
            if (!placeLocked(id, v, x, y, int32_t(mode.pixelWidth), int32_t(mode.pixelHeight))) {
                return kServerRefused;
            }
            v.current = mode.handle;
            return kDisplayConfigSuccess;
        }
        auto mon = findMonitorLocked(id);
        if (!mon || mon->outputs.empty()) return kIllegalArgument;
        return setCrtcLocked(mon->outputs, xcb_randr_mode_t(mode.handle), mon->x, mon->y, &mode);
    }

    // Shows `mode` (0: the current one) on the crtc of the first output at (x, y).
    int32_t setCrtcLocked(const std::vector<xcb_randr_output_t>& outputs, xcb_randr_mode_t mode, int32_t x, int32_t y,
                          const DisplayMode* checkMode) {
        auto res = screenResourcesLocked();
        if (!res) return kServerRefused;
        auto current = outputModesLocked(outputs.front());
        if (!current.crtc) return kIllegalArgument;
        if (checkMode && std::find(current.modes.begin(), current.modes.end(), *checkMode) == current.modes.end()) {
            return kIllegalArgument;
        }
        auto crtc = own(xcb_randr_get_crtc_info_reply(
            conn, xcb_randr_get_crtc_info(conn, current.crtc, res->config_timestamp), nullptr));
        if (!crtc) return kServerRefused;
        if (mode == 0) mode = crtc->mode;
        int32_t w = crtc->width, h = crtc->height;
        for (auto& m : current.modes) {
            if (m.handle == mode) {
                w = int32_t(m.pixelWidth);
                h = int32_t(m.pixelHeight);
            }
        }
        if (!growScreenLocked({x + w, y + h})) return kServerRefused;
        auto* crtcOutputs = xcb_randr_get_crtc_info_outputs(crtc.get());
        int count = xcb_randr_get_crtc_info_outputs_length(crtc.get());
        auto reply = own(xcb_randr_set_crtc_config_reply(
            conn,
            xcb_randr_set_crtc_config(conn, current.crtc, crtc->timestamp, res->config_timestamp, int16_t(x),
                                      int16_t(y), mode, crtc->rotation, uint32_t(count), crtcOutputs),
            nullptr));
        if (!reply || reply->status != XCB_RANDR_SET_CONFIG_SUCCESS) return kServerRefused;
        return kDisplayConfigSuccess;
    }

    int32_t applyMirrorLocked(DisplayId id, DisplayId master) {
        int32_t x, y;
        if (master) {
            auto target = findMonitorLocked(master);
            if (!target || master == id) return kIllegalArgument;
            x = target->x;
            y = target->y;
        } else {
            x = rightEdgeLocked(id);
            y = 0;
        }
        if (auto it = virtuals.find(id); it != virtuals.end()) {
            Virtual& v = it->second;
            if (v.modes.empty()) return kIllegalArgument;
            const auto& mode = v.modes[v.current];
            return placeLocked(id, v, x, y, int32_t(mode.pixelWidth), int32_t(mode.pixelHeight))
                       ? kDisplayConfigSuccess
                       : kServerRefused;
        }
        auto mon = findMonitorLocked(id);
        if (!mon || mon->outputs.empty()) return kIllegalArgument;
        return setCrtcLocked(mon->outputs, 0, x, y, nullptr);
    }

    void releaseLocked(DisplayId id) {
        auto it = virtuals.find(id);
        if (it == virtuals.end()) return;  // terminated already
        Virtual v = std::move(it->second);
        virtuals.erase(it);
        if (v.output) {
            if (v.mode) dropModeLocked(v.output, v.crtc, v.mode);
            releasedOutputs.insert(v.output);
        } else if (v.placed && !succeeded(conn, xcb_randr_delete_monitor_checked(conn, root, id))) {
            Log::w("display", "virtual monitor " + std::to_string(id) + " could not be deleted");
        }
        shrinkScreenLocked();
    }

    // True for "Kelvo-<pid>-..." names of a process that no longer exists.
    static bool leftByEndedRun(const std::string& name) {
        if (name.rfind(kVirtualPrefix, 0) != 0) return false;
        long pid = std::strtol(name.c_str() + kVirtualPrefix.size(), nullptr, 10);
        return pid > 0 && pid != ::getpid() && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
    }

    // Monitors and modes outlive the client that made them: those a crashed run of ours left
    // behind are recognised by name and removed, outputs showing such a mode turned off.
    void removeStaleMonitorsLocked() {
        for (auto& mon : queryMonitorsLocked()) {
            if (!mon.outputs.empty()) continue;
            std::string name = atomNameLocked(mon.id);
            if (!leftByEndedRun(name)) continue;
            if (succeeded(conn, xcb_randr_delete_monitor_checked(conn, root, mon.id))) {
                Log::i("display", "removed virtual monitor " + name + " left by an earlier run");
            }
        }
        auto res = screenResourcesLocked();
        if (!res) return;
        const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res.get());
        int modeCount = xcb_randr_get_screen_resources_current_modes_length(res.get());
        const uint8_t* names = xcb_randr_get_screen_resources_current_names(res.get());
        std::vector<std::pair<xcb_randr_mode_t, std::string>> stale;
        for (int i = 0; i < modeCount; ++i) {
            std::string name(reinterpret_cast<const char*>(names), modes[i].name_len);
            names += modes[i].name_len;
            if (leftByEndedRun(name)) stale.emplace_back(modes[i].id, name);
        }
        if (stale.empty()) return;
        auto* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
        int outputCount = xcb_randr_get_screen_resources_current_outputs_length(res.get());
        for (auto& [mode, name] : stale) {
            bool dropped = false;
            for (int i = 0; i < outputCount && !dropped; ++i) {
                auto info = own(xcb_randr_get_output_info_reply(
                    conn, xcb_randr_get_output_info(conn, outputs[i], res->config_timestamp), nullptr));
                if (!info) continue;
                auto* ids = xcb_randr_get_output_info_modes(info.get());
                int idCount = xcb_randr_get_output_info_modes_length(info.get());
                if (std::find(ids, ids + idCount, mode) == ids + idCount) continue;
                dropModeLocked(outputs[i], info->crtc, mode);
                dropped = true;
            }
            if (!dropped) succeeded(conn, xcb_randr_destroy_mode_checked(conn, mode));
            Log::i("display", "removed virtual mode " + name + " left by an earlier run");
        }
    }

    // ---- notifications ----

    // Compares the monitors with what was seen last and tells the callbacks; reports our
    // virtual monitors that vanished. Call without m.
    void refresh() {
        std::vector<std::pair<DisplayId, uint32_t>> changes;
        std::vector<VirtualDisplayDescriptor> terminated;
        {
            std::lock_guard g(m);
            if (xcb_connection_has_error(conn)) {
                // The server went away, and every monitor of ours with it.
                for (auto& [id, v] : virtuals) {
                    if (!v.placed) continue;
                    changes.push_back({id, DisplayChange::removed});
                    terminated.push_back(v.descriptor);
                }
                if (!terminated.empty()) Log::w("display", "X server connection lost");
                virtuals.clear();
                known.clear();
            }
            auto now = queryMonitorsLocked();
            for (auto& mon : now) {
                auto old = std::find_if(known.begin(), known.end(), [&](auto& k) { return k.id == mon.id; });
                if (old == known.end()) {
                    changes.push_back({mon.id, DisplayChange::added});
                    continue;
                }
                uint32_t flags = 0;
                if (old->x != mon.x || old->y != mon.y) flags |= DisplayChange::moved;
                if (old->width != mon.width || old->height != mon.height) flags |= DisplayChange::setMode;
                if (old->primary != mon.primary && mon.primary) flags |= DisplayChange::setMain;
                if (flags) changes.push_back({mon.id, flags});
            }
            for (auto& old : known) {
                if (std::none_of(now.begin(), now.end(), [&](auto& mon) { return mon.id == old.id; })) {
                    changes.push_back({old.id, DisplayChange::removed});
                }
            }
            for (auto it = virtuals.begin(); it != virtuals.end();) {
                bool present = std::any_of(now.begin(), now.end(), [&](auto& mon) { return mon.id == it->first; });
                if (it->second.placed && !present) {
                    Log::w("display", "virtual monitor " + std::to_string(it->first) + " was removed by another client");
                    if (it->second.output && it->second.mode) {
                        dropModeLocked(it->second.output, it->second.crtc, it->second.mode);
                    }
                    terminated.push_back(it->second.descriptor);
                    it = virtuals.erase(it);
                } else {
                    ++it;
                }
            }
            if (!terminated.empty()) shrinkScreenLocked();
            known = std::move(now);
        }
        for (auto [id, flags] : changes) {
            callbacks.notifyAll(id, DisplayChange::beginConfiguration);
            callbacks.notifyAll(id, flags);
        }
        for (auto& d : terminated) {
            if (d.queue && d.terminationHandler) d.queue->post(d.terminationHandler);
        }
    }

    void eventLoop(int wakeFd) {
        pollfd fds[2] = {{xcb_get_file_descriptor(events), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        bool eventsUsable = true;
        for (;;) {
            fds[0].fd = eventsUsable ? xcb_get_file_descriptor(events) : -1;
            int n = ::poll(fds, 2, kRescanMs);
            if (n < 0 && errno != EINTR) break;
            if (fds[1].revents) break;
            if (eventsUsable) {
                while (xcb_generic_event_t* ev = xcb_poll_for_event(events)) std::free(ev);
                if (xcb_connection_has_error(events)) {
                    Log::w("display", "RandR event connection lost; rescanning only");
                    eventsUsable = false;
                }
            }
            refresh();
        }
    }
};

namespace {

class RandrVirtualDisplay final : public PlatformVirtualDisplay {
public:
    RandrVirtualDisplay(std::shared_ptr<RandrDisplayServices::Impl> impl, DisplayId id)
        : impl_(std::move(impl)), id_(id) {}
    ~RandrVirtualDisplay() override {
        {
            std::lock_guard g(impl_->m);
            impl_->releaseLocked(id_);
        }
        impl_->refresh();
    }
    DisplayId displayID() const override { return id_; }

    bool applySettings(const VirtualDisplaySettings& settings) override {
        bool ok = false;
        {
            std::lock_guard g(impl_->m);
            auto it = impl_->virtuals.find(id_);
            if (it == impl_->virtuals.end()) return false;
            auto& v = it->second;
            auto modes = virtualDisplayModes(settings, v.descriptor.maxPixelsWide, v.descriptor.maxPixelsHigh);
            if (modes.empty()) return false;
            v.modes = modes;
            ok = impl_->applyModeLocked(id_, modes.front()) == kDisplayConfigSuccess;
        }
        impl_->refresh();
        return ok;
    }

private:
    std::shared_ptr<RandrDisplayServices::Impl> impl_;
    DisplayId id_;
};

class RandrConfiguration final : public DisplayConfiguration {
public:
    explicit RandrConfiguration(std::shared_ptr<RandrDisplayServices::Impl> impl) : impl_(std::move(impl)) {}

    int32_t configureMode(DisplayId display, const DisplayMode& mode) override {
        if (done_) return kIllegalArgument;
        modes_.push_back({display, mode});
        return kDisplayConfigSuccess;
    }
    int32_t configureMirror(DisplayId display, DisplayId master) override {
        if (done_) return kIllegalArgument;
        mirrors_.push_back({display, master});
        return kDisplayConfigSuccess;
    }
    int32_t complete() override {
        if (done_) return kIllegalArgument;
        done_ = true;
        int32_t result = kDisplayConfigSuccess;
        {
            std::lock_guard g(impl_->m);
            for (auto& p : modes_) {
                if (int32_t rc = impl_->applyModeLocked(p.display, p.mode); rc != kDisplayConfigSuccess) result = rc;
            }
            // Mirrors follow the modes, so a mirror takes its master's new origin.
            for (auto [display, master] : mirrors_) {
                if (int32_t rc = impl_->applyMirrorLocked(display, master); rc != kDisplayConfigSuccess) result = rc;
            }
        }
        impl_->refresh();
        return result;
    }
    void cancel() override { done_ = true; }

private:
    std::shared_ptr<RandrDisplayServices::Impl> impl_;
    std::vector<RandrDisplayServices::Impl::PendingMode> modes_;
    std::vector<std::pair<DisplayId, DisplayId>> mirrors_;
    bool done_ = false;
};

}  // namespace

Expected<std::unique_ptr<RandrDisplayServices>, std::string> RandrDisplayServices::connect(const std::string& display) {
    auto impl = std::make_shared<Impl>();
    XcbSession requests = XcbSession::open(display);
    XcbSession events = XcbSession::open(display);
    if (requests.failure == XcbSession::Failure::unreachable || events.failure == XcbSession::Failure::unreachable) {
        return std::string("cannot connect to X display ") + (display.empty() ? "$DISPLAY" : display);
    }
    if (!requests || !events) return std::string("X display has no screen ") + std::to_string(requests.screenNumber);
    impl->root = requests.root;
    impl->conn = requests.connection.release();
    impl->events = events.connection.release();
    warnOnceIfXWayland(impl->conn, impl->root);

    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(impl->conn, &xcb_randr_id);
    if (ext && ext->present) {
        auto version = own(xcb_randr_query_version_reply(impl->conn, xcb_randr_query_version(impl->conn, 1, 5), nullptr));
        impl->randr15 = version && (version->major_version > 1 ||
                                    (version->major_version == 1 && version->minor_version >= 5));
        if (!impl->randr15) {
            Log::w("display", "X server has RandR " +
                                  (version ? std::to_string(version->major_version) + "." +
                                                 std::to_string(version->minor_version)
                                           : std::string("?")) +
                                  "; monitors need 1.5");
        }
    } else {
        Log::w("display", "X server has no RandR extension");
    }
    if (impl->randr15) {
        // The event connection speaks RandR too; its root is the same window.
        xcb_randr_query_version_reply_t* v =
            xcb_randr_query_version_reply(impl->events, xcb_randr_query_version(impl->events, 1, 5), nullptr);
        std::free(v);
        xcb_randr_select_input(impl->events, impl->root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_RESOURCE_CHANGE);
        xcb_flush(impl->events);
        std::lock_guard g(impl->m);
        impl->removeStaleMonitorsLocked();
        impl->known = impl->queryMonitorsLocked();
    }
    if (!impl->thread.start("kv.x11.randr", [raw = impl.get()](int wakeFd) { raw->eventLoop(wakeFd); })) {
        return std::string("cannot start the RandR thread (see the log)");
    }
    return std::make_unique<RandrDisplayServices>(std::move(impl));
}

RandrDisplayServices::RandrDisplayServices(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

RandrDisplayServices::~RandrDisplayServices() {
    impl_->thread.stop();
}

std::vector<DisplayId> RandrDisplayServices::onlineDisplays() {
    std::lock_guard g(impl_->m);
    std::vector<DisplayId> out;
    for (auto& mon : impl_->queryMonitorsLocked()) out.push_back(mon.id);
    return out;
}

std::vector<DisplayMode> RandrDisplayServices::modes(DisplayId display) {
    std::lock_guard g(impl_->m);
    if (auto it = impl_->virtuals.find(display); it != impl_->virtuals.end()) return it->second.modes;
    for (auto& mon : impl_->queryMonitorsLocked()) {
        if (mon.id == display && !mon.outputs.empty()) return impl_->outputModesLocked(mon.outputs.front()).modes;
    }
    return {};
}

std::optional<DisplayMode> RandrDisplayServices::currentMode(DisplayId display) {
    std::lock_guard g(impl_->m);
    if (auto it = impl_->virtuals.find(display); it != impl_->virtuals.end()) {
        if (!it->second.placed || it->second.modes.empty()) return std::nullopt;
        return it->second.modes[it->second.current];
    }
    for (auto& mon : impl_->queryMonitorsLocked()) {
        if (mon.id != display || mon.outputs.empty()) continue;
        auto out = impl_->outputModesLocked(mon.outputs.front());
        for (auto& mode : out.modes) {
            if (mode.handle == out.current) return mode;
        }
    }
    return std::nullopt;
}

Rect RandrDisplayServices::bounds(DisplayId display) {
    std::lock_guard g(impl_->m);
    for (auto& mon : impl_->queryMonitorsLocked()) {
        if (mon.id == display) return {double(mon.x), double(mon.y), double(mon.width), double(mon.height)};
    }
    return {};
}

DisplayId RandrDisplayServices::mainDisplay() {
    std::lock_guard g(impl_->m);
    auto monitors = impl_->queryMonitorsLocked();
    for (auto& mon : monitors) {
        if (mon.primary) return mon.id;
    }
    return monitors.empty() ? 0 : monitors.front().id;
}

bool RandrDisplayServices::isBuiltin(DisplayId display) {
    std::lock_guard g(impl_->m);
    if (impl_->virtuals.count(display)) return false;
    std::string name = impl_->atomNameLocked(display);
    for (const char* prefix : {"eDP", "LVDS", "DSI"}) {
        if (name.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

DisplayId RandrDisplayServices::mirrorMaster(DisplayId display) {
    std::lock_guard g(impl_->m);
    auto monitors = impl_->queryMonitorsLocked();
    auto self = std::find_if(monitors.begin(), monitors.end(), [&](auto& mon) { return mon.id == display; });
    if (self == monitors.end() || self->primary) return 0;
    // X11 has no mirroring of its own: a monitor at another's origin shows the same pixels.
    // The primary monitor, else the one listed first, is the master.
    DisplayId master = 0;
    for (auto it = monitors.begin(); it != monitors.end(); ++it) {
        if (it == self || it->x != self->x || it->y != self->y) continue;
        if (it->primary) return it->id;
        if (it < self && !master) master = it->id;
    }
    return master;
}

std::optional<std::string> RandrDisplayServices::screenName(DisplayId display) {
    std::lock_guard g(impl_->m);
    if (auto it = impl_->virtuals.find(display); it != impl_->virtuals.end()) return it->second.descriptor.name;
    std::string name = impl_->atomNameLocked(display);
    if (name.empty()) return std::nullopt;
    return name;
}

Expected<std::unique_ptr<DisplayConfiguration>, int32_t> RandrDisplayServices::beginConfiguration() {
    if (!impl_->randr15) return kServerRefused;
    return std::unique_ptr<DisplayConfiguration>(std::make_unique<RandrConfiguration>(impl_));
}

Uuid RandrDisplayServices::addReconfigurationCallback(DisplayReconfigurationCallback callback) {
    return impl_->callbacks.add(std::move(callback));
}

void RandrDisplayServices::removeReconfigurationCallback(const Uuid& id) { impl_->callbacks.remove(id); }

bool RandrDisplayServices::isAvailable() { return impl_->randr15; }

std::unique_ptr<PlatformVirtualDisplay> RandrDisplayServices::create(const VirtualDisplayDescriptor& descriptor) {
    if (!impl_->randr15) {
        Log::w("display", "virtual displays need RandR 1.5");
        return nullptr;
    }
    std::lock_guard g(impl_->m);
    auto max = impl_->maxScreenLocked();
    int32_t needWidth = impl_->rightEdgeLocked(0) + int32_t(std::min<uint32_t>(descriptor.maxPixelsWide, 1u << 16));
    int32_t needHeight = int32_t(std::min<uint32_t>(descriptor.maxPixelsHigh, 1u << 16));
    if (!max || needWidth > max->width || needHeight > max->height) {
        Log::w("display", "screen cannot grow to " + std::to_string(needWidth) + "×" + std::to_string(needHeight) +
                              " for a virtual display (largest " + std::to_string(max ? max->width : 0) + "×" +
                              std::to_string(max ? max->height : 0) + ")");
        return nullptr;
    }
    // A spare output's monitor is named after the output; a bare monitor gets a name of our
    // own. Either way the name's atom is the display's id.
    Impl::Virtual v{descriptor, {}, 0, false, 0, 0};
    std::string name;
    if (auto spare = impl_->spareOutputLocked()) {
        v.output = spare->first;
        v.crtc = spare->second;
        name = impl_->outputNameLocked(v.output);
    }
    if (name.empty()) {
        v.output = 0;
        v.crtc = 0;
        if (!impl_->warnedBareMonitor) {
            impl_->warnedBareMonitor = true;
            Log::w("display", "no spare output with a free crtc: the virtual display is a bare monitor, "
                              "which the pointer cannot enter");
        }
        name = std::string(kVirtualPrefix) + std::to_string(::getpid()) + "-" + std::to_string(impl_->nextVirtual++);
    }
    auto atom = own(xcb_intern_atom_reply(
        impl_->conn, xcb_intern_atom(impl_->conn, 0, uint16_t(name.size()), name.c_str()), nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE) return nullptr;
    impl_->atomNames[atom->atom] = name;
    impl_->virtuals[atom->atom] = std::move(v);
    return std::make_unique<RandrVirtualDisplay>(impl_, atom->atom);
}

}  // namespace kelvo
