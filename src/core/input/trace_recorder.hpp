#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/input/touch_frame.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo {

// Appends every touch frame, and the length of every text input, to a JSON-lines file for
// diagnosing gesture recognition. One object per line, keys sorted:
//   frame: {"t": tablet µs, "touches": [{"id", "ph", "x", "y" (4 decimals), "r"}]}
//   text:  {"t": host µs, "textLength": characters}; the text itself is never written.
// Input queue only. Writing never fails visibly: errors after creation are dropped.
class TraceRecorder {
public:
    // "${XDG_STATE_HOME:-~/.local/state}/kelvo".
    static std::string standardFolder();

    // Creates "trace-yyyyMMdd-HHmmss.jsonl" (local time) in `folder` (default: standardFolder(),
    // made when missing). The file is created exclusively: a name already taken, by an earlier
    // recorder of the same second say, gets "-2", "-3", ... before ".jsonl". Null when no file
    // can be created.
    static std::unique_ptr<TraceRecorder> create(std::optional<std::string> folder = std::nullopt);

    void record(const TouchFrame& frame);
    // `hostUs`: when the text arrived on the host's clock.
    void recordText(std::string_view text, uint64_t hostUs);

    const std::string& path() const { return path_; }

    // The touch frames of a trace file, in file order. Lines that are not frame records (text
    // records, junk, a "t" or touch "id" out of range) are skipped; a touch without a numeric
    // "id", "x", "y" or a known "ph" is skipped; a missing "r" reads as 8 points. An unreadable
    // file gives no frames.
    static std::vector<TouchFrame> load(const std::string& path);
    static std::vector<TouchFrame> parse(std::string_view text);

private:
    TraceRecorder(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
    void writeLine(const std::string& line);

    std::string path_;
    UniqueFd fd_;
};

}  // namespace kelvo
