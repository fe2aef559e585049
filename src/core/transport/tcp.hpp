#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/runtime/executor.hpp"
#include "core/transport/device_connector.hpp"

namespace kelvo {

namespace TCP {

// Connects without blocking any queue: the connect waits on readiness and a timer of `queue`,
// a host name is looked up off the queue (a numeric address needs no lookup). Tries every
// address of `host` in order, each for up to `timeoutUs`, and calls `completion` once, on
// `queue`, with a descriptor in blocking mode, or the outcome of the last address that got as
// far as a socket: refused, "cannot resolve <host>" (also when the lookup outlasts the
// time-out), "no address for <host>", or the system's text for the socket's error (a time-out
// reads as ETIMEDOUT's text). A name lookup reports from another thread: give names only to a
// queue that may be posted to from any thread.
void connect(const std::string& host, uint16_t port, uint64_t timeoutUs, std::shared_ptr<Executor> queue,
             ConnectCompletion completion);

}  // namespace TCP

}  // namespace kelvo
