#pragma once

#include <string>

namespace kelvo {

// The user's home folder: $HOME, else the password database, else "/tmp".
std::string homeFolder();

// An XDG base folder: the variable `envName` when it holds an absolute path (relative ones are
// invalid and ignored), else the home folder joined with `fallbackInHome` (".local/state", ...).
std::string xdgBaseFolder(const char* envName, const char* fallbackInHome);

}  // namespace kelvo
