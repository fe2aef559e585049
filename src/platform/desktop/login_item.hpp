#pragma once

#include <string>
#include <system_error>

namespace kelvo {

// Starting the program at login, as desktops do it: an autostart entry in the user's
// configuration folder ($XDG_CONFIG_HOME/autostart, else ~/.config/autostart).
class LoginItem {
public:
    // `executable` is the absolute path the entry starts.
    explicit LoginItem(std::string executable);

    static std::string entryPath();
    // Writes (atomically) or removes the entry; removing a missing one succeeds.
    std::error_code setEnabled(bool enabled) const;
    bool isEnabled() const;
    // setEnabled, logging a failure under "app" as "login item: <reason>"; the setting keeps
    // the user's value either way.
    void apply(bool enabled) const;

    std::string entryText() const;

private:
    std::string executable_;
};

}  // namespace kelvo
