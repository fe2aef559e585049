#include "testing/fake_session_environment.hpp"

#include <algorithm>

#include "platform/runtime/asio_executor.hpp"

namespace kelvo {

struct FakeFrontApp::State {
    std::optional<std::string> bundleID;
    std::vector<FrontAppObserver*> observers;
};

namespace {

class FakeFrontAppObserver final : public FrontAppObserver {
public:
    explicit FakeFrontAppObserver(std::shared_ptr<FakeFrontApp::State> state) : state_(std::move(state)) {
        state_->observers.push_back(this);
    }
    ~FakeFrontAppObserver() override { std::erase(state_->observers, this); }
    std::optional<std::string> bundleID() const override { return state_->bundleID; }

private:
    std::shared_ptr<FakeFrontApp::State> state_;
};

}  // namespace

FakeFrontApp::FakeFrontApp() : state_(std::make_shared<State>()) {}

void FakeFrontApp::setBundleID(std::optional<std::string> bundleID) { state_->bundleID = std::move(bundleID); }

std::optional<std::string> FakeFrontApp::bundleID() const { return state_->bundleID; }

void FakeFrontApp::activate(std::optional<std::string> bundleID) {
    state_->bundleID = bundleID;
    // An observer may be released by what its callback does: walk a copy, skip the gone.
    const auto observers = state_->observers;
    for (auto* observer : observers) {
        if (std::find(state_->observers.begin(), state_->observers.end(), observer) == state_->observers.end()) continue;
        if (observer->onChange) observer->onChange(bundleID);
    }
}

std::unique_ptr<FrontAppObserver> FakeFrontApp::makeObserver() { return std::make_unique<FakeFrontAppObserver>(state_); }

size_t FakeFrontApp::liveObservers() const { return state_->observers.size(); }

FakeSessionEnvironment::FakeSessionEnvironment(Queues queues) : queues(queues) {
    if (queues == Queues::manual) {
        manual = std::make_shared<ManualExecutor>("main");
        main = manual;
        makeQueue = [manual = manual](const std::string&) -> std::shared_ptr<Executor> { return manual; };
    } else {
        main = AsioExecutor::makeQueue("main");
        makeQueue = [](const std::string& label) -> std::shared_ptr<Executor> { return AsioExecutor::makeQueue(label); };
    }
    displayServer = std::make_shared<SimulatedDisplayServer>();
    mainDisplay = displayServer->addDisplay({{SimulatedDisplayServer::mode(1920, 1080)}, 0, 0, 0, false, std::nullopt});
    broker = std::make_shared<DisplayBroker>(*displayServer, *displayServer, main);
    sessionPower = std::make_shared<FakeSessionPowerSource>();
    displaySleep = std::make_shared<FakeDisplaySleepSource>();
    brightness = std::make_shared<FakeBrightness>();
    power = std::make_shared<PowerObserver>(main, PowerObserver::Sources{sessionPower, displaySleep, brightness});
    permissions = std::make_shared<FakePermissions>();
    sink = std::make_shared<RecordingSink>();
    onMain([this] { power->start(); });
}

FakeSessionEnvironment::~FakeSessionEnvironment() {
    onMain([this] {
        power->stop();
        broker->releaseNow();
    });
}

SessionEnvironment FakeSessionEnvironment::environment() {
    SessionEnvironment env;
    env.main = main;
    env.makeQueue = [this](const std::string& label) {
        queueLabels.push_back(label);
        return makeQueue(label);
    };
    env.displayServices = displayServer;
    env.displays = broker;
    env.power = power;
    env.permissions = permissions;
    env.makeScreenSource = [](const MovableFrameSource::Options&) -> std::shared_ptr<MovableFrameSource> {
        return nullptr;
    };
    env.makeEventSink = [this](const std::shared_ptr<Executor>&) -> std::shared_ptr<EventSink> {
        ++eventSinksMade;
        return sink;
    };
    env.makeFrontAppObserver = [this] { return frontApp.makeObserver(); };
    env.frontWindowBounds = [this] { return frontWindow; };
    env.makeCursorSource = []() -> std::shared_ptr<CursorSource> { return nullptr; };
    // Fixed, not looked up: tests behave alike with and without the package on the machine.
    env.usbmuxdInstalled = [] { return true; };
    // Probes here are encoded under the sanitizers, often beside other suites on one core.
    env.probePatience = 10;
    return env;
}

void FakeSessionEnvironment::onMain(const std::function<void()>& work) {
    if (manual) {
        manual->post(work);
        manual->runUntilIdle();
    } else {
        runSync(*main, work);
    }
}

void FakeSessionEnvironment::run() {
    if (manual) manual->runUntilIdle();
}

void FakeSessionEnvironment::advance(uint64_t us) {
    if (manual) manual->advance(us);
}

}  // namespace kelvo
