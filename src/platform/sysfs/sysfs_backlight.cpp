#include "platform/sysfs/sysfs_backlight.hpp"

#include <dirent.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/util/atomic_file.hpp"

namespace kelvo {
namespace {

// Attribute files hold one short line.
constexpr size_t kMaxAttributeBytes = 64;

std::optional<std::string> attribute(const std::string& dir, const char* name) {
    FileContents got = readWholeFile(dir + "/" + name, kMaxAttributeBytes);
    if (got.status != FileContents::Status::ok) return std::nullopt;
    std::string& s = got.bytes;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::optional<uint64_t> number(const std::string& dir, const char* name) {
    auto text = attribute(dir, name);
    if (!text || text->empty()) return std::nullopt;
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return value;
}

int typeRank(const std::optional<std::string>& type) {
    if (type == "firmware") return 0;
    if (type == "platform") return 1;
    if (type == "raw") return 2;
    return 3;
}

}  // namespace

SysfsBacklight::SysfsBacklight(std::string root) : root_(std::move(root)) {}

std::optional<double> SysfsBacklight::read() {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(root_.c_str()), closedir);
    if (!dir) return std::nullopt;
    std::vector<std::pair<int, std::string>> devices;
    while (dirent* e = readdir(dir.get())) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        std::string path = root_ + "/" + name;
        devices.emplace_back(typeRank(attribute(path, "type")), path);
    }
    std::sort(devices.begin(), devices.end());
    for (const auto& [rank, path] : devices) {
        auto max = number(path, "max_brightness");
        if (!max || *max == 0) continue;
        // actual_brightness is what the hardware shows; some drivers only offer brightness.
        auto now = number(path, "actual_brightness");
        if (!now) now = number(path, "brightness");
        if (!now) continue;
        return std::clamp(static_cast<double>(*now) / static_cast<double>(*max), 0.0, 1.0);
    }
    return std::nullopt;
}

}  // namespace kelvo
