#pragma once

#include <memory>
#include <string>

#include "core/transport/service_browser.hpp"

namespace kelvo {

// Service discovery through the Avahi daemon on the system bus (libavahi-client with its own
// poll thread). Requests made before start(), or while the daemon is away, wait for it; browses
// report `waiting` with the reason meanwhile, and a browse that starts reports its (empty) set at
// once. When the daemon goes away, browses report an empty set and `waiting`, pending lookups end
// with an error; browses and advertisements start again once it is back.
//
// Lifecycle: construct (nothing runs) → start() → stop() (joins the poll thread, then drains the
// queues its requests report on; synchronous, idempotent; no callback runs after it returns)
// → destroy. Handles may outlive it. Destroying it unstopped joins the poll thread there: its
// owner stops it on the main queue first, so that no holder's release waits on a pool thread.
class AvahiDiscovery final : public ServiceBrowser, public ServicePublisher {
public:
    AvahiDiscovery();
    ~AvahiDiscovery() override;
    AvahiDiscovery(const AvahiDiscovery&) = delete;
    AvahiDiscovery& operator=(const AvahiDiscovery&) = delete;

    // False (logged) when Avahi cannot run its poll loop at all. Where the system bus cannot be
    // reached yet, requests wait and the client is tried again every 5 s.
    bool start();
    void stop() override;

    std::unique_ptr<DiscoveryHandle> browse(const std::string& type, std::shared_ptr<Executor> executor,
                                            OnBrowse onEvent) override;
    std::unique_ptr<DiscoveryHandle> resolve(const ServiceInstance& instance, std::shared_ptr<Executor> executor,
                                             OnResolve done) override;
    std::unique_ptr<DiscoveryHandle> publish(const std::string& name, const std::string& type, uint16_t port,
                                             std::shared_ptr<Executor> executor,
                                             std::function<void(std::string)> onFailure) override;

    struct Core;

private:
    // Stops the poll thread and kills every request; the queues they report on.
    std::vector<std::shared_ptr<Executor>> halt();
    std::shared_ptr<Core> core_;
};

}  // namespace kelvo
