#pragma once

#include <thread>
#include <utility>

namespace kelvo {

// Gives a started thread its name (at most 15 characters, the kernel's limit) from the thread
// that started it; a refusal is logged and the thread runs on unnamed.
void nameThread(std::thread& thread, const char* name);

// Starts `body` on a thread that bears `name` by the time this returns: named by its starter, not
// by itself, so whoever looks next (the diagnostics, `top -H`, a test) never finds it unnamed.
// Throws std::system_error where no thread can be had, as std::thread does.
template <class Body>
std::thread startNamedThread(const char* name, Body&& body) {
    std::thread thread(std::forward<Body>(body));
    nameThread(thread, name);
    return thread;
}

}  // namespace kelvo
