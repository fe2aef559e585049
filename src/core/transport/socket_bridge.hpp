#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/runtime/executor.hpp"
#include "core/transport/tls_stream.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo {

// Makes a TLS session look like a plain connected socket: a UNIX socket pair whose one end the
// caller gets, while the bridge pumps bytes between the other end and the session, with
// back-pressure both ways. Private to the transport layer.
//
// The bridge runs on its executor and owns itself until it ends: when the caller closes its end
// (what it wrote is sent, then a TLS close), when the peer ends its direction (what it sent is
// written into the pair first), or on any error (at once). The caller sees the end as end-of-file
// or an error on its descriptor.
class SocketBridge : public std::enable_shared_from_this<SocketBridge> {
public:
    // Takes a finished TLS stream. Returns the caller's end of the pair (blocking; the caller owns
    // it), or an invalid descriptor when no pair could be made (the stream is closed then).
    // The bridge starts on `executor` after the calling task returns.
    static UniqueFd attach(TlsStream stream, std::shared_ptr<Executor> executor);

    // Bridges still running in this process (tests wait for it to reach 0).
    static size_t liveCount() { return live_.load(); }

    // How long a bridge whose caller hung up waits for the peer to finish before it drops the TCP
    // connection anyway, in microseconds.
    static constexpr uint64_t kLingerUs = 2'000'000;

    SocketBridge(TlsStream stream, UniqueFd pairEnd, std::shared_ptr<Executor> executor);
    ~SocketBridge();

private:
    struct Wants {
        bool netRead = false, netWrite = false, pairRead = false, pairWrite = false;
    };

    void start();
    void pump();
    bool pumpNetworkToPair(Wants& wants, bool& progress);
    bool pumpPairToNetwork(Wants& wants, bool& progress);
    void arm(const Wants& wants);
    void onReady();
    void beginClose();
    void shutdownStep();
    void drainStep();
    void finish();

    enum class Phase { running, sendingClose, draining, closed };

    TlsStream stream_;
    UniqueFd pair_;
    std::shared_ptr<Executor> executor_;
    std::unique_ptr<FdWatch> netWatch_;
    std::unique_ptr<FdWatch> pairWatch_;
    std::unique_ptr<Timer> lingerTimer_;
    Wants armed_;
    Phase phase_ = Phase::running;
    bool peerDone_ = false;   // the peer ended its direction
    bool localDone_ = false;  // the caller closed its end
    std::vector<uint8_t> inbound_;  // from the network, not yet written into the pair
    size_t inboundLen_ = 0;
    size_t inboundOffset_ = 0;
    std::vector<uint8_t> outbound_;  // read from the pair, not yet taken by TLS
    size_t outboundOffset_ = 0;
    size_t outboundLen_ = 0;
    std::shared_ptr<SocketBridge> self_;  // held from start until the end

    static inline std::atomic<size_t> live_{0};
};

}  // namespace kelvo
