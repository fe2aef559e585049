#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/util/log.hpp"

namespace kelvo::test {

// A fresh folder under $TMPDIR, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Collects the shared log's entries made while it lives (any thread).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<LogEntry> entries() const;
    // Messages of entries with this tag (all tags when empty), in order.
    std::vector<std::string> messages(const std::string& tag = {}) const;
    bool contains(const std::string& fragment, const std::string& tag = {}) const;
    size_t count(const std::string& fragment, const std::string& tag = {}) const;

private:
    mutable std::mutex m_;
    std::vector<LogEntry> entries_;
    Uuid id_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

}  // namespace kelvo::test
