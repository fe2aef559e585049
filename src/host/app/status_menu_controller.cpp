#include "host/app/status_menu_controller.hpp"

#include <QCursor>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QTimer>

#include "core/app/settings_model.hpp"
#include "core/display/display_configurator.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/device_session.hpp"
#include "core/session/permissions.hpp"
#include "core/session/session_manager.hpp"
#include "core/settings/settings_store.hpp"
#include "core/util/log.hpp"
#include "core/util/utf8.hpp"
#include "host/app/app_delegate.hpp"

namespace kelvo {
namespace {

QString qt(const std::string& text) { return QString::fromStdString(text); }

constexpr std::pair<InputMode, const char*> kModes[] = {
    {InputMode::touch, "触控"}, {InputMode::draw, "画板"}, {InputMode::tabletMapping, "数位板映射"}};
constexpr std::pair<OrientationSetting, const char*> kOrientations[] = {
    {OrientationSetting::landscape, "横屏"}, {OrientationSetting::portrait, "竖屏"}, {OrientationSetting::auto_, "自动"}};

template <class T>
const T* choiceOf(const QAction* action) {
    auto item = dynamic_cast<const MenuItemAction*>(action);
    return item ? std::get_if<T>(&item->value()) : nullptr;
}

// Checks every item of `submenu` whose choice is a T exactly when it equals `current`.
template <class T>
void checkChoices(QAction* submenuItem, T current) {
    if (!submenuItem || !submenuItem->menu()) return;
    for (QAction* action : submenuItem->menu()->actions()) {
        if (auto value = choiceOf<T>(action)) action->setChecked(*value == current);
    }
}

// Icons are drawn in the desktop's text colour, like the other tray icons beside them, at one
// and two pixels per point; a dimmed icon is drawn at half strength.
QIcon paintIcon(const std::function<void(QPainter&, const QColor&)>& draw, bool dimmed) {
    QColor ink = QGuiApplication::palette().color(QPalette::WindowText);
    QIcon icon;
    for (qreal scale : {1.0, 2.0}) {
        QPixmap pixmap(QSize(qRound(22 * scale), qRound(16 * scale)));
        pixmap.setDevicePixelRatio(scale);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        if (dimmed) painter.setOpacity(0.5);
        draw(painter, ink);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

MenuItemAction::MenuItemAction(const QString& text, MenuChoice value, std::function<void()> block, QObject* parent)
    : QAction(text, parent), value_(std::move(value)) {
    if (block) QObject::connect(this, &QAction::triggered, this, [block = std::move(block)] { block(); });
}

struct StatusMenuController::Current {
    std::shared_ptr<DeviceSession> session;
    HostStatus status;
    Settings settings;
    InputMode mode = InputMode::touch;
    DisplayPreset preset = DisplayPreset::standard;
};

StatusMenuController::StatusMenuController(AppDelegate& app)
    : app_(app), menu_(std::make_unique<QMenu>()), item_(std::make_unique<QSystemTrayIcon>()) {
    QObject::connect(menu_.get(), &QMenu::aboutToShow, menu_.get(), [this] { menuWillOpen(); });
    QObject::connect(menu_.get(), &QMenu::aboutToHide, menu_.get(), [this] { menuDidClose(); });
    item_->setContextMenu(menu_.get());
    // A click opens the menu as well, below the icon: the tray has no other use for it.
    QObject::connect(item_.get(), &QSystemTrayIcon::activated, menu_.get(), [this](QSystemTrayIcon::ActivationReason why) {
        if (why != QSystemTrayIcon::Trigger || menu_->isVisible()) return;
        const QRect icon = item_->geometry();
        menu_->popup(icon.isEmpty() ? QCursor::pos() : QPoint(icon.left(), icon.bottom() + 1));
    });
    updateIcon();
    rebuild();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        Log::w("app", "no system tray on this desktop: the status menu has no icon to open it from");
    item_->show();
}

StatusMenuController::~StatusMenuController() {
    item_->setContextMenu(nullptr);
    item_.reset();
}

void StatusMenuController::refresh() {
    updateIcon();
    if (isMenuOpen_) {
        updateInPlace();
    } else {
        rebuild();
    }
}

void StatusMenuController::menuWillOpen() {
    isMenuOpen_ = true;
    rebuild();
}

void StatusMenuController::menuDidClose() { isMenuOpen_ = false; }

StatusMenuController::Current StatusMenuController::current() const {
    SessionManager& manager = *app_.manager();
    Current c;
    c.session = manager.session();
    c.status = manager.status();
    c.settings = manager.settingsStore().settings();
    c.mode = c.session ? c.session->inputMode() : c.settings.startMode;
    c.preset = presetInForce(c.settings, manager.profileStore(), c.session.get());
    return c;
}

std::string StatusMenuController::missingPermissionsText(bool screenCapture, bool accessibility) {
    std::string text = screenCapture ? "" : "录屏";
    if (!accessibility) text += text.empty() ? "辅助功能" : " / 辅助功能";
    return text;
}

std::string StatusMenuController::missingPermissions() const {
    auto& permissions = app_.manager()->environment().permissions;
    if (!permissions) return missingPermissionsText(false, false);
    return missingPermissionsText(permissions->screenCapture(), permissions->accessibility());
}

void StatusMenuController::updatePermissionWarning() {
    const std::string missing = missingPermissions();
    items_.permissionWarning->setText(qt("⚠️ 缺少权限：" + missing + "（点击查看…）"));
    items_.permissionWarning->setVisible(!missing.empty());
}

void StatusMenuController::updateIcon() {
    const HostStatus status = app_.manager()->status();
    const bool active = status.isConnected();
    const bool granted = missingPermissions().empty();
    item_->setIcon(granted || !active ? glyph(active) : warningGlyph());
    item_->setToolTip(qt("Kelvo · " + status.description()));
}

QIcon StatusMenuController::glyph(bool active) {
    return paintIcon(
        [active](QPainter& painter, const QColor& ink) {
            painter.setPen(QPen(ink, 1.5));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(1.75, 1.75, 12.5, 12.5), 2.5, 2.5);
            const QRectF tablet(15.5, 3.5, 5.5, 9);
            if (active) {
                painter.setPen(Qt::NoPen);
                painter.setBrush(ink);
                painter.drawRoundedRect(tablet, 1.5, 1.5);
            } else {
                painter.setPen(QPen(ink, 1.2));
                painter.drawRoundedRect(tablet.adjusted(0.6, 0.6, -0.6, -0.6), 1.2, 1.2);
            }
        },
        !active);
}

QIcon StatusMenuController::warningGlyph() {
    return paintIcon(
        [](QPainter& painter, const QColor& ink) {
            QPainterPath triangle;
            triangle.moveTo(11, 1.5);
            triangle.lineTo(19.5, 14.5);
            triangle.lineTo(2.5, 14.5);
            triangle.closeSubpath();
            painter.setPen(QPen(ink, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            painter.setBrush(Qt::NoBrush);
            painter.drawPath(triangle);
            painter.drawLine(QPointF(11, 5.8), QPointF(11, 9));
            painter.setPen(Qt::NoPen);
            painter.setBrush(ink);
            painter.drawEllipse(QPointF(11, 11.9), 0.95, 0.95);
        },
        false);
}

std::string StatusMenuController::formatDeviceName(const std::string& name) { return shortenName(name, 19, 11, 5); }

std::pair<std::string, std::string> StatusMenuController::statusDisplayStrings(const HostStatus& status,
                                                                               const DeviceProfileStore* profiles) {
    using S = HostStatus;
    if (auto s = status.as<S::WaitingForApp>()) {
        // Its value is a device key (a serial number) or "direct", no name to show a user.
        std::string name(DeviceSession::kFallbackName);
        if (auto profile = profiles ? profiles->profile(s->name) : std::nullopt; profile && !profile->name.empty()) {
            name = profile->name;
        }
        return {"等待打开应用", "请在 " + formatDeviceName(name) + " 上打开 Kelvo"};
    }
    if (auto s = status.as<S::Connecting>()) return {"正在连接：" + formatDeviceName(s->name) + "…", "建立控制与视频通道"};
    if (auto s = status.as<S::Probing>()) return {"正在连接：" + formatDeviceName(s->name) + "…", "检测硬件解码能力"};
    if (auto s = status.as<S::Connected>())
        return {"已连接：" + formatDeviceName(s->name),
                s->transport + " · " + s->stream + " · " + std::to_string(s->fps) + " fps"};
    if (auto s = status.as<S::Paused>()) return {"已暂停：" + formatDeviceName(s->name), s->reason};
    // Debian starts the daemon when a tablet is plugged in and stops it after the last one leaves.
    if (auto s = status.as<S::UsbmuxUnavailable>())
        return {"usbmuxd 服务不可用",
                s->notInstalled ? "请安装 usbmuxd（apt install usbmuxd）" : "插上 iPad 时自动启动（systemctl status usbmuxd）"};
    if (status.is<S::OtherDeviceConnected>()) return {"未连接", "当前已连接另一台设备"};
    if (status.is<S::NeedsScreenPermission>())
        return {"缺少录屏权限", "X 服务器不让读取屏幕（XWayland、远程 X 连接）"};
    if (status.is<S::SearchingWireless>()) return {"正在查找无线 iPad…", "查找局域网设备"};
    return {"未连接 iPad", "插上数据线或开启无线连接"};
}

// A menu item has one line: the subtitle follows the title.
std::string StatusMenuController::headerText(const std::string& title, const std::string& subtitle) {
    return subtitle.empty() ? title : title + " · " + subtitle;
}

QString StatusMenuController::menuText(const std::string& text) { return qt(text).replace('&', "&&"); }

std::vector<std::string> StatusMenuController::menuItemTitles() const {
    std::vector<std::string> titles;
    for (const QAction* action : menu_->actions()) titles.push_back(action->text().replace("&&", "&").toStdString());
    return titles;
}

std::vector<MappingDisplayInfo> StatusMenuController::mappingDisplays() const {
    SessionManager& manager = *app_.manager();
    const auto& services = manager.environment().displayServices;
    if (!services) return {};
    auto& session = manager.session();
    return DisplayConfigurator(*services).mappingDisplays(session ? session->displayID() : 0);
}

void StatusMenuController::changeSettings(const std::function<void(Settings&)>& body) {
    app_.manager()->settingsStore().update(body);
}

void StatusMenuController::discardLater(QObject* object) {
    // The object may be the item whose action is running right now.
    if (auto action = qobject_cast<QAction*>(object); action && action->menu()) object = action->menu();
    object->deleteLater();
}

QAction* StatusMenuController::makeItem(const QString& text, MenuChoice value, std::function<void()> block,
                                        std::optional<bool> checked) {
    std::function<void()> chosen;
    if (block) {
        // Qt has already flipped a checkable item; what the menu shows is read back from the
        // state the choice left, also where the choice changed nothing.
        chosen = [this, block = std::move(block)] {
            block();
            refreshSoon();
        };
    }
    auto* action = new MenuItemAction(text, std::move(value), std::move(chosen), nullptr);
    if (checked) {
        action->setCheckable(true);
        action->setChecked(*checked);
    }
    return action;
}

QAction* StatusMenuController::addItem(QMenu& into, const QString& text, MenuChoice value, std::function<void()> block,
                                       std::optional<bool> checked) {
    QAction* action = makeItem(text, std::move(value), std::move(block), checked);
    action->setParent(&into);
    into.addAction(action);
    return action;
}

void StatusMenuController::refreshSoon() {
    if (refreshPending_) return;
    refreshPending_ = true;
    QTimer::singleShot(0, menu_.get(), [this] {
        refreshPending_ = false;
        refresh();
    });
}

QAction* StatusMenuController::addSubmenu(QMenu& into, const QString& title, const std::vector<QAction*>& items) {
    auto* submenu = new QMenu(title, &into);
    for (QAction* item : items) {
        item->setParent(submenu);
        submenu->addAction(item);
    }
    return into.addMenu(submenu);
}

void StatusMenuController::fillMappingTargets(QMenu& submenu, const std::vector<MappingDisplayInfo>& displays) {
    auto add = [&](const QString& title, uint32_t id) {
        addItem(submenu, title, id, [this, id] { changeSettings([id](Settings& s) { s.mappingDisplayID = id; }); }, false);
    };
    add("跟随系统主屏", 0);
    for (const auto& display : displays) add(menuText(display.title), display.id);
}

void StatusMenuController::rebuild() {
    for (QAction* action : menu_->actions()) {
        menu_->removeAction(action);
        discardLater(action);
    }
    items_ = {};
    const Current c = current();
    QMenu& menu = *menu_;

    auto [headerTitle, headerSubtitle] = statusDisplayStrings(c.status, &app_.manager()->profileStore());
    items_.statusHeader = addItem(menu, menuText(headerText(headerTitle, headerSubtitle)), {}, nullptr);
    items_.statusHeader->setEnabled(false);

    items_.permissionWarning = addItem(menu, QString(), {}, [this] { app_.showOnboarding(); });
    updatePermissionWarning();
    menu.addSeparator();

    std::vector<QAction*> modes;
    for (auto [mode, text] : kModes) {
        modes.push_back(makeItem(qt(text), mode, [this, mode] {
            SessionManager& manager = *app_.manager();
            if (auto session = manager.session()) {
                session->setInputMode(mode);
            } else if (mode != InputMode::tabletMapping) {  // mapping needs a tablet
                changeSettings([mode](Settings& s) { s.startMode = mode; });
            }
        }, mode == c.mode));
    }
    items_.modeSubmenu = addSubmenu(menu, "模式", modes);

    items_.mappingTargetSubmenu = addSubmenu(menu, "映射目标屏幕", {});
    fillMappingTargets(*items_.mappingTargetSubmenu->menu(), mappingDisplays());
    checkChoices(items_.mappingTargetSubmenu, c.settings.mappingDisplayID);
    items_.mappingTargetSubmenu->setVisible(c.mode == InputMode::tabletMapping);

    std::vector<QAction*> presets;
    std::weak_ptr<DeviceSession> builtWith = c.session;
    for (DisplayPreset preset : allCases<DisplayPreset>()) {
        presets.push_back(makeItem(qt("看起来像 " + title(preset)), preset, [this, preset, builtWith] {
            // The tablet the menu was built for keeps the choice in its profile.
            rememberPresetForTablet(preset, app_.manager()->profileStore(), builtWith.lock().get());
            changeSettings([preset](Settings& s) { s.preset = preset; });
        }, preset == c.preset));
    }
    items_.presetSubmenu = addSubmenu(menu, "分辨率", presets);

    std::vector<QAction*> orientations;
    for (auto [orientation, text] : kOrientations) {
        orientations.push_back(makeItem(qt(text), orientation, [this, orientation] {
            changeSettings([orientation](Settings& s) { s.orientation = orientation; });
        }, orientation == c.settings.orientation));
    }
    items_.orientationSubmenu = addSubmenu(menu, "方向", orientations);

    items_.mirror = addItem(menu, "镜像主屏", {}, [this] { changeSettings([](Settings& s) { s.mirrorMain = !s.mirrorMain; }); },
                            c.settings.mirrorMain);
    items_.wireless = addItem(menu, "无线连接（未插线时走 Wi\u2011Fi）", {},
                              [this] { changeSettings([](Settings& s) { s.wireless = !s.wireless; }); },
                              c.settings.wireless);
    menu.addSeparator();

    items_.pause = addItem(menu, c.session && c.session->isUserPaused() ? "恢复串流" : "暂停串流", {}, [this] {
        if (auto session = app_.manager()->session()) session->setUserPaused(!session->isUserPaused());
    });
    items_.pause->setVisible(c.session != nullptr);
    items_.sessionControl = addItem(menu, c.session ? "断开" : "重新连接", {}, [this] {
        SessionManager& manager = *app_.manager();
        if (manager.session()) {
            manager.disconnect();
        } else {
            manager.reconnect();
        }
    });
    menu.addSeparator();

    addItem(menu, "打开“显示器”设置…", {}, [this] {
        if (auto& permissions = app_.manager()->environment().permissions) permissions->openDisplaySettings();
    });
    addItem(menu, "设置…", {}, [this] { app_.showSettings(); })->setShortcut(QKeySequence("Ctrl+,"));
    addItem(menu, "诊断…", {}, [this] { app_.showDiagnostics(); });
    menu.addSeparator();
    addItem(menu, "退出 Kelvo Host", {}, [this] { app_.quit(); })->setShortcut(QKeySequence("Ctrl+Q"));
}

void StatusMenuController::updateInPlace() {
    const Current c = current();
    if (items_.statusHeader) {
        auto [title, subtitle] = statusDisplayStrings(c.status, &app_.manager()->profileStore());
        items_.statusHeader->setText(menuText(headerText(title, subtitle)));
    }
    if (items_.permissionWarning) updatePermissionWarning();
    checkChoices(items_.modeSubmenu, c.mode);
    if (items_.mappingTargetSubmenu) {
        const bool mapping = c.mode == InputMode::tabletMapping;
        items_.mappingTargetSubmenu->setVisible(mapping);
        if (mapping) {
            QMenu& submenu = *items_.mappingTargetSubmenu->menu();
            const auto displays = mappingDisplays();
            // The shown targets must be these displays, by id and title: a list of the same
            // length can still hold other displays.
            std::vector<std::pair<uint32_t, QString>> shown, wanted{{0, "跟随系统主屏"}};
            for (QAction* action : submenu.actions()) {
                if (auto id = choiceOf<uint32_t>(action)) shown.emplace_back(*id, action->text());
            }
            for (const auto& display : displays) wanted.emplace_back(display.id, menuText(display.title));
            if (shown != wanted) {
                for (QAction* action : submenu.actions()) {
                    submenu.removeAction(action);
                    discardLater(action);
                }
                fillMappingTargets(submenu, displays);
            }
            checkChoices(items_.mappingTargetSubmenu, c.settings.mappingDisplayID);
        }
    }
    checkChoices(items_.presetSubmenu, c.preset);
    checkChoices(items_.orientationSubmenu, c.settings.orientation);
    if (items_.mirror) items_.mirror->setChecked(c.settings.mirrorMain);
    if (items_.wireless) items_.wireless->setChecked(c.settings.wireless);
    if (items_.pause) {
        items_.pause->setVisible(c.session != nullptr);
        if (c.session) items_.pause->setText(c.session->isUserPaused() ? "恢复串流" : "暂停串流");
    }
    if (items_.sessionControl) items_.sessionControl->setText(c.session ? "断开" : "重新连接");
}

}  // namespace kelvo
