#include "core/util/xdg_folders.hpp"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

namespace kelvo {

std::string homeFolder() {
    if (const char* home = getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

std::string xdgBaseFolder(const char* envName, const char* fallbackInHome) {
    if (const char* v = getenv(envName); v && v[0] == '/') return v;
    return homeFolder() + "/" + fallbackInHome;
}

}  // namespace kelvo
