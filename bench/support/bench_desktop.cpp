#include "bench_desktop.hpp"

#include <signal.h>

#include <cstdio>
#include <cstdlib>

namespace kelvo::bench {

std::unique_ptr<BenchDesktop> BenchDesktop::start(std::string& whyNot) {
    auto desktop = std::make_unique<BenchDesktop>();
    desktop->server = XServer::start(XServer::Want::any, &whyNot);
    if (!desktop->server || desktop->server->pid() <= 0 || !desktop->server->resizable()) {
        if (desktop->server) whyNot = "an X server whose screen cannot grow";
        return nullptr;
    }
    auto connected = RandrDisplayServices::connect(desktop->server->display());
    if (!connected.ok()) {
        whyNot = connected.error();
        return nullptr;
    }
    desktop->displays = std::move(connected).value();
    return desktop;
}

std::unique_ptr<BenchDesktop> BenchDesktop::startOrExit(const char* program, const std::vector<int>& cpus) {
    signal(SIGPIPE, SIG_IGN);
    if (!pinThread(cpus)) {
        std::fprintf(stderr, "%s: cannot run on CPUs %s\n", program, cpuListText(cpus).c_str());
        std::exit(2);
    }
    std::string whyNot;
    auto desktop = start(whyNot);
    if (!desktop) {
        std::fprintf(stderr, "%s: needs a headless Xorg with the dummy driver of its own: %s\n", program,
                     whyNot.c_str());
        std::exit(1);
    }
    return desktop;
}

std::unique_ptr<PlatformVirtualDisplay> BenchDesktop::addMonitor(FrameSize size, int fps) {
    VirtualDisplayDescriptor descriptor;
    descriptor.name = "bench";
    descriptor.maxPixelsWide = uint32_t(size.width);
    descriptor.maxPixelsHigh = uint32_t(size.height);
    descriptor.sizeInMillimeters = {size.width * 0.1, size.height * 0.1};
    auto monitor = displays->create(descriptor);
    if (!monitor || !monitor->applySettings({false, {{uint32_t(size.width), uint32_t(size.height), double(fps)}}})) {
        return nullptr;
    }
    return monitor;
}

std::string BenchDesktop::grabInput(const Rect& area) const {
    return server->display() + "+" + std::to_string(int(area.x)) + "," + std::to_string(int(area.y));
}

}  // namespace kelvo::bench
