#include "core/transport/usbmux_packet.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "core/transport/usbmux_client.hpp"
#include "transport_test_util.hpp"

namespace kelvo {
namespace {

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> header(uint32_t length, uint32_t tag = 0) {
    std::vector<uint8_t> h;
    for (uint32_t v : {length, 1u, 8u, tag})
        for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return h;
}

Plist parse(const std::string& xml) {
    auto p = UsbmuxPacket::decodePlist(bytesOf(xml));
    EXPECT_TRUE(p.has_value()) << xml;
    return p ? std::move(*p) : Plist();
}

std::string dictXml(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + inner + "</dict></plist>";
}

TEST(UsbmuxPacket, ListenRequestHasGoldenHeaderAndBody) {
    auto packet = UsbmuxPacket::encode(UsbmuxPacket::request("Listen"), UsbmuxPacket::tagListen);
    ASSERT_TRUE(packet);
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n"
        "<dict>\n"
        "\t<key>ClientVersionString</key>\n\t<string>kelvo-1</string>\n"
        "\t<key>MessageType</key>\n\t<string>Listen</string>\n"
        "\t<key>ProgName</key>\n\t<string>KelvoHost</string>\n"
        "\t<key>kLibUSBMuxVersion</key>\n\t<integer>3</integer>\n"
        "</dict>\n"
        "</plist>\n";
    ASSERT_EQ(body.size(), 396u);
    // length 0x19c = 396 + 16, version 1, message 8 (plist), tag 1.
    std::vector<uint8_t> expected{0x9c, 0x01, 0, 0, 0x01, 0, 0, 0, 0x08, 0, 0, 0, 0x01, 0, 0, 0};
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_EQ(*packet, expected);

    auto decoded = UsbmuxPacket::decodeHeader(*packet);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, (UsbmuxPacket::Header{412, 1, 8, 1}));
    EXPECT_FALSE(UsbmuxPacket::decodeHeader(std::span(*packet).first(15)));
}

TEST(UsbmuxPacket, RequestEntriesAndPortOrder) {
    Plist connect = UsbmuxPacket::request("Connect", {{"DeviceID", int64_t{7}}, {"PortNumber", UsbmuxPacket::networkPort(47101)}});
    EXPECT_EQ(connect.string("MessageType"), "Connect");
    EXPECT_EQ(connect.integer("DeviceID"), 7);
    EXPECT_EQ(connect.integer("PortNumber"), 64951);
    // An extra key replaces a fixed one.
    EXPECT_EQ(UsbmuxPacket::request("Listen", {{"MessageType", std::string("Other")}}).string("MessageType"), "Other");

    EXPECT_EQ(UsbmuxPacket::networkPort(47100), 64695);
    EXPECT_EQ(UsbmuxPacket::networkPort(0x0102), 0x0201);
}

TEST(UsbmuxPacket, ParsesDevicesWithDefaults) {
    Plist full = parse(dictXml(
        "<key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>5</integer>"
        "<key>Properties</key><dict><key>SerialNumber</key><string>abc</string>"
        "<key>ProductID</key><integer>4779</integer><key>ConnectionType</key><string>USB</string></dict>"));
    auto d = UsbmuxPacket::parseDevice(full.get());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->description(), "#5 abc USB product=0x12ab");
    EXPECT_TRUE(d->isUSB());

    auto bare = UsbmuxPacket::parseDevice(parse(dictXml("<key>DeviceID</key><integer>9</integer><key>Properties</key><dict/>")).get());
    ASSERT_TRUE(bare);
    EXPECT_EQ(*bare, (UsbmuxDevice{9, "", 0, "USB"}));

    EXPECT_FALSE(UsbmuxPacket::parseDevice(parse(dictXml("<key>DeviceID</key><integer>9</integer>")).get()));
    EXPECT_FALSE(UsbmuxPacket::parseDevice(
        parse(dictXml("<key>DeviceID</key><string>9</string><key>Properties</key><dict/>")).get()));
    EXPECT_FALSE(UsbmuxPacket::parseDevice(nullptr));
}

TEST(UsbmuxPacket, ListenEventsTheClientActsOn) {
    const std::string props = "<key>Properties</key><dict><key>SerialNumber</key><string>abc</string></dict>";
    struct Case {
        std::string inner;
        std::optional<bool> attached;  // none: ignored
        int64_t id;
    };
    const std::vector<Case> cases = {
        {"<key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>5</integer>" + props, true, 5},
        {"<key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>5</integer>", std::nullopt, 0},
        {"<key>MessageType</key><string>Detached</string><key>DeviceID</key><integer>7</integer>", false, 7},
        {"<key>MessageType</key><string>Detached</string><key>DeviceID</key><string>7</string>", std::nullopt, 0},
        {"<key>MessageType</key><string>Paired</string><key>DeviceID</key><integer>5</integer>" + props, std::nullopt, 0},
        {"<key>DeviceID</key><integer>5</integer>" + props, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.inner);
        const auto event = UsbmuxPacket::parseEvent(parse(dictXml(c.inner)));
        ASSERT_EQ(event.has_value(), c.attached.has_value());
        if (!event) continue;
        EXPECT_EQ(event->attached, *c.attached);
        EXPECT_EQ(event->deviceID, c.id);
        if (event->attached) {
            EXPECT_EQ(event->device.udid, "abc");
        }
    }
}

TEST(UsbmuxPacket, ResultNumbersAndErrorTexts) {
    EXPECT_EQ(UsbmuxPacket::resultNumber(parse(dictXml("<key>MessageType</key><string>Result</string><key>Number</key><integer>3</integer>"))), 3);
    EXPECT_FALSE(UsbmuxPacket::resultNumber(parse(dictXml("<key>MessageType</key><string>Attached</string><key>Number</key><integer>0</integer>"))));
    EXPECT_FALSE(UsbmuxPacket::resultNumber(parse(dictXml("<key>MessageType</key><string>Result</string><key>Number</key><string>0</string>"))));
    EXPECT_FALSE(UsbmuxPacket::decodePlist(bytesOf("<plist version=\"1.0\"><array/></plist>")));
    EXPECT_FALSE(UsbmuxPacket::decodePlist(bytesOf("not a plist")));

    EXPECT_EQ(UsbmuxError::result(3).description(), "usbmuxd result 3 (connection refused)");
    EXPECT_TRUE(UsbmuxError::result(3).isRefused());
    EXPECT_EQ(UsbmuxError::result(4).description(), "usbmuxd result 4 (unknown)");
    EXPECT_FALSE(UsbmuxError::result(4).isRefused());
    EXPECT_EQ(UsbmuxError::badReply().description(), "malformed usbmuxd reply");
}

TEST(UsbmuxPacket, ReadPacketRefusesBadLengthsBeforeTheBody) {
    for (uint32_t length : {15u, 0u, 0x100000u}) {
        auto [a, b] = test::socketPair();
        test::writeAll(a.get(), header(length));
        test::writeAll(a.get(), std::vector<uint8_t>(64, ' '));
        auto r = UsbmuxClient::readPacket(b.get());
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), UsbmuxError::badReply()) << length;
        // Nothing of the body was consumed.
        uint8_t buf[128];
        EXPECT_EQ(::recv(b.get(), buf, sizeof(buf), MSG_DONTWAIT), 64) << length;
    }
}

TEST(UsbmuxPacket, ReadPacketTakesTheLargestPacketAndReportsClosure) {
    std::string body = dictXml("<key>MessageType</key><string>Result</string><key>Number</key><integer>0</integer>");
    body.resize(0xFFFFF - 16, ' ');
    auto [a, b] = test::socketPair();
    std::thread writer([&, fd = a.get()] {
        test::writeAll(fd, header(0xFFFFF));
        test::writeAll(fd, bytesOf(body));
    });
    auto r = UsbmuxClient::readPacket(b.get());
    writer.join();
    ASSERT_TRUE(r) << r.error().description();
    EXPECT_EQ(UsbmuxPacket::resultNumber(r.value()), 0);

    a.reset();
    auto closed = UsbmuxClient::readPacket(b.get());
    ASSERT_FALSE(closed);
    EXPECT_EQ(closed.error(), UsbmuxError::io("closed"));
}

}  // namespace
}  // namespace kelvo
