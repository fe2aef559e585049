#pragma once

// A session against a scripted tablet: the session's control socket is one end of a socket pair,
// the test plays the tablet on the other through a real Channel. With the manual queues of
// FakeSessionEnvironment everything runs in virtual time on the test thread.

#include <sys/socket.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol/records.hpp"
#include "core/protocol/wire_json.hpp"
#include "core/session/device_session.hpp"
#include "testing/fake_session_environment.hpp"
#include "core/transport/channel.hpp"
#include "core/transport/device_connector.hpp"

namespace kelvo::test {

// A connector whose connects the test completes (or never does).
class ScriptedConnector final : public DeviceConnector {
public:
    ScriptedConnector(std::string key, std::string label, bool trusted)
        : key_(std::move(key)), label_(std::move(label)), trusted_(trusted) {}
    std::string deviceKey() const override { return key_; }
    std::string transportLabel() const override { return label_; }
    bool isTrustedForPairing() const override { return trusted_; }
    void connect(uint16_t port, ConnectCompletion completion) override {
        ports.push_back(port);
        pending.push_back(std::move(completion));
    }

    std::vector<uint16_t> ports;
    std::vector<ConnectCompletion> pending;

private:
    std::string key_;
    std::string label_;
    bool trusted_;
};

// The tablet's end of the control stream: everything received, in order.
struct ScriptedPeer {
    std::shared_ptr<Channel> channel;
    std::shared_ptr<std::vector<WireMessage>> received = std::make_shared<std::vector<WireMessage>>();
    std::shared_ptr<std::optional<std::string>> closed = std::make_shared<std::optional<std::string>>();

    void open(UniqueFd fd, std::shared_ptr<Executor> queue) {
        channel = Channel::create(std::move(fd), "peer", std::move(queue), SocketOptions::ctrl);
        channel->onMessage = [r = received](WireMessage m) { r->push_back(std::move(m)); };
        channel->onClose = [c = closed](std::optional<ChannelError> e) { *c = e ? e->description() : "local"; };
        channel->start();
    }
    template <class T>
    void sendJSON(MsgType type, const T& body) {
        channel->sendJSON(type, body);
    }
    void send(MsgType type, std::vector<uint8_t> payload = {}) { channel->send(type, std::move(payload)); }
    void send(uint8_t rawType, std::vector<uint8_t> payload = {}) { channel->send(rawType, {std::move(payload)}); }

    std::vector<MsgType> types() const {
        std::vector<MsgType> out;
        for (const auto& m : *received) {
            if (auto t = m.type()) out.push_back(*t);
        }
        return out;
    }
    size_t count(MsgType type) const {
        size_t n = 0;
        for (const auto& m : *received) n += m.type() == type;
        return n;
    }
    template <class T>
    std::optional<T> last(MsgType type) const {
        for (auto it = received->rbegin(); it != received->rend(); ++it) {
            if (it->type() == type) return Wire::decodeJSON<T>(it->payload);
        }
        return std::nullopt;
    }
    std::vector<WireMessage> all(MsgType type) const {
        std::vector<WireMessage> out;
        for (const auto& m : *received) {
            if (m.type() == type) out.push_back(m);
        }
        return out;
    }
};

inline HelloMsg standardHello() {
    HelloMsg hello;
    hello.proto = HelloMsg::Proto{1, 1};
    hello.app = HelloMsg::App{"1.0", 7};
    hello.device = HelloMsg::Device{"iPad8,1", "Test iPad", "17.1", "idfv"};
    hello.screen = HelloMsg::Screen{};
    hello.screen->pt = std::vector<double>{1024, 768};
    hello.screen->mm = std::vector<double>{197, 148};
    return hello;
}

inline HostOptions testOptions() {
    HostOptions options;
    options.hostName = "Test Host";
    options.appVersion = "9.9";
    options.frameSource = HostOptions::FrameSourceKind::testPattern;
    return options;
}

// One session on the manual queues of `env`, its peer, and what it reported.
struct SessionRig {
    explicit SessionRig(FakeSessionEnvironment& env, HostOptions options = testOptions(),
                        std::shared_ptr<ScriptedConnector> connector = nullptr)
        : env(env), connector(connector ? connector : std::make_shared<ScriptedConnector>("udid-1", "USB", true)) {
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        session = DeviceSession::create(this->connector, UniqueFd(fds[0]), std::move(options), env.stores(),
                                        env.environment());
        session->onEnded = [this](DeviceSession&, const std::string& reason) { ended.push_back(reason); };
        session->onStateChange = [this](DeviceSession& s) { states.push_back(s.state().description()); };
        peer.open(UniqueFd(fds[1]), env.main);
        env.onMain([this] { session->start(); });
    }
    ~SessionRig() {
        env.onMain([this] { session->end("test over", false, "error"); });
        env.run();
    }

    void greet(const HelloMsg& hello = standardHello()) {
        peer.sendJSON(MsgType::hello, hello);
        env.run();
    }
    void onMain(const std::function<void(DeviceSession&)>& work) {
        env.onMain([&] { work(*session); });
    }

    FakeSessionEnvironment& env;
    std::shared_ptr<ScriptedConnector> connector;
    std::shared_ptr<DeviceSession> session;
    ScriptedPeer peer;
    std::vector<std::string> ended;
    std::vector<std::string> states;
};

}  // namespace kelvo::test
