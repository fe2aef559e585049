#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/runtime/executor.hpp"

namespace kelvo {

// One advertised service as discovery saw it on one network interface.
struct ServiceInstance {
    std::string name;
    std::string type;           // "_kelvo._tcp"
    std::string domain;         // "local"
    std::string interfaceName;  // "" when the backend cannot tell
    friend bool operator==(const ServiceInstance&, const ServiceInstance&) = default;
};

// Where a resolved service listens.
struct ServiceAddress {
    std::string address;  // numeric IPv4 or IPv6 text
    uint16_t port = 0;
    uint32_t interfaceIndex = 0;  // scope of a link-local IPv6 address; 0 when none
};

struct BrowseEvent {
    enum class Kind { results, waiting, failed };
    Kind kind = Kind::results;
    std::vector<ServiceInstance> instances;  // results: the complete current set
    std::string error;                       // waiting, failed: why
};

// Where a lookup ended: the addresses, or an error text when there are none.
struct ResolveResult {
    std::vector<ServiceAddress> addresses;
    std::string error;
};

// A running browse, lookup or advertisement. Destroying it on the executor its callbacks run on
// stops it: no callback runs after that.
class DiscoveryHandle {
public:
    virtual ~DiscoveryHandle() = default;
};

// Service discovery on the local network (the Avahi backend on real machines, a fake in tests).
class ServiceBrowser {
public:
    virtual ~ServiceBrowser() = default;
    using OnBrowse = std::function<void(const BrowseEvent&)>;
    using OnResolve = std::function<void(ResolveResult)>;

    // Browses `type` in the default domains; `onEvent` runs on `executor` with the set once
    // browsing runs and with every change of it, with `waiting` while the backend cannot browse
    // (until it reports a set again), or once with `failed` after which this browse reports
    // nothing more.
    virtual std::unique_ptr<DiscoveryHandle> browse(const std::string& type, std::shared_ptr<Executor> executor,
                                                    OnBrowse onEvent) = 0;
    // Looks up where `instance` listens, on its interface only unless that is "". `done` runs
    // once on `executor`; a lookup of a service nobody advertises may never finish.
    virtual std::unique_ptr<DiscoveryHandle> resolve(const ServiceInstance& instance,
                                                     std::shared_ptr<Executor> executor, OnResolve done) = 0;
    // Ends every browse and lookup and what the backend runs for them: once it returns, none of
    // their callbacks runs, and a lookup under way never finishes. Idempotent. It may wait for the
    // executors they report on, so its owner calls it on the main queue, which none of them waits
    // on; a stopped backend is then released without blocking, wherever its last holder is.
    virtual void stop() = 0;
};

// Advertising a service of our own (the simulated tablet's listeners).
class ServicePublisher {
public:
    virtual ~ServicePublisher() = default;
    // Advertises `name` of `type` on `port` on every interface until the handle is destroyed.
    // `onFailure` runs on `executor` if the advertisement is refused (a name conflict).
    virtual std::unique_ptr<DiscoveryHandle> publish(const std::string& name, const std::string& type, uint16_t port,
                                                     std::shared_ptr<Executor> executor,
                                                     std::function<void(std::string)> onFailure) = 0;
};

}  // namespace kelvo
