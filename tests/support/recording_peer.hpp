#pragma once

#include <sys/socket.h>

#include <memory>
#include <vector>

#include "core/protocol/wire.hpp"
#include "core/transport/channel.hpp"

namespace kelvo::test {

// A host channel joined by a socket pair to a peer that keeps every message it receives; both
// started on `queue`. Stays where it was made (the peer's callback points at it).
class RecordingPeer {
public:
    explicit RecordingPeer(std::shared_ptr<Executor> queue) {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
        host = Channel::create(UniqueFd(fds[0]), "ctrl", queue, SocketOptions::ctrl);
        peer_ = Channel::create(UniqueFd(fds[1]), "peer", queue, SocketOptions::ctrl);
        peer_->onMessage = [this](WireMessage m) { received.push_back(std::move(m)); };
        host->start();
        peer_->start();
    }
    RecordingPeer(const RecordingPeer&) = delete;
    RecordingPeer& operator=(const RecordingPeer&) = delete;

    std::vector<WireMessage> ofType(MsgType type) const {
        std::vector<WireMessage> out;
        for (const auto& m : received) {
            if (m.type() == type) out.push_back(m);
        }
        return out;
    }
    // The record at the start of each message of `type`.
    template <PackedRecord T>
    std::vector<T> records(MsgType type) const {
        std::vector<T> out;
        for (const auto& m : ofType(type)) {
            if (auto r = m.load<T>()) out.push_back(*r);
        }
        return out;
    }

    std::shared_ptr<Channel> host;  // null when no socket pair could be made
    std::vector<WireMessage> received;

private:
    std::shared_ptr<Channel> peer_;
};

}  // namespace kelvo::test
