#pragma once

#include <mutex>
#include <string>

#include "core/settings/user_defaults.hpp"

namespace kelvo {

// One JSON file per key in a folder: "kv.settings" lives in "<folder>/kv.settings.json". Writes
// are atomic (see writeFileAtomically). Keys other than [A-Za-z0-9._-]+ not starting with "." are
// refused. Constructing touches nothing; the folder is made on the first write.
class FileUserDefaults final : public UserDefaults {
public:
    explicit FileUserDefaults(std::string folder);

    // $KELVO_CONFIG_DIR, else $XDG_CONFIG_HOME/kelvo, else ~/.config/kelvo.
    static std::string standardFolder();

    std::optional<std::string> data(std::string_view key) const override;
    bool setData(std::string_view key, std::string_view bytes) override;
    // Keeps the file as "<file>.bad" (replacing an older one), by a hard link where it can.
    bool keepAside(std::string_view key) override;

    const std::string& folder() const { return folder_; }
    // The file that holds `key`; empty for a refused key.
    std::string pathFor(std::string_view key) const;

    // Larger stored values are treated as unreadable.
    static constexpr size_t kMaxValueBytes = 16 * 1024 * 1024;

private:
    std::string folder_;
    mutable std::mutex lock_;  // one file operation at a time, so keepAside and setData never interleave
};

}  // namespace kelvo
