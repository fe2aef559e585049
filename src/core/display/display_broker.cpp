#include "core/display/display_broker.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/util/log.hpp"

namespace kelvo {

std::string decimalSeconds(double seconds) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, seconds);
    if (ec != std::errc()) return "0.0";
    std::string s(buf, end);
    if (s.find_first_of(".en") == std::string::npos) s += ".0";
    return s;
}

DisplayBroker::DisplayBroker(DisplayServices& services, VirtualDisplayFactory& factory,
                             std::shared_ptr<Executor> mainQueue)
    : services_(services),
      factory_(factory),
      main_(std::move(mainQueue)),
      configurator_(services),
      releaseWork_(main_->makeTimer()),
      restoreCheck_(main_->makeTimer()) {}

DisplayBroker::~DisplayBroker() {
    releaseWork_->cancel();
    restoreCheck_->cancel();
}

bool DisplayBroker::isHoldingForGrace() const { return releaseWork_->armed(); }

Expected<std::shared_ptr<DisplaySource>, DisplayError> DisplayBroker::acquire(const DeviceIdentity& identity,
                                                                             Orientation orientation,
                                                                             DisplaySourceKind kind,
                                                                             DisplayId externalID, SizeD landscapeMM,
                                                                             std::optional<DisplayPreset> preferred) {
    releaseWork_->cancel();
    bool wantVirtual = kind == DisplaySourceKind::virtual_;
    if (active_ && activeKey_ && *activeKey_ == identity.key && active_->orientation() == orientation &&
        active_->isVirtual() == wantVirtual && (wantVirtual || active_->displayID() == externalID)) {
        Log::i("display", "reusing display " + std::to_string(active_->displayID()));
        return active_;
    }
    releaseNow();

    std::shared_ptr<DisplaySource> source;
    if (wantVirtual) {
        // Modes before the new display exists: the server may change them when it appears.
        auto before = configurator_.snapshotModes({});
        auto made = VirtualDisplaySource::make(factory_, main_, identity, orientation, landscapeMM, preferred,
                                               DisplayModeCatalog::registrationUnit);
        if (!made) return made.error();
        source = std::move(made).value();
        keepOtherDisplays(std::move(before), source->displayID(),
                          std::vector<uint64_t>(kRestoreChecksUs.begin(), kRestoreChecksUs.end()));
    } else {
        auto made = ExternalDisplaySource::make(services_, externalID, orientation);
        if (!made) return made.error();
        source = std::move(made).value();
    }
    active_ = source;
    activeKey_ = identity.key;
    return source;
}

void DisplayBroker::keepOtherDisplays(DisplayModeSnapshot snapshot, DisplayId newDisplay,
                                      std::vector<uint64_t> checksUs) {
    std::sort(checksUs.begin(), checksUs.end());
    scheduleCheck(std::make_shared<DisplayModeSnapshot>(std::move(snapshot)), newDisplay, std::move(checksUs),
                  main_->nowUs());
}

void DisplayBroker::scheduleCheck(std::shared_ptr<DisplayModeSnapshot> snapshot, DisplayId newDisplay,
                                  std::vector<uint64_t> checksUs, uint64_t startedUs) {
    if (checksUs.empty()) return;
    uint64_t dueUs = startedUs + checksUs.front();
    uint64_t now = main_->nowUs();
    uint64_t delay = dueUs > now ? dueUs - now : 0;
    checksUs.erase(checksUs.begin());
    // The timer belongs to the broker: destroying the broker cancels the chain.
    restoreCheck_->scheduleOnce(delay, [this, snapshot, newDisplay, rest = std::move(checksUs), startedUs]() mutable {
        if (!active_ || active_->displayID() != newDisplay) return;
        auto online = services_.onlineDisplays();
        DisplayModeSnapshot others;
        for (const auto& [id, saved] : *snapshot) {
            if (id != newDisplay && std::find(online.begin(), online.end(), id) != online.end()) others[id] = saved;
        }
        configurator_.restoreModes(others);
        scheduleCheck(std::move(snapshot), newDisplay, std::move(rest), startedUs);
    });
}

void DisplayBroker::release(std::chrono::duration<double> after) {
    if (!active_) return;
    releaseWork_->cancel();
    double seconds = after.count();
    seconds = std::isfinite(seconds) ? std::clamp(seconds, 0.0, kMaxGraceSeconds) : 0.0;
    if (seconds > 0) {
        Log::i("display", "keeping display for " + decimalSeconds(seconds) + " s grace period");
        releaseWork_->scheduleOnce(static_cast<uint64_t>(std::llround(seconds * 1e6)), [this] { releaseNow(); });
    } else {
        releaseNow();
    }
}

void DisplayBroker::releaseNow() {
    releaseWork_->cancel();
    if (!active_) return;
    // Dropping the last reference removes a virtual display.
    active_.reset();
    activeKey_.reset();
    if (onReleased) onReleased();
}

}  // namespace kelvo
