#include "core/input/trace_recorder.hpp"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <ctime>

#include "core/util/atomic_file.hpp"
#include "core/util/json.hpp"
#include "core/util/xdg_folders.hpp"

namespace kelvo {

namespace {

// A trace of hours of touch input stays well below this; larger files are not traces.
constexpr size_t kMaxTraceBytes = 256 * 1024 * 1024;
// Names tried in one second before giving up.
constexpr int kMaxNameTries = 1000;

std::string timestampName() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &local);
    return std::string("trace-") + buf;
}

double fourDecimals(double v) { return std::round(v * 10000) / 10000; }

// Code points, the nearest to what a user calls characters that needs no segmentation tables.
size_t characterCount(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) ++n;
    }
    return n;
}

std::optional<uint64_t> timestampOf(const Json& v) {
    if (v.is_number_unsigned()) return v.get<uint64_t>();
    if (v.is_number_integer()) {
        const int64_t s = v.get<int64_t>();
        if (s < 0) return std::nullopt;
        return static_cast<uint64_t>(s);
    }
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (!(d >= 0) || d >= 18446744073709551616.0) return std::nullopt;  // also NaN
        return static_cast<uint64_t>(d);
    }
    return std::nullopt;
}

enum class TouchRead { ok, skipTouch, skipLine };

TouchRead readTouch(const Json& t, TouchSample& out) {
    const auto idIt = t.find("id");
    if (idIt == t.end() || !idIt->is_number()) return TouchRead::skipTouch;
    const double id = idIt->get<double>();
    if (id != std::trunc(id)) return TouchRead::skipTouch;
    if (id < 0 || id > 255) return TouchRead::skipLine;
    const auto ph = t.contains("ph") ? jsonAs<int64_t>(t["ph"]) : std::nullopt;
    const auto x = t.contains("x") ? jsonAs<double>(t["x"]) : std::nullopt;
    const auto y = t.contains("y") ? jsonAs<double>(t["y"]) : std::nullopt;
    if (!ph || *ph < 0 || *ph > 4 || !x || !y) return TouchRead::skipTouch;
    const auto r = t.contains("r") ? jsonAs<double>(t["r"]) : std::nullopt;
    out = TouchSample{static_cast<uint8_t>(id), static_cast<TouchPhase>(*ph), 1, {*x, *y}, r.value_or(8.0), 2.0};
    return TouchRead::ok;
}

std::optional<TouchFrame> readFrame(std::string_view line) {
    const auto obj = parseJsonObject(line);
    if (!obj) return std::nullopt;
    const auto tIt = obj->find("t");
    const auto touchesIt = obj->find("touches");
    if (tIt == obj->end() || touchesIt == obj->end() || !touchesIt->is_array()) return std::nullopt;
    const auto t = timestampOf(*tIt);
    if (!t) return std::nullopt;
    TouchFrame frame{*t, {}};
    for (const auto& touch : *touchesIt) {
        if (!touch.is_object()) return std::nullopt;
        TouchSample sample;
        switch (readTouch(touch, sample)) {
            case TouchRead::ok: frame.touches.push_back(sample); break;
            case TouchRead::skipTouch: break;
            case TouchRead::skipLine: return std::nullopt;
        }
    }
    return frame;
}

}  // namespace

std::string TraceRecorder::standardFolder() { return xdgBaseFolder("XDG_STATE_HOME", ".local/state") + "/kelvo"; }

std::unique_ptr<TraceRecorder> TraceRecorder::create(std::optional<std::string> folder) {
    const std::string dir = folder.value_or(standardFolder());
    makeFolders(dir);  // a failure shows at the open below
    const std::string base = dir + "/" + timestampName();
    for (int i = 1; i <= kMaxNameTries; ++i) {
        std::string path = base + (i == 1 ? "" : "-" + std::to_string(i)) + ".jsonl";
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd) return std::unique_ptr<TraceRecorder>(new TraceRecorder(std::move(path), std::move(fd)));
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

void TraceRecorder::record(const TouchFrame& frame) {
    Json touches = Json::array();
    for (const auto& s : frame.touches) {
        touches.push_back(Json{{"id", s.id},
                               {"ph", static_cast<int>(s.phase)},
                               {"x", fourDecimals(s.norm.x)},
                               {"y", fourDecimals(s.norm.y)},
                               {"r", s.radius}});
    }
    if (auto line = encodeJson(Json{{"t", frame.timestampUs}, {"touches", std::move(touches)}})) writeLine(*line);
}

void TraceRecorder::recordText(std::string_view text, uint64_t hostUs) {
    if (auto line = encodeJson(Json{{"t", hostUs}, {"textLength", characterCount(text)}})) writeLine(*line);
}

void TraceRecorder::writeLine(const std::string& line) {
    std::string bytes = line + "\n";
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_.get(), p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::vector<TouchFrame> TraceRecorder::load(const std::string& path) {
    FileContents file = readWholeFile(path, kMaxTraceBytes);
    if (file.status != FileContents::Status::ok) return {};
    return parse(file.bytes);
}

std::vector<TouchFrame> TraceRecorder::parse(std::string_view text) {
    std::vector<TouchFrame> frames;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        if (!line.empty()) {
            if (auto frame = readFrame(line)) frames.push_back(std::move(*frame));
        }
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return frames;
}

}  // namespace kelvo
