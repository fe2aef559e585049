#include "core/display/display_source.hpp"

#include <algorithm>

#include "core/util/fnv.hpp"
#include "core/util/log.hpp"
#include "core/util/utf8.hpp"

namespace kelvo {

std::string prefixCharacters(const std::string& text, size_t count) {
    const std::string valid = decodeUtf8Lossy(text);
    const auto characters = splitCharacters(valid);
    if (characters.size() <= count) return valid;
    return valid.substr(0, static_cast<size_t>(characters[count].data() - valid.data()));
}

std::string VirtualDisplaySource::displayName(const std::string& tabletName) {
    return prefixCharacters("Kelvo \u00B7 " + tabletName, kMaxNameCharacters);
}

struct VirtualDisplaySource::Private {};

VirtualDisplaySource::VirtualDisplaySource(Private, Orientation orientation, std::unique_ptr<VirtualDisplay> display)
    : orientation_(orientation), display_(std::move(display)) {}

VirtualDisplaySource::~VirtualDisplaySource() {
    Log::i("display", "virtual display " + std::to_string(display_->displayID()) + " removed");
}

Expected<std::shared_ptr<VirtualDisplaySource>, DisplayError> VirtualDisplaySource::make(
    VirtualDisplayFactory& factory, std::shared_ptr<Executor> mainQueue, const DeviceIdentity& identity,
    Orientation orientation, SizeD landscapeMM, std::optional<DisplayPreset> preferred, ModeRegistrationUnit unit) {
    if (!VirtualDisplay::isAvailable(factory)) return DisplayError::unavailable();

    VirtualDisplayDescriptor params;
    params.name = displayName(identity.name);
    // Filled once the source exists: a termination before that has nobody to tell.
    auto slot = std::make_shared<std::function<void()>>();
    params.serialNumber = FNV::fnv1a32(identity.key);  // same tablet, same serial, every session
    params.sizeInMillimeters = DisplayModeCatalog::physicalSize(orientation, landscapeMM);
    params.vendorId = kVendorId;
    params.productId = orientation == Orientation::portrait ? kProductIdPortrait : kProductIdLandscape;
    auto maxPixels = DisplayModeCatalog::maxPixels(orientation);
    params.maxPixelsWide = static_cast<uint32_t>(maxPixels.width);
    params.maxPixelsHigh = static_cast<uint32_t>(maxPixels.height);

    params.queue = std::move(mainQueue);
    params.terminationHandler = [slot] {
        if (*slot) (*slot)();
    };
    auto display = VirtualDisplay::create(factory, params);
    if (!display) return DisplayError::createFailed();
    if (!display->applyModeSizes(DisplayModeCatalog::registrationSizes(orientation, preferred, unit), kRefreshHz,
                                 true)) {
        return DisplayError::createFailed();
    }

    auto source = std::make_shared<VirtualDisplaySource>(Private{}, orientation, std::move(display));
    *slot = [weak = std::weak_ptr<VirtualDisplaySource>(source)] {
        Log::w("display", "virtual display terminated by the system");
        auto self = weak.lock();
        if (self && self->onTerminated) self->onTerminated();
    };
    Log::i("display", "virtual display " + std::to_string(source->displayID()) + " created (" +
                          std::string(rawValue(orientation)) + ", " + params.name + ")");
    return source;
}

Expected<std::shared_ptr<ExternalDisplaySource>, DisplayError> ExternalDisplaySource::make(DisplayServices& services,
                                                                                         DisplayId displayID,
                                                                                         Orientation orientation) {
    auto online = services.onlineDisplays();
    if (std::find(online.begin(), online.end(), displayID) == online.end()) return DisplayError::notFound(displayID);
    return std::make_shared<ExternalDisplaySource>(displayID, orientation);
}

}  // namespace kelvo
