#include "private_system_bus.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>

namespace kelvo::test {
namespace {

constexpr const char* kPython = "/usr/bin/python3";

}  // namespace

bool PrivateSystemBus::haveDbusmock() {
    std::string cmd = std::string(kPython) + " -c 'import dbusmock' >/dev/null 2>&1";
    return access(kPython, X_OK) == 0 && system(cmd.c_str()) == 0;
}

PrivateSystemBus::PrivateSystemBus() {
    if (!haveProgram("dbus-daemon")) {
        problem_ = "dbus-daemon is not installed (package dbus)";
        return;
    }
    std::string socket = dir_.file("bus");
    writeFile(dir_.file("bus.conf"),
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>system</type>\n"
              "  <listen>unix:path=" + socket + "</listen>\n"
              "  <auth>EXTERNAL</auth>\n"
              "  <policy context=\"default\">\n"
              "    <allow user=\"*\"/>\n"
              "    <allow own=\"*\"/>\n"
              "    <allow send_destination=\"*\"/>\n"
              "    <allow receive_sender=\"*\"/>\n"
              "  </policy>\n"
              "</busconfig>\n");
    auto daemon = ChildProcess::start({"dbus-daemon", "--config-file=" + dir_.file("bus.conf"), "--nofork",
                                       "--nopidfile", "--print-address=1"},
                                      dir_.file("dbus.log"), true);
    if (!daemon) {
        problem_ = "cannot start dbus-daemon";
        return;
    }
    daemon_ = std::move(*daemon);
    // The daemon prints its address once it listens.
    auto address = daemon_.readLine(int(std::chrono::milliseconds(kPatience).count()));
    if (!address) {
        problem_ = "dbus-daemon did not start: " + readFile(dir_.file("dbus.log"));
        return;
    }
    if (const char* old = getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
        hadAddress_ = true;
        savedAddress_ = old;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address->c_str(), 1);
    if (int r = sd_bus_open_system(&client_); r < 0) problem_ = "cannot connect to the test's bus";
}

PrivateSystemBus::~PrivateSystemBus() {
    sd_bus_flush_close_unref(client_);
    mocks_.clear();
    daemon_.terminate();
    if (hadAddress_) setenv("DBUS_SYSTEM_BUS_ADDRESS", savedAddress_.c_str(), 1);
    else unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

::testing::AssertionResult PrivateSystemBus::startMock(const std::vector<std::string>& args,
                                                       const std::string& busName) {
    std::vector<std::string> argv{kPython, "-m", "dbusmock"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string log = dir_.file("mock" + std::to_string(mocks_.size()) + ".log");
    auto mock = ChildProcess::start(argv, log);
    if (!mock) return ::testing::AssertionFailure() << "cannot start dbusmock";
    mocks_.push_back(std::move(*mock));
    // An external process gets ready on its own time: ask the bus until the name is owned.
    auto owned = [&] {
        sd_bus_message* reply = nullptr;
        int yes = 0;
        if (sd_bus_call_method(client_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", busName.c_str()) >= 0) {
            sd_bus_message_read(reply, "b", &yes);
        }
        sd_bus_message_unref(reply);
        return yes != 0;
    };
    if (waitUntil(owned)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << busName << " never appeared: " << readFile(log);
}

}  // namespace kelvo::test
