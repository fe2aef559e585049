// A paired tablet moving between Wi-Fi and the cable: the manager finds it through discovery,
// connects with TLS and its key, hands over to USB when the cable comes and back to Wi-Fi when it
// goes, and the tablet keeps its display across each hand-over.

#include <gtest/gtest.h>
#include <unistd.h>

#include "testing/fake_ipad.hpp"
#include "testing/fake_service_browser.hpp"
#include "testing/fake_usbmuxd.hpp"
#include "core/transport/secure_transport.hpp"
#include "core/transport/wireless_connector.hpp"
#include "session_manager_rig.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

TEST(ManagerHandOver, WirelessSessionHandsOverToUsbAndBackKeepingItsDisplay) {
    test::TempDir dir;
    test::FakeUsbmuxd daemon(dir.file("usbmuxd"));
    daemon.start();
    auto discovery = std::make_shared<FakeServiceBrowser>();

    FakeIPad::Options options;
    options.decode = false;
    options.serviceName = "kelvo-handover-" + std::to_string(::getpid());
    options.publisher = discovery;
    auto made = FakeIPad::make(options);
    ASSERT_TRUE(made.ok());
    auto tablet = made.value();

    Settings settings;
    settings.wireless = true;
    settings.graceSeconds = 60;  // a loaded machine may take longer than the default 5 s to come back
    test::ManagerRig rig(FakeSessionEnvironment::Queues::threads, settings);
    const auto key = SecureTransport::newKey();
    rig.fake.pairing.save(PairingRecord{"udid-1", options.name, *options.serviceName, key, SystemTime{}});
    tablet->setPairing(rig.fake.pairing.hostID(), key);
    rig.options.skipProbe = true;
    rig.make([&](SessionEnvironment& env) {
        env.usbmuxSocketPath = dir.file("usbmuxd");
        env.makeServiceBrowser = [discovery] { return discovery; };
    });
    auto streamingOver = [&](const std::string& transport) {
        return test::waitUntil([&] {
            return rig.read([&] {
                const auto* c = rig.manager->status().as<HostStatus::Connected>();
                return c && c->transport == transport;
            });
        }, 2 * test::kPatience);
    };
    auto displayID = [&] { return rig.read([&] { return rig.manager->session()->displayID(); }); };

    test::LogCapture log;
    rig.start();
    ASSERT_TRUE(streamingOver(WirelessConnector::label("lo")));
    EXPECT_EQ(tablet->snapshot().secureSessions, 1);
    const DisplayId wirelessDisplay = displayID();
    ASSERT_NE(wirelessDisplay, 0u);

    daemon.mapPort(1, DeviceSession::kCtrlPort, tablet->ctrlPort());
    daemon.mapPort(1, DeviceSession::kVideoPort, tablet->videoPort());
    daemon.attach(UsbmuxDevice{1, "udid-1", 0x12ab, "USB"});
    ASSERT_TRUE(streamingOver("USB"));
    EXPECT_TRUE(log.contains("ending: handing over: usb", "session"));
    EXPECT_EQ(displayID(), wirelessDisplay);
    EXPECT_EQ(tablet->snapshot().pairAcks.size(), 0u);  // the tablet holds the current key already

    daemon.detach(1);
    ASSERT_TRUE(streamingOver(WirelessConnector::label("lo")));
    EXPECT_TRUE(log.contains("ending: handing over: detached", "session"));
    EXPECT_EQ(tablet->snapshot().secureSessions, 2);
    EXPECT_EQ(displayID(), wirelessDisplay);

    rig.onMain([&] { rig.manager->stop(); });
    tablet->close();
    daemon.stop();
}

}  // namespace
}  // namespace kelvo
