#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

namespace kelvo {

// Owners for sd-bus objects, and the text of a failed call.
struct SdBusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SdBusPtr = std::unique_ptr<sd_bus, SdBusUnref>;
using SdBusMessagePtr = std::unique_ptr<sd_bus_message, SdBusUnref>;

class SdBusError {
public:
    SdBusError() = default;
    ~SdBusError() { sd_bus_error_free(&error_); }
    SdBusError(const SdBusError&) = delete;
    SdBusError& operator=(const SdBusError&) = delete;

    sd_bus_error* get() { return &error_; }
    // The bus's error message, else the errno text of `r`.
    std::string text(int r) const;

private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

// The system bus, opened with a bound time-out on every call; null (and `error` set) on failure.
SdBusPtr openSystemBus(uint64_t callTimeoutUs, std::string& error);

}  // namespace kelvo
