#include "core/transport/wireless_browser.hpp"

#include <algorithm>
#include <utility>

#include "core/transport/secure_transport.hpp"
#include "core/util/log.hpp"

namespace kelvo {

namespace {
constexpr std::string_view kTag = "wireless";
}

std::string_view rawValue(WirelessLink link) noexcept {
    switch (link) {
        case WirelessLink::any: return "any";
        case WirelessLink::infrastructure: return "infrastructure";
        case WirelessLink::direct: return "direct";
    }
    return "any";
}

std::optional<WirelessLink> wirelessLinkFromRaw(std::string_view raw) noexcept {
    for (auto link : kAllWirelessLinks)
        if (rawValue(link) == raw) return link;
    return std::nullopt;
}

bool isDirectInterface(std::string_view name) noexcept { return name.starts_with("awdl") || name.starts_with("llw"); }

WirelessBrowser::WirelessBrowser(WirelessLink link, std::shared_ptr<ServiceBrowser> backend,
                                 std::shared_ptr<Executor> mainQueue)
    : link_(link), backend_(std::move(backend)), main_(std::move(mainQueue)) {}

WirelessBrowser::~WirelessBrowser() {
    browse_.reset();
    retry_.reset();
}

void WirelessBrowser::start() {
    if (running_) return;
    running_ = true;
    nextRetryUs_ = kFirstRetryUs;
    browse();
}

void WirelessBrowser::stop() {
    running_ = false;
    browse_.reset();
    if (retry_) retry_->cancel();
    unavailableSaid_ = false;
    if (!results_.empty()) {
        results_.clear();
        if (onChange) onChange();
    }
    setSearching(false);
}

void WirelessBrowser::browse() {
    browseStartUs_ = main_->nowUs();
    std::weak_ptr<bool> token = token_;
    browse_ = backend_->browse(std::string(SecureTransport::ctrlServiceType), main_, [this, token](const BrowseEvent& e) {
        if (token.lock()) handle(e);
    });
}

void WirelessBrowser::handle(const BrowseEvent& event) {
    if (!running_) return;
    switch (event.kind) {
        case BrowseEvent::Kind::results: {
            std::map<std::string, Result> next;
            for (const auto& inst : event.instances) {
                // Restricted to access-point networks, peer-to-peer interfaces are not browsed.
                if (link_ == WirelessLink::infrastructure && isDirectInterface(inst.interfaceName)) continue;
                auto& entry = next[inst.name];
                entry.service = inst.name;
                entry.interfaceNames.push_back(inst.interfaceName);
            }
            if (std::exchange(unavailableSaid_, false)) Log::i(kTag, "browser searching again");
            replace(std::move(next));
            setSearching(true);
            return;
        }
        case BrowseEvent::Kind::waiting:
            // A daemon that stays away would otherwise be reported at each of its retries.
            if (!std::exchange(unavailableSaid_, true)) {
                Log::w(kTag, "browser waiting: " + event.error + "; Wi-Fi search is unavailable until it is back");
            } else {
                Log::d(kTag, "browser still waiting: " + event.error);
            }
            setSearching(false);
            return;
        case BrowseEvent::Kind::failed: {
            // A browse that ran for a good while starts the back-off over; a flapping one does not.
            if (main_->nowUs() - browseStartUs_ >= kMaxRetryUs) nextRetryUs_ = kFirstRetryUs;
            uint64_t delay = nextRetryUs_;
            nextRetryUs_ = std::min(nextRetryUs_ * 2, kMaxRetryUs);
            Log::e(kTag, "browser failed: " + event.error + "; retrying in " + std::to_string(delay / 1'000'000) + " s");
            browse_.reset();
            // The failure said it; the wait of the next browse need not say it again.
            unavailableSaid_ = true;
            setSearching(false);
            // A dead browse cannot tell us when a tablet leaves: nothing it showed is trusted.
            replace({});
            if (!retry_) retry_ = main_->makeTimer();
            std::weak_ptr<bool> token = token_;
            retry_->scheduleOnce(delay, [this, token] {
                if (token.lock() && running_) browse();
            });
            return;
        }
    }
}

void WirelessBrowser::replace(std::map<std::string, Result> next) {
    if (next == results_) return;
    results_ = std::move(next);
    Log::d(kTag, [&] {
        std::string text = "browse: [";
        bool first = true;
        for (const auto& [name, r] : results_) {
            std::string names;
            for (const auto& n : r.interfaceNames) names += (names.empty() ? "" : ",") + n;
            text += std::string(first ? "" : ", ") + "\"" + name + "@" + names + "\"";
            first = false;
        }
        return text + "]";
    });
    if (onChange) onChange();
}

void WirelessBrowser::setSearching(bool searching) {
    if (searching == searching_) return;
    searching_ = searching;
    if (onSearchingChange) onSearchingChange();
}

bool WirelessBrowser::isVisible(const std::string& service) const {
    auto it = results_.find(service);
    if (it == results_.end()) return false;
    const auto& names = it->second.interfaceNames;
    switch (link_) {
        case WirelessLink::any: return true;
        case WirelessLink::infrastructure:
            return std::any_of(names.begin(), names.end(), [](auto& n) { return !isDirectInterface(n); });
        case WirelessLink::direct: return directInterface(service).has_value();
    }
    return false;
}

std::optional<std::string> WirelessBrowser::directInterface(const std::string& service) const {
    auto it = results_.find(service);
    if (it == results_.end()) return std::nullopt;
    for (const auto& n : it->second.interfaceNames)
        if (isDirectInterface(n)) return n;
    return std::nullopt;
}

}  // namespace kelvo
