#include "platform/desktop/login_item.hpp"

#include <cerrno>
#include <cstdio>

#include "core/util/atomic_file.hpp"
#include "core/util/log.hpp"
#include "core/util/xdg_folders.hpp"

namespace kelvo {
namespace {

// Desktop entries quote Exec arguments with double quotes; inside them ", `, $ and \ are
// escaped, and a literal % is doubled (field codes).
std::string quoteExecArgument(const std::string& arg) {
    std::string out = "\"";
    for (char c : arg) {
        if (c == '\\') {
            out += "\\\\\\\\";  // the Exec quoting's escape, each escaped again as a string
        } else if (c == '"' || c == '`' || c == '$') {
            out += "\\\\";
            out += c;
        } else if (c == '%') {
            out += "%%";
        } else if (c == '\n' || c == '\r') {
            out += ' ';  // an entry is line based: a newline would end the key
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

LoginItem::LoginItem(std::string executable) : executable_(std::move(executable)) {}

std::string LoginItem::entryPath() {
    return xdgBaseFolder("XDG_CONFIG_HOME", ".config") + "/autostart/kelvo-host.desktop";
}

std::string LoginItem::entryText() const {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Kelvo Host\n"
           "Exec=" + quoteExecArgument(executable_) + "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::error_code LoginItem::setEnabled(bool enabled) const {
    const std::string path = entryPath();
    if (enabled) return writeFileAtomically(path, entryText());
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) return {errno, std::generic_category()};
    return {};
}

bool LoginItem::isEnabled() const {
    return readWholeFile(entryPath(), 64 * 1024).status == FileContents::Status::ok;
}

void LoginItem::apply(bool enabled) const {
    if (auto error = setEnabled(enabled)) Log::w("app", "login item: " + error.message());
}

}  // namespace kelvo
