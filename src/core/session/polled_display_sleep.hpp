#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/runtime/executor.hpp"
#include "core/session/power_sources.hpp"

namespace kelvo {

// Display sleep for systems that do not announce it: asks a reader at a fixed interval and
// reports changes. Confined to `queue`.
class PolledDisplaySleep final : public DisplaySleepSource {
public:
    // true: asleep, false: awake, nullopt: cannot tell now (the last known state stays).
    using Reader = std::function<std::optional<bool>()>;
    static constexpr uint64_t kDefaultIntervalUs = 1'000'000;

    PolledDisplaySleep(std::shared_ptr<Executor> queue, Reader reader, uint64_t intervalUs = kDefaultIntervalUs);
    ~PolledDisplaySleep() override;

    bool start(std::function<void(bool asleep)> changed) override;
    bool asleep() const override { return asleep_; }
    void stop() override;

private:
    void poll();

    std::shared_ptr<Executor> queue_;
    Reader reader_;
    uint64_t intervalUs_;
    std::unique_ptr<Timer> timer_;
    std::function<void(bool)> changed_;
    bool asleep_ = false;
};

}  // namespace kelvo
