#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/runtime/executor.hpp"
#include "core/transport/service_browser.hpp"

namespace kelvo {

// The user's choice of Wi-Fi link kind.
enum class WirelessLink { any, infrastructure, direct };
inline constexpr std::array<WirelessLink, 3> kAllWirelessLinks{WirelessLink::any, WirelessLink::infrastructure,
                                                               WirelessLink::direct};
std::string_view rawValue(WirelessLink link) noexcept;  // "any", "infrastructure", "direct"
std::optional<WirelessLink> wirelessLinkFromRaw(std::string_view raw) noexcept;

// Peer-to-peer Wi-Fi interfaces are known by name alone: "awdl…" or "llw…". The names are the
// tablet's own platform's, kept on purpose: a discovery answer may name such an interface.
bool isDirectInterface(std::string_view interfaceName) noexcept;

// Keeps the set of tablets advertising the control service, with the interfaces each was seen
// on, and answers whether one may be used over the chosen link.
//
// Main queue only: construct → start() → stop() (idempotent; start() may follow again) → destroy
// (calls nothing back). When the backend's browse fails, the set is emptied (with onChange) and
// browsing restarts after 1, 2, 4 … up to 30 s (from 1 s again
// after a browse that lasted 30 s). While the backend waits (its daemon is away) the browser is
// not searching; it says so once in the log and searches again when the backend reports results.
class WirelessBrowser {
public:
    struct Result {
        std::string service;
        std::vector<std::string> interfaceNames;  // every interface it was seen on, in order
        friend bool operator==(const Result&, const Result&) = default;
    };

    WirelessBrowser(WirelessLink link, std::shared_ptr<ServiceBrowser> backend, std::shared_ptr<Executor> mainQueue);
    ~WirelessBrowser();
    WirelessBrowser(const WirelessBrowser&) = delete;
    WirelessBrowser& operator=(const WirelessBrowser&) = delete;

    void start();
    // Stops browsing; when services were visible, empties the set and calls onChange.
    void stop();

    WirelessLink link() const { return link_; }
    // The services currently visible, by service name.
    const std::map<std::string, Result>& results() const { return results_; }
    // Whether `service` is visible and may be used over the link.
    bool isVisible(const std::string& service) const;
    // The first peer-to-peer interface `service` was seen on, if any.
    std::optional<std::string> directInterface(const std::string& service) const;
    // Whether a browse is running and the backend has answered it: false before the first
    // answer, while the backend waits or retries after a failure, and when stopped.
    bool searching() const { return searching_; }

    // Called on the main queue after results() changed.
    std::function<void()> onChange;
    // Called on the main queue after searching() changed.
    std::function<void()> onSearchingChange;

    static constexpr uint64_t kFirstRetryUs = 1'000'000;
    static constexpr uint64_t kMaxRetryUs = 30'000'000;

private:
    void browse();
    void handle(const BrowseEvent& event);
    void replace(std::map<std::string, Result> next);
    void setSearching(bool searching);

    WirelessLink link_;
    std::shared_ptr<ServiceBrowser> backend_;
    std::shared_ptr<Executor> main_;
    std::map<std::string, Result> results_;
    std::unique_ptr<DiscoveryHandle> browse_;
    std::unique_ptr<Timer> retry_;
    uint64_t nextRetryUs_ = kFirstRetryUs;
    uint64_t browseStartUs_ = 0;
    bool running_ = false;
    bool searching_ = false;
    bool unavailableSaid_ = false;  // the current wait was logged: later waits are not repeated
    std::shared_ptr<bool> token_ = std::make_shared<bool>(true);  // callbacks check it is still ours
};

}  // namespace kelvo
