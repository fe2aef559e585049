#include "core/util/named_thread.hpp"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/util/log.hpp"

namespace kelvo {

void nameThread(std::thread& thread, const char* name) {
    const int error = pthread_setname_np(thread.native_handle(), name);
    // ENOENT: the thread has already run its course and left the kernel's list.
    if (error != 0 && error != ENOENT) {
        Log::w("runtime", std::string("thread \"") + name + "\" runs unnamed: " + std::strerror(error));
    }
}

}  // namespace kelvo
