#include "core/session/device_session.hpp"

#include "core/display/display_configurator.hpp"
#include "core/input/front_app_observer.hpp"

// Placeholder until the handshake lands: the class links while its parts are built.

namespace kelvo {

struct DeviceSession::Private {};

std::shared_ptr<DeviceSession> DeviceSession::create(std::shared_ptr<DeviceConnector> connector, UniqueFd ctrlFD,
                                                     HostOptions options, Stores stores,
                                                     SessionEnvironment environment) {
    return std::make_shared<DeviceSession>(Private{}, std::move(connector), std::move(ctrlFD), std::move(options),
                                           stores, std::move(environment));
}

DeviceSession::DeviceSession(Private, std::shared_ptr<DeviceConnector> connector, UniqueFd, HostOptions options,
                             Stores stores, SessionEnvironment environment)
    : connector_(std::move(connector)),
      options_(std::move(options)),
      settings_(stores.settings),
      profiles_(stores.profiles),
      appProfiles_(stores.appProfiles),
      env_(std::move(environment)) {}

DeviceSession::~DeviceSession() = default;

void DeviceSession::start() {}
void DeviceSession::end(const std::string&, bool, const std::string&, std::optional<double>) {}
void DeviceSession::disconnect(const std::string&) {}
void DeviceSession::handOver(const std::string&) {}
void DeviceSession::pairIfNeeded() {}
void DeviceSession::unpair() {}
void DeviceSession::setUserPaused(bool) {}
void DeviceSession::setIPadLogLevel(const std::string&, bool) {}
void DeviceSession::hostPowerEvent(PowerObserver::Event) {}

}  // namespace kelvo
