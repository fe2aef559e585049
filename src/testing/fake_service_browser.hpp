#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/transport/service_browser.hpp"

namespace kelvo {

// In-memory discovery for tests and the simulated tablet: what is published or added is seen by
// every browse of its type and resolves to the given address. Thread-safe; callbacks are posted
// to the executor each request names.
class FakeServiceBrowser : public ServiceBrowser, public ServicePublisher {
public:
    FakeServiceBrowser();
    ~FakeServiceBrowser() override;

    // Makes `instance` visible and resolvable at `address` (an instance seen again on the same
    // interface replaces the earlier one).
    void add(const ServiceInstance& instance, ServiceAddress address);
    // Withdraws every instance with this name and type, on every interface.
    void remove(const std::string& name, const std::string& type);
    // Every running browse of `type` reports `failed` with `error` and then nothing more.
    void fail(const std::string& type, const std::string& error);
    // Every running browse of `type` reports `waiting` with `error`.
    void wait(const std::string& type, const std::string& error);
    // Browses of `type` started so far, and those still running.
    size_t browsesStarted(const std::string& type) const;
    size_t browsesRunning(const std::string& type) const;

    std::unique_ptr<DiscoveryHandle> browse(const std::string& type, std::shared_ptr<Executor> executor,
                                            OnBrowse onEvent) override;
    std::unique_ptr<DiscoveryHandle> resolve(const ServiceInstance& instance, std::shared_ptr<Executor> executor,
                                             OnResolve done) override;
    // Ends every browse and lookup (what is advertised stays); waits for the queues they report on.
    void stop() override;
    // Visible as `name` on interface "lo" at 127.0.0.1:`port`. Never fails.
    std::unique_ptr<DiscoveryHandle> publish(const std::string& name, const std::string& type, uint16_t port,
                                             std::shared_ptr<Executor> executor,
                                             std::function<void(std::string)> onFailure) override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace kelvo
