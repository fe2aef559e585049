#pragma once

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/display/display_configurator.hpp"
#include "core/session/host_status.hpp"
#include "core/settings/settings.hpp"
#include "core/settings/settings_enums.hpp"

namespace kelvo {

class AppDelegate;
class DeviceProfileStore;

// The choice a menu item stands for; the in-place update reads it back. A display id stands for
// a mapping target (0: the main display).
using MenuChoice = std::variant<std::monostate, InputMode, uint32_t, DisplayPreset, OrientationSetting>;

// A menu item and what choosing it does. The block decides from the state at the time it runs.
class MenuItemAction : public QAction {
public:
    MenuItemAction(const QString& text, MenuChoice value, std::function<void()> block, QObject* parent);
    const MenuChoice& value() const { return value_; }

private:
    MenuChoice value_;
};

// The tray icon and its menu: the host status, the input mode, the mapping target, resolution,
// orientation, mirroring and wireless toggles, pause, disconnect or reconnect, and the windows.
// Reads the manager, its current session, the settings and the device profiles, and writes the
// user's choices back to them. Main queue only.
//
// Without a tray host on the desktop the menu still exists (as the model the smoke test counts)
// and the log says so. Items the menu drops are deleted only once control is back in the event
// loop, so an item's own action may change what the menu shows.
class StatusMenuController {
public:
    // Builds the icon and the menu once; `app` outlives it.
    explicit StatusMenuController(AppDelegate& app);
    ~StatusMenuController();
    StatusMenuController(const StatusMenuController&) = delete;
    StatusMenuController& operator=(const StatusMenuController&) = delete;

    // The icon, then the open menu updated in place (so it neither closes nor jumps) or the
    // closed one rebuilt.
    void refresh();
    void menuWillOpen();
    void menuDidClose();
    void updateIcon();
    void rebuild();
    void updateInPlace();

    // The top-level items' titles as shown, separators ("") and hidden items included.
    std::vector<std::string> menuItemTitles() const;
    bool isMenuOpen() const { return isMenuOpen_; }
    QMenu& menu() { return *menu_; }
    QSystemTrayIcon& item() { return *item_; }

    struct Items {
        QPointer<QAction> statusHeader;
        QPointer<QAction> permissionWarning;
        QPointer<QAction> modeSubmenu;
        QPointer<QAction> mappingTargetSubmenu;
        QPointer<QAction> presetSubmenu;
        QPointer<QAction> orientationSubmenu;
        QPointer<QAction> mirror;
        QPointer<QAction> wireless;
        QPointer<QAction> pause;
        QPointer<QAction> sessionControl;
    };
    // Replaced at every rebuild.
    const Items& items() const { return items_; }

    // Header title and subtitle for a status. A tablet waited for is named from its profile in
    // `profiles` (its status holds a device key, or "direct"), else "iPad".
    static std::pair<std::string, std::string> statusDisplayStrings(const HostStatus& status,
                                                                    const DeviceProfileStore* profiles = nullptr);
    // The header as one line: "title · subtitle", or the title alone without a subtitle.
    static std::string headerText(const std::string& title, const std::string& subtitle);
    // A device name shortened for the header.
    static std::string formatDeviceName(const std::string& name);
    // User text as a menu title: a lone '&' would otherwise mark a shortcut letter and vanish.
    static QString menuText(const std::string& text);
    // "录屏", "辅助功能", or both joined by " / "; empty when nothing is missing.
    static std::string missingPermissionsText(bool screenCapture, bool accessibility);
    // The icon: the computer and, beside it, the tablet, filled while connected.
    static QIcon glyph(bool active);
    // A warning triangle, shown while connected with a permission missing.
    static QIcon warningGlyph();

private:
    struct Current;
    Current current() const;
    std::string missingPermissions() const;
    // The warning line's text, shown only while a permission is missing.
    void updatePermissionWarning();
    QAction* addSubmenu(QMenu& into, const QString& title, const std::vector<QAction*>& items);
    // An item; `checked` makes it a check item.
    QAction* makeItem(const QString& text, MenuChoice value, std::function<void()> block,
                      std::optional<bool> checked = std::nullopt);
    QAction* addItem(QMenu& into, const QString& text, MenuChoice value, std::function<void()> block,
                     std::optional<bool> checked = std::nullopt);
    // A refresh once control is back in the event loop; requests before then are one.
    void refreshSoon();
    std::vector<MappingDisplayInfo> mappingDisplays() const;
    void fillMappingTargets(QMenu& submenu, const std::vector<MappingDisplayInfo>& displays);
    void changeSettings(const std::function<void(Settings&)>& body);
    void discardLater(QObject* object);

    AppDelegate& app_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> item_;
    bool isMenuOpen_ = false;
    bool refreshPending_ = false;
    Items items_;
};

}  // namespace kelvo
