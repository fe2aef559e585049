#pragma once

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "support/test_support.hpp"

namespace kelvo::test {

// A system bus of the test's own: a dbus-daemon with its own configuration in a temporary
// folder; $DBUS_SYSTEM_BUS_ADDRESS points at it while this object lives. Mock services are
// python3-dbusmock run by the system interpreter its package installs for.
class PrivateSystemBus {
public:
    PrivateSystemBus();
    ~PrivateSystemBus();

    // Empty when the bus runs; else why it cannot here (the test skips with it).
    const std::string& problem() const { return problem_; }

    // Starts `python3 -m dbusmock <args>` and waits until `busName` is owned.
    ::testing::AssertionResult startMock(const std::vector<std::string>& args, const std::string& busName);

    // The test's own connection to the bus.
    sd_bus* client() const { return client_; }
    // Whether dbusmock's interpreter and package are there.
    static bool haveDbusmock();

private:
    TempDir dir_;
    std::string problem_;
    std::string savedAddress_;
    bool hadAddress_ = false;
    ChildProcess daemon_;
    std::vector<ChildProcess> mocks_;
    sd_bus* client_ = nullptr;
};

}  // namespace kelvo::test
