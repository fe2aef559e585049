#include "core/util/named_thread.hpp"

#include <pthread.h>

#include <cstring>
#include <string>

#include "core/util/log.hpp"

namespace kelvo {

void nameThread(std::thread& thread, const char* name) {
    if (int error = pthread_setname_np(thread.native_handle(), name)) {
        Log::w("runtime", std::string("thread \"") + name + "\" runs unnamed: " + std::strerror(error));
    }
}

}  // namespace kelvo
