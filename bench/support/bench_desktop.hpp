#pragma once

#include <memory>
#include <string>

#include "bench_support.hpp"
#include "core/display/display_services.hpp"
#include "testing/x_server.hpp"
#include "platform/x11/randr_display_services.hpp"

namespace kelvo::bench {

// A headless Xorg of the benchmark's own (the dummy driver: its screen grows for virtual
// monitors) and its displays. Threads it starts inherit the CPUs of the thread that makes it.
struct BenchDesktop {
    std::unique_ptr<XServer> server;
    std::shared_ptr<RandrDisplayServices> displays;

    // Null, with the reason in `whyNot`, when no such server can be had.
    static std::unique_ptr<BenchDesktop> start(std::string& whyNot);
    // start() on `cpus` (the calling thread stays pinned there); without a server, says why for
    // `program` and exits. Ignores SIGPIPE: benchmarks talk to children over pipes and sockets.
    static std::unique_ptr<BenchDesktop> startOrExit(const char* program, const std::vector<int>& cpus);
    // A virtual monitor of `size` at `fps`; null when the server refuses. Removed when released.
    std::unique_ptr<PlatformVirtualDisplay> addMonitor(FrameSize size, int fps);
    // The server's CPU time so far (ms).
    double serverCpuMs() const { return processCpuMs(server->pid()); }
    // "0,0" → the x11grab input of that point of the screen, ":N+0,0".
    std::string grabInput(const Rect& area) const;
};

}  // namespace kelvo::bench
