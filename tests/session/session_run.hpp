#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/session/device_session.hpp"
#include "testing/fake_ipad.hpp"
#include "core/transport/direct_connector.hpp"
#include "support/test_support.hpp"

namespace kelvo::test {

// One simulated tablet and the sessions a test runs against it, one at a time, over developer-mode
// TCP on loopback. The host side is given: its environment, stores and how to run work on its
// main queue. With a manual main queue the host runs in virtual time on the test thread while the
// tablet, the sockets and the encoder run for real: waits run the host's queue meanwhile.
class SessionRun {
public:
    struct Host {
        SessionEnvironment env;
        DeviceSession::Stores stores;
        // Runs `work` on the main queue and returns once it ran.
        std::function<void(const std::function<void()>&)> onMain;
        // Runs the host's ready work (manual queues); empty when the host runs on threads.
        std::function<void()> run;
    };

    SessionRun(Host host, FakeIPad::Options tablet) : host_(std::move(host)) {
        tablet.sendStats = false;
        auto made = FakeIPad::make(tablet);
        EXPECT_TRUE(made.ok());
        if (made.ok()) ipad = std::move(made).value();
        options.frameSource = HostOptions::FrameSourceKind::testPattern;
    }
    ~SessionRun() { stop(); }

    // Ends the session and closes the tablet. Idempotent; a harness that owns the host calls it
    // before the host goes.
    void stop() {
        if (stopped_) return;
        stopped_ = true;
        onMain([this] {
            if (session) session->disconnect("shutdown");
        });
        if (ipad) ipad->close();
        onMain([this] { session.reset(); });
    }

    void onMain(const std::function<void()>& work) { host_.onMain(work); }

    // Connects the control stream and starts a session over it.
    void connect() {
        ASSERT_TRUE(ipad);
        connector = std::make_shared<DirectConnector>("127.0.0.1", ipad->ctrlPort(), ipad->videoPort(),
                                                      host_.env.makeQueue("kv.direct.connect"), host_.env.main);
        std::shared_ptr<DeviceConnector> used = wrapConnector ? wrapConnector(connector) : connector;
        bool done = false;
        onMain([&] {
            used->connect(DeviceSession::kCtrlPort, [this, &done, used](ConnectResult result) {
                done = true;
                ASSERT_TRUE(result.ok()) << result.error().description();
                session = DeviceSession::create(used, std::move(result).value(), options, host_.stores, host_.env);
                session->onEnded = [this](DeviceSession&, const std::string& reason) { endings.push_back(reason); };
                session->start();
            });
        });
        ASSERT_TRUE(until([&] { return done; }));
    }

    // Waits, running the host's queue, until `pred` (read on the main queue) holds.
    bool until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(90)) {
        auto check = [&] {
            bool result = false;
            onMain([&] { result = pred(); });
            return result;
        };
        return waitUntil(check, timeout, [&] {
            if (host_.run) host_.run();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        });
    }
    DeviceSession::State state() {
        std::optional<DeviceSession::State> s;
        onMain([&] { s = session ? session->state() : DeviceSession::State::closed("no session"); });
        return *s;
    }
    bool reached(DeviceSession::State::Kind kind) {
        return until([&] { return session && session->state().kind() == kind; });
    }
    bool decodedAtLeast(int64_t frames) {
        return until([&] { return ipad->snapshot().framesDecoded >= frames; });
    }

    std::shared_ptr<FakeIPad> ipad;
    HostOptions options;
    // What the session dials through: the direct connector, or a test's wrapper around it.
    std::function<std::shared_ptr<DeviceConnector>(std::shared_ptr<DeviceConnector>)> wrapConnector;
    std::shared_ptr<DirectConnector> connector;
    std::shared_ptr<DeviceSession> session;  // main queue
    std::vector<std::string> endings;        // main queue

private:
    Host host_;
    bool stopped_ = false;
};

}  // namespace kelvo::test
