#pragma once

#include <functional>
#include <memory>

#include "core/util/unique_fd.hpp"

class QSocketNotifier;

namespace kelvo {

// SIGTERM and SIGINT as calls of `onSignal` on the Qt event loop, so that the application ends
// through its normal stop path rather than mid-work. One at a time per process; made and
// destroyed on the loop's thread.
class QuitSignals {
public:
    // What the signals do once this is gone: what they did before, or nothing, for a process
    // whose remaining stop path (teardown after the loop, up to the exit) no signal may cut short.
    enum class Afterwards { restore, ignore };

    explicit QuitSignals(std::function<void(int signal)> onSignal, Afterwards afterwards = Afterwards::restore);
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

private:
    std::function<void(int)> onSignal_;
    Afterwards afterwards_;
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace kelvo
