#include "core/util/atomic_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/util/unique_fd.hpp"

namespace kelvo {
namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

FileContents readWholeFile(const std::string& path, size_t maxBytes) {
    FileContents out;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return out;
        out.status = FileContents::Status::failed;
        out.error = lastError();
        return out;
    }
    out.status = FileContents::Status::failed;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        out.error = lastError();
        return out;
    }
    if (!S_ISREG(st.st_mode)) {
        out.error = std::make_error_code(std::errc::invalid_argument);
        return out;
    }
    std::string bytes;
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            out.error = lastError();
            return out;
        }
        if (n == 0) break;
        // The size given by fstat is not trusted: the file may grow while it is read.
        if (bytes.size() + static_cast<size_t>(n) > maxBytes) {
            out.error = std::make_error_code(std::errc::file_too_large);
            return out;
        }
        bytes.append(buf, static_cast<size_t>(n));
    }
    out.status = FileContents::Status::ok;
    out.bytes = std::move(bytes);
    return out;
}

std::error_code makeFolders(const std::string& folder) {
    if (folder.empty()) return {};
    for (size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos != folder.size() && folder[pos] != '/') continue;
        std::string part = folder.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return lastError();
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return lastError();
    if (!S_ISDIR(st.st_mode)) return std::make_error_code(std::errc::not_a_directory);
    return {};
}

std::error_code syncFolder(const std::string& folder) {
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return lastError();
    if (::fsync(dir.get()) != 0) return lastError();
    return {};
}

std::error_code writeFileAtomically(const std::string& path, std::string_view bytes) {
    std::string folder = folderOf(path);
    if (auto ec = makeFolders(folder)) return ec;
    std::string temp = path + ".tmp.XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));  // mode 0600
    if (!fd) return lastError();
    std::error_code ec;
    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0) ec = lastError();
    int closed = ::close(fd.release());
    if (!ec && closed != 0) ec = lastError();
    if (!ec && ::rename(temp.c_str(), path.c_str()) != 0) ec = lastError();
    if (ec) {
        ::unlink(temp.c_str());
        return ec;
    }
    return syncFolder(folder);
}

}  // namespace kelvo
