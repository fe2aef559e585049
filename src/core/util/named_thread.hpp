#pragma once

#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "core/util/expected.hpp"

namespace kelvo {

// Gives a started thread its name (at most 15 characters, the kernel's limit) from the thread
// that started it; a refusal is logged and the thread runs on unnamed. A thread that has already
// ended needs no name and is passed over quietly.
void nameThread(std::thread& thread, const char* name);

// Starts `body` on a thread of its own, or says why no thread could be had (a task limit, no
// memory for a stack): a failure of the caller's step, which nothing was started for.
template <class Body>
Expected<std::thread, std::error_code> tryStartThread(Body&& body) {
    try {
        return std::thread(std::forward<Body>(body));
    } catch (const std::system_error& e) {
        return e.code();
    } catch (const std::bad_alloc&) {
        return std::make_error_code(std::errc::not_enough_memory);
    }
}

// tryStartThread() with a thread that bears `name` by the time this returns: named by its
// starter, not by itself, so whoever looks next (the diagnostics, `top -H`, a test) never finds
// it unnamed.
template <class Body>
Expected<std::thread, std::error_code> tryStartNamedThread(const char* name, Body&& body) {
    auto started = tryStartThread(std::forward<Body>(body));
    if (started) nameThread(started.value(), name);
    return started;
}

}  // namespace kelvo
