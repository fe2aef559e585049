#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/input/front_app_observer.hpp"
#include "core/runtime/executor.hpp"

namespace kelvo {

// Follows the desktop's active window (the window manager's _NET_ACTIVE_WINDOW); the application
// id is the class part of that window's WM_CLASS. Every change of the active window is reported,
// on `main`, also when the application stays the same; changes the server delivers in one burst
// are reported once, with the window active after them. Made, used and destroyed on `main`.
class X11FrontAppObserver final : public FrontAppObserver {
public:
    // Null when the server cannot be reached ("" uses $DISPLAY) or its descriptor cannot be
    // watched. Reads the front application at once.
    static std::unique_ptr<X11FrontAppObserver> open(const std::string& display, std::shared_ptr<Executor> main);
    ~X11FrontAppObserver() override;

    std::optional<std::string> bundleID() const override;

    struct State;
    X11FrontAppObserver(std::shared_ptr<State> state, std::shared_ptr<Executor> main);

private:
    std::shared_ptr<State> state_;
    std::shared_ptr<Executor> main_;
};

// The session's factory: an observer of `display` reporting on `main`, or null.
std::unique_ptr<FrontAppObserver> makeX11FrontAppObserver(const std::string& display, std::shared_ptr<Executor> main);

}  // namespace kelvo
