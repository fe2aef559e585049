#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>

namespace kelvo {

struct FileContents {
    enum class Status { ok, missing, failed };
    Status status = Status::missing;
    std::string bytes;    // set when ok
    std::error_code error;  // set when failed (too large: EFBIG)
};

// Reads a whole regular file of at most `maxBytes`. Never throws.
FileContents readWholeFile(const std::string& path, size_t maxBytes);

// Replaces `path` with `bytes` so that a crash leaves either the old or the new file: a temporary
// file beside it (mode 0600) is written and fsynced, renamed over `path`, then the folder is
// fsynced. Missing folders are created with mode 0700. An empty error code on success.
std::error_code writeFileAtomically(const std::string& path, std::string_view bytes);

// Creates `folder` and its missing parents with mode 0700.
std::error_code makeFolders(const std::string& folder);

// fsync of a folder, so that a rename or link in it survives a crash.
std::error_code syncFolder(const std::string& folder);

}  // namespace kelvo
