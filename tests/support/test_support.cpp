#include "support/test_support.hpp"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kelvo::test {

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
               const std::function<void()>& meanwhile) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (meanwhile) {
            meanwhile();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return true;
}

bool pumpUntil(MainLoop& loop, const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    return waitUntil(pred, timeout, [&] { loop.runFor(10'000); });
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kelvo-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

LogCapture::LogCapture() {
    id_ = LogStore::shared().addObserver([this](const LogEntry& e) {
        std::lock_guard g(m_);
        entries_.push_back(e);
    });
}

LogCapture::~LogCapture() { LogStore::shared().removeObserver(id_); }

std::vector<LogEntry> LogCapture::entries() const {
    std::lock_guard g(m_);
    return entries_;
}

std::vector<std::string> LogCapture::messages(const std::string& tag) const {
    std::vector<std::string> out;
    for (auto& e : entries())
        if (tag.empty() || e.tag == tag) out.push_back(e.message);
    return out;
}

size_t LogCapture::count(const std::string& fragment, const std::string& tag) const {
    size_t n = 0;
    for (auto& m : messages(tag))
        if (m.find(fragment) != std::string::npos) ++n;
    return n;
}

bool LogCapture::contains(const std::string& fragment, const std::string& tag) const {
    return count(fragment, tag) > 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

}  // namespace kelvo::test
