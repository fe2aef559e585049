#include "platform/x11/xsettings.hpp"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/input/input_params.hpp"
#include "core/input/key_layout_map.hpp"
#include "core/runtime/manual_executor.hpp"
#include "testing/x_server.hpp"
#include "host/wiring/app_environment.hpp"
#include "platform/x11/xcb_session.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

// A settings blob written field by field in either byte order.
class Blob {
public:
    explicit Blob(bool bigEndian, uint32_t count) : big_(bigEndian) {
        bytes.push_back(big_ ? 1 : 0);
        bytes.insert(bytes.end(), 3, 0);
        number(7, 4);  // serial
        number(count, 4);
    }
    Blob& integer(const std::string& name, int32_t v) {
        head(0, name);
        number(static_cast<uint32_t>(v), 4);
        return *this;
    }
    Blob& text(const std::string& name, const std::string& v) {
        head(1, name);
        number(uint32_t(v.size()), 4);
        padded(v);
        return *this;
    }
    Blob& color(const std::string& name) {
        head(2, name);
        for (uint16_t c : {0xffff, 0x8000, 0x0000, 0xffff}) number(c, 2);
        return *this;
    }
    std::vector<uint8_t> bytes;

private:
    void head(uint8_t type, const std::string& name) {
        bytes.push_back(type);
        bytes.push_back(0);
        number(uint16_t(name.size()), 2);
        padded(name);
        number(0, 4);  // last-change serial
    }
    void number(uint32_t v, int width) {
        for (int i = 0; i < width; ++i) {
            const int shift = 8 * (big_ ? width - 1 - i : i);
            bytes.push_back(static_cast<uint8_t>(v >> shift));
        }
    }
    void padded(const std::string& s) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.insert(bytes.end(), (4 - s.size() % 4) % 4, 0);
    }
    bool big_;
};

std::vector<uint8_t> hex(const std::string& h) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size();) {
        if (h[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

TEST(XSettings, BlobsOfEitherByteOrderAreReadAndBadOnesRefused) {
    // Net/DoubleClickTime = 400 (ms), little-endian, as a settings daemon writes it.
    const auto golden = hex(
        "00000000 07000000 01000000 "
        "00001300 4e65742f 446f75626c65436c 69636b54696d6500 00000000 90010000");
    EXPECT_EQ(golden, Blob(false, 1).integer("Net/DoubleClickTime", 400).bytes);
    EXPECT_EQ(doubleClickIntervalFrom(golden), 0.4);

    const auto all = Blob(true, 3).text("Net/ThemeName", "Adwaita").color("Gtk/Color").integer("Net/DoubleClickTime", 250);
    const auto parsed = parseXSettings(all.bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->at("Net/ThemeName"), XSettingsValue(std::string("Adwaita")));
    EXPECT_EQ(parsed->at("Gtk/Color"), XSettingsValue(XSettingsColor{0xffff, 0x0000, 0x8000, 0xffff}))
        << "the colour is stored red, blue, green, alpha";
    EXPECT_EQ(doubleClickIntervalFrom(all.bytes), 0.25);
    for (size_t n = 0; n < all.bytes.size(); ++n) {
        EXPECT_FALSE(parseXSettings(std::span(all.bytes).first(n))) << "cut to " << n << " bytes";
    }

    auto unknownType = Blob(false, 1).integer("Net/DoubleClickTime", 400).bytes;
    unknownType[12] = 3;
    auto badOrder = golden;
    badOrder[0] = 2;
    auto tooMany = golden;
    tooMany[8] = 2;
    const struct {
        const char* what;
        std::vector<uint8_t> blob;
        std::optional<double> want;
    } cases[] = {
        {"absent", Blob(false, 1).integer("Net/CursorBlinkTime", 1200).bytes, std::nullopt},
        {"a string", Blob(false, 1).text("Net/DoubleClickTime", "400").bytes, std::nullopt},
        {"zero", Blob(false, 1).integer("Net/DoubleClickTime", 0).bytes, std::nullopt},
        {"negative", Blob(false, 1).integer("Net/DoubleClickTime", -5).bytes, std::nullopt},
        {"above ten seconds", Blob(false, 1).integer("Net/DoubleClickTime", 10'001).bytes, std::nullopt},
        {"the last of two wins", Blob(false, 2).integer("Net/DoubleClickTime", 1).integer("Net/DoubleClickTime", 600).bytes, 0.6},
        {"an unknown type", unknownType, std::nullopt},
        {"an unknown byte order", badOrder, std::nullopt},
        {"more settings than bytes", tooMany, std::nullopt},
        {"empty", {}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(doubleClickIntervalFrom(c.blob), c.want) << c.what;
}

// A settings daemon: owns the screen's XSETTINGS selection and publishes a blob on its window,
// until it disconnects.
class SettingsDaemon {
public:
    SettingsDaemon(const std::string& display, const std::vector<uint8_t>& blob) : session_(XcbSession::open(display)) {
        auto* c = session_.connection.get();
        atoms_ = internAtoms(c, {"_XSETTINGS_S0", "_XSETTINGS_SETTINGS"});
        window_ = xcb_generate_id(c);
        xcb_create_window(c, 0, window_, session_.root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        publish(blob);
        xcb_set_selection_owner(c, window_, atoms_[0], XCB_CURRENT_TIME);
        sync(c);
    }
    void publish(const std::vector<uint8_t>& blob) {
        auto* c = session_.connection.get();
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, atoms_[1], atoms_[1], 8, uint32_t(blob.size()), blob.data());
        sync(c);
    }
    static void sync(xcb_connection_t* c) { roundTrip(c); }

private:
    XcbSession session_;
    std::vector<xcb_atom_t> atoms_;
    xcb_window_t window_ = 0;
};

std::vector<uint8_t> doubleClickBlob(int32_t ms) { return Blob(false, 1).integer("Net/DoubleClickTime", ms).bytes; }

TEST(XSettings, DoubleClickIntervalFollowsTheDesktopsSettingsDaemonElseHalfASecond) {
    std::string whyNot;
    auto server = XServer::start(XServer::Want::any, &whyNot);
    if (!server) GTEST_SKIP() << whyNot;
    // The program's wiring: the X session environment installs the source.
    auto env = makeX11SessionEnvironment(std::make_shared<ManualExecutor>("main"), server->display(), "");
    ASSERT_TRUE(env.ok()) << env.error();
    const Settings settings;
    auto interval = [&] { return InputParams::fromSettings(settings).doubleClickInterval; };
    auto becomes = [&](double seconds) { return test::waitUntil([&] { return interval() == seconds; }); };

    EXPECT_EQ(interval(), 0.5) << "no settings daemon";
    EXPECT_EQ(test::threadsNamed("kv.xsettings").size(), 1u) << "the watcher's thread, named (15 characters at most)";
    {
        SettingsDaemon first(server->display(), doubleClickBlob(400));
        EXPECT_TRUE(becomes(0.4));
        first.publish(doubleClickBlob(250));
        EXPECT_TRUE(becomes(0.25)) << "new settings published";
        {
            // Reads never wait for the server: they go on while another client holds it.
            auto holder = XcbSession::open(server->display());
            xcb_grab_server(holder.connection.get());
            SettingsDaemon::sync(holder.connection.get());
            std::atomic<bool> done = false;
            std::thread reader([&] {
                for (int i = 0; i < 100; ++i) interval();
                done = true;
            });
            EXPECT_TRUE(test::waitUntil([&] { return done.load(); })) << "reads waited for the X server";
            xcb_ungrab_server(holder.connection.get());
            SettingsDaemon::sync(holder.connection.get());
            reader.join();
        }
        SettingsDaemon second(server->display(), doubleClickBlob(600));
        EXPECT_TRUE(becomes(0.6)) << "another daemon took over";
        second.publish(Blob(false, 1).text("Net/ThemeName", "Adwaita").bytes);
        EXPECT_TRUE(becomes(0.5)) << "published without the interval";
        second.publish(doubleClickBlob(300));
        EXPECT_TRUE(becomes(0.3));
    }
    EXPECT_TRUE(becomes(0.5)) << "the daemons are gone";

    InputParams::installDoubleClickSource(nullptr);
    KeyLayoutMap::installCurrentSource(nullptr);
    EXPECT_TRUE(test::noThreadNamed("kv.xsettings")) << "joined with the source";
}

}  // namespace
}  // namespace kelvo
