#include "x_desktop.hpp"

#include <QApplication>
#include <QSystemTrayIcon>
#include <stdlib.h>

#include "host_test_support.hpp"

namespace kelvo::test {

XDesktop* XDesktop::get(std::string* whyNot) {
    static std::unique_ptr<XDesktop> desktop;
    static std::string failure;
    static bool tried = false;
    if (!tried) {
        tried = true;
        auto made = std::make_unique<XDesktop>();
        made->server_ = XServer::start(XServer::Want::any, &failure);
        if (made->server_ && !haveProgram("trayer")) failure = "trayer is not installed";
        if (made->server_ && failure.empty()) {
            made->server_->exportEnvironment();
            setenv("QT_QPA_PLATFORM", "xcb", 1);
            made->tray_ = ChildProcess::start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                               "--height", "32", "--SetDockType", "false"},
                                              made->folder_.file("trayer.log"));
            if (!made->tray_) failure = "trayer could not be started";
        }
        if (failure.empty()) {
            qtApplication();
            // The application goes first: its X connection must not see the server vanish.
            desktop = std::move(made);
            atTeardown([] { desktop.reset(); });
            if (!processUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, kPatience))
                failure = "trayer never took the tray: " + readFile(desktop->folder_.file("trayer.log"));
        }
    }
    if (!failure.empty()) {
        if (whyNot) *whyNot = failure;
        return nullptr;
    }
    return desktop.get();
}

}  // namespace kelvo::test
