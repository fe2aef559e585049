#include "support/thread_start_faults.hpp"

#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace {

std::atomic<bool> armed{false};
std::atomic<int> attempts{0};
std::atomic<int> failed{0};
std::atomic<int> first{0};
std::atomic<int> count{0};
// The routines of the first starts asked for, and whether each was made to fail.
constexpr size_t kKept = 64;
std::array<std::atomic<void*>, kKept> routines{};
std::array<std::atomic<bool>, kKept> madeToFail{};

}  // namespace

// Found before the C library's (and before a sanitizer's, which it then calls on to), also by the
// shared libraries: the executable exports it (see tests/CMakeLists.txt).
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Create next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (!next) std::abort();
    if (armed.load()) {
        const int n = attempts.fetch_add(1) + 1;
        const bool fail = n >= first.load() && n - first.load() < count.load();
        if (size_t(n) <= kKept) {
            routines[size_t(n - 1)] = reinterpret_cast<void*>(start);
            madeToFail[size_t(n - 1)] = fail;
        }
        if (fail) {
            failed.fetch_add(1);
            return EAGAIN;
        }
    }
    return next(thread, attr, start, arg);
}

namespace kelvo::test {

FailingThreadStarts::FailingThreadStarts(int firstFailing, int failing) {
    ::attempts = 0;
    ::failed = 0;
    ::first = firstFailing;
    ::count = failing;
    ::armed = true;
}

FailingThreadStarts::~FailingThreadStarts() { ::armed = false; }

int FailingThreadStarts::attempts() const { return ::attempts.load(); }
int FailingThreadStarts::failed() const { return ::failed.load(); }

std::string FailingThreadStarts::startedIn(int n) const {
    Dl_info info{};
    if (n < 1 || n > std::min(int(kKept), ::attempts.load())) return {};
    if (!dladdr(routines[size_t(n - 1)].load(), &info) || !info.dli_fname) return {};
    return std::filesystem::path(info.dli_fname).filename().string();
}

std::set<std::string> FailingThreadStarts::failedIn() const {
    std::set<std::string> out;
    for (int n = 1; n <= std::min(int(kKept), ::attempts.load()); ++n) {
        if (madeToFail[size_t(n - 1)]) out.insert(startedIn(n));
    }
    return out;
}

}  // namespace kelvo::test
