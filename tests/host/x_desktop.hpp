#pragma once

#include <memory>
#include <optional>
#include <string>

#include "child_process.hpp"
#include "testing/x_server.hpp"
#include "support/test_support.hpp"

namespace kelvo::test {

// An X server of the test process's own with a tray host (trayer) on it; the process's Qt
// application runs there (DISPLAY and QT_QPA_PLATFORM=xcb are set before it is made). Started
// once per process, before the first test; the application, then the tray, then the server go
// after the last test.
class XDesktop {
public:
    // Null, with the reason in `whyNot`, when no X server or no tray host could be had.
    static XDesktop* get(std::string* whyNot);

    const std::string& display() const { return server_->display(); }
    const std::string& folder() const { return folder_.path(); }

    std::unique_ptr<XServer> server_;
    std::optional<ChildProcess> tray_;
    TempDir folder_;
};

}  // namespace kelvo::test
