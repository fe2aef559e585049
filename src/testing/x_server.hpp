#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

namespace kelvo {

// An X server of a test's own: Xorg with the dummy video driver (a real server whose screen
// grows and shrinks with RandR, one 1920×1080 output "DUMMY0"), or Xvfb (fixed 1920×1080 screen)
// where Xorg cannot start. The display number is the server's choice (-displayfd), so tests
// running at the same time never meet. Stopped (and its folder removed) on destruction.
//
// A process that already runs under such a server (see kelvo-with-xserver) finds it in the
// environment: KELVO_X_DISPLAY holds the display (":N") and KELVO_X_SERVER "xorg" or "xvfb";
// start() then attaches to it instead of starting another.
class XServer {
public:
    enum class Kind { xorgDummy, xvfb };
    enum class Want { any, xvfbOnly };

    // Null when no server could be started; `whyNot` then says why (for the skip message).
    static std::unique_ptr<XServer> start(Want want = Want::any, std::string* whyNot = nullptr);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // ":N", for xcb_connect and $DISPLAY.
    const std::string& display() const { return display_; }
    Kind kind() const { return kind_; }
    // Whether the screen can grow and shrink (Xorg dummy), or is fixed (Xvfb).
    bool resizable() const { return kind_ == Kind::xorgDummy; }
    // The server process, for measuring it; -1 when attached.
    pid_t pid() const { return pid_; }
    // Sets KELVO_X_DISPLAY, KELVO_X_SERVER and DISPLAY of this process to this server.
    void exportEnvironment() const;

    XServer(Kind kind, std::string display, pid_t pid, std::string dir);

private:
    Kind kind_;
    std::string display_;
    pid_t pid_ = -1;  // -1 when attached
    std::string dir_;
};

}  // namespace kelvo
