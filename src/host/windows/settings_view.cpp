#include "host/windows/settings_view.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "core/display/display_configurator.hpp"
#include "core/input/trace_recorder.hpp"
#include "core/session/device_profile_store.hpp"
#include "core/session/session_manager.hpp"
#include "core/settings/settings_store.hpp"
#include "core/transport/pairing_store.hpp"
#include "host/windows/window_style.hpp"

namespace kelvo {

namespace {

QString q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// A row label that also works its toggle when clicked, as a check box's own text would.
class RowLabel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void()> onClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (onClick && event->button() == Qt::LeftButton) onClick();
        QLabel::mouseReleaseEvent(event);
    }
};

// One choice of a picker: whether the settings hold it, and what choosing it does.
struct Choice {
    QString label;
    std::function<bool(const Settings&)> chosen;
    std::function<void()> choose;
};

// Where the traces are written, with the home folder shown as "~".
QString traceFolderText() {
    QString folder = QString::fromStdString(TraceRecorder::standardFolder());
    QString home = QDir::homePath();
    if (!home.isEmpty() && home != "/" && folder.startsWith(home + "/")) folder = "~" + folder.mid(home.size());
    return folder;
}

DisplayConfigurator* configuratorOf(SessionManager& manager, std::unique_ptr<DisplayConfigurator>& holder) {
    if (!holder && manager.environment().displayServices)
        holder = std::make_unique<DisplayConfigurator>(*manager.environment().displayServices);
    return holder.get();
}

}  // namespace

// Builds the rows of one tab's sections and binds each control to its field.
struct SettingsView::Rows {
    SettingsView& view;
    QVBoxLayout* page = nullptr;     // the tab's column of sections
    QVBoxLayout* section = nullptr;  // the current section's rows

    SettingsModel& model() { return *view.model_; }

    void beginTab(const QString& title, const char* icon) {
        auto* content = new QWidget;
        page = new QVBoxLayout(content);
        auto* scroll = new QScrollArea;
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setWidget(content);
        view.tabs_->addTab(scroll, QIcon::fromTheme(icon), title);
        beginSection({});
    }
    void endTab() { page->addStretch(1); }

    void beginSection(const QString& header) {
        auto* box = new QGroupBox(header);
        section = new QVBoxLayout(box);
        page->addWidget(box);
    }

    // A row: the label on the left (wrapping where long), the control on the right.
    QWidget* row(QLabel* label, QWidget* control) {
        auto* line = new QWidget;
        auto* h = new QHBoxLayout(line);
        h->setContentsMargins(0, 2, 0, 2);
        label->setWordWrap(true);
        h->addWidget(label, 1);
        if (control) h->addWidget(control, 0, Qt::AlignRight | Qt::AlignVCenter);
        section->addWidget(line);
        return line;
    }

    void toggle(const QString& text, bool Settings::*field, const char* name) {
        auto* box = new QCheckBox;
        box->setObjectName(name);
        box->setAccessibleName(text);
        auto* label = new RowLabel(text);
        label->onClick = [box] { box->click(); };
        row(label, box);
        QObject::connect(box, &QCheckBox::toggled, box, [m = &model(), field](bool on) {
            m->edit([&](Settings& s) { s.*field = on; });
        });
        view.syncs_.push_back([box, field](const Settings& s) {
            QSignalBlocker b(box);
            box->setChecked(s.*field);
        });
    }

    // A stepper whose label shows the value; its buttons move the exact stored value one step.
    template <class T>
    void stepper(std::function<QString(const Settings&)> text, T Settings::*field, T step, T lo, T hi,
                 const char* name) {
        auto* buttons = new QWidget;
        auto* h = new QHBoxLayout(buttons);
        h->setContentsMargins(0, 0, 0, 0);
        h->setSpacing(2);
        auto* down = new QToolButton;
        down->setText("−");
        down->setObjectName(QString(name) + "Down");
        auto* up = new QToolButton;
        up->setText("+");
        up->setObjectName(QString(name) + "Up");
        h->addWidget(down);
        h->addWidget(up);
        auto* label = new QLabel;
        label->setObjectName(QString(name) + "Label");
        row(label, buttons);
        auto press = [m = &model(), field, step, lo, hi](bool isUp) {
            m->edit([&](Settings& s) { s.*field = stepped<T>(s.*field, step, lo, hi, isUp); });
        };
        QObject::connect(down, &QToolButton::clicked, down, [press] { press(false); });
        QObject::connect(up, &QToolButton::clicked, up, [press] { press(true); });
        view.syncs_.push_back([label, text](const Settings& s) { label->setText(text(s)); });
    }

    // A picker; `choices` is read again by the returned refill (for lists that change, such as
    // the online displays). A value matching no row shows no row chosen and stays as stored.
    std::function<void()> picker(const QString& text, const char* name,
                                 std::function<std::vector<Choice>()> choices, QWidget** rowOut = nullptr) {
        auto* combo = new QComboBox;
        combo->setObjectName(name);
        combo->setAccessibleName(text);
        combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        auto* line = row(new QLabel(text), combo);
        if (rowOut) *rowOut = line;
        auto rows = std::make_shared<std::vector<Choice>>();
        auto show = [combo, rows](const Settings& s) {
            QSignalBlocker b(combo);
            int at = -1;
            for (size_t i = 0; i < rows->size(); ++i) {
                if ((*rows)[i].chosen(s)) {
                    at = static_cast<int>(i);
                    break;
                }
            }
            combo->setCurrentIndex(at);
        };
        auto refill = [m = &model(), combo, rows, choices, show] {
            QSignalBlocker b(combo);
            *rows = choices();
            combo->clear();
            for (const auto& c : *rows) combo->addItem(c.label);
            show(m->settings());
        };
        refill();
        // `activated` comes only from the user, also when the row chosen is the one shown.
        QObject::connect(combo, &QComboBox::activated, combo, [rows](int i) {
            if (i >= 0 && static_cast<size_t>(i) < rows->size()) (*rows)[static_cast<size_t>(i)].choose();
        });
        view.syncs_.push_back(show);
        return refill;
    }

    // Rows that store a fixed value in a field.
    template <class T>
    std::function<std::vector<Choice>()> values(std::vector<std::pair<QString, T>> options, T Settings::*field) {
        return [m = &model(), options, field] {
            std::vector<Choice> out;
            for (const auto& [label, value] : options) {
                out.push_back({label, [field, value](const Settings& s) { return s.*field == value; },
                               [m, field, value] { m->edit([&](Settings& s) { s.*field = value; }); }});
            }
            return out;
        };
    }

    std::function<std::vector<Choice>()> actions(std::string Settings::*field) {
        std::vector<std::pair<QString, std::string>> options;
        for (const auto& a : kGestureActionRows) options.emplace_back(q(a.label), std::string(a.id));
        return values(options, field);
    }

    // A slider over a real field; the label shows the exact stored value, the handle the nearest
    // position. Only a move by the user writes.
    QWidget* slider(std::function<QString(const Settings&)> text, double Settings::*field, SliderScale scale,
                    const char* name) {
        auto* bar = new QSlider(Qt::Horizontal);
        bar->setObjectName(name);
        bar->setRange(0, scale.positions());
        bar->setMinimumWidth(180);
        auto* label = new QLabel;
        label->setObjectName(QString(name) + "Label");
        QWidget* line = row(label, bar);
        QObject::connect(bar, &QSlider::valueChanged, bar, [m = &model(), field, scale](int position) {
            m->edit([&](Settings& s) { s.*field = scale.value(position); });
        });
        view.syncs_.push_back([bar, label, text, field, scale](const Settings& s) {
            QSignalBlocker b(bar);
            bar->setValue(scale.position(s.*field));
            label->setText(text(s));
        });
        return line;
    }

    void textField(const QString& text, std::string Settings::*field, const char* name) {
        auto* edit = new QLineEdit;
        edit->setObjectName(name);
        edit->setMinimumWidth(200);
        row(new QLabel(text), edit);
        QObject::connect(edit, &QLineEdit::textEdited, edit, [m = &model(), field](const QString& now) {
            m->edit([&](Settings& s) { s.*field = now.toStdString(); });
        });
        view.syncs_.push_back([edit, field](const Settings& s) {
            QString value = QString::fromStdString(s.*field);
            if (edit->text() == value) return;
            QSignalBlocker b(edit);
            edit->setText(value);
        });
    }

    // A whole number 0 … 65535 in the user's locale without grouping, taken on Return or when
    // focus leaves; anything else leaves the stored port as it was and shows it again.
    void portField(const QString& text, uint16_t Settings::*field, const char* name) {
        auto* edit = new QLineEdit;
        edit->setObjectName(name);
        edit->setMinimumWidth(120);
        row(new QLabel(text), edit);
        auto shown = [edit, field](const Settings& s) {
            QLocale locale;
            locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
            QSignalBlocker b(edit);
            edit->setText(locale.toString(static_cast<uint>(s.*field)));
        };
        QObject::connect(edit, &QLineEdit::editingFinished, edit, [m = &model(), edit, field, shown] {
            QLocale locale;
            locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
            bool ok = false;
            qlonglong n = locale.toLongLong(edit->text().trimmed(), &ok);
            if (ok && n >= 0 && n <= 65535) m->edit([&](Settings& s) { s.*field = static_cast<uint16_t>(n); });
            shown(m->settings());
        });
        view.syncs_.push_back([edit, shown](const Settings& s) {
            if (!edit->hasFocus()) shown(s);
        });
    }
};

QString SettingsView::title() { return "Kelvo 设置"; }

SettingsView::SettingsView(std::shared_ptr<SessionManager> manager, SettingsStore& store, QWidget* parent)
    : QWidget(parent), manager_(std::move(manager)), model_(std::make_unique<SettingsModel>(store)) {
    setWindowTitle(title());
    resize(kWidth, kHeight);
    setMinimumSize(520, 460);
    auto* outer = new QVBoxLayout(this);
    tabs_ = new QTabWidget;
    outer->addWidget(tabs_);

    Rows r{*this};
    auto configurator = std::make_shared<std::unique_ptr<DisplayConfigurator>>();
    SessionManager* mgr = manager_.get();

    // 1 — general
    r.beginTab("通用", "preferences-system");
    r.toggle("登录时启动", &Settings::launchAtLogin, "launchAtLogin");
    r.toggle("插线自动连接", &Settings::autoConnect, "autoConnect");
    r.stepper<double>([](const Settings& s) { return "断开宽限期：" + q(settings_labels::integerPart(s.graceSeconds)) + " 秒"; },
                      &Settings::graceSeconds, 1, 0, 30, "graceSeconds");
    r.beginSection("无线");
    r.toggle("无线连接：插 USB 时配对，拔线后自动走局域网 Wi\u2011Fi", &Settings::wireless, "wireless");
    auto* pairing = new PairingList(manager_);
    pairing->setObjectName("pairingList");
    r.section->addWidget(pairing);
    r.beginSection("开发直连模式");
    r.toggle("用 TCP 直连代替 USB（调试用，重启后生效）", &Settings::directMode, "directMode");
    r.textField("主机", &Settings::directHost, "directHost");
    r.portField("CTRL 端口", &Settings::directCtrlPort, "directCtrlPort");
    r.portField("VIDEO 端口", &Settings::directVideoPort, "directVideoPort");
    r.endTab();

    // 2 — display
    r.beginTab("显示", "video-display");
    // Does what the status menu's resolution items do, so the tablet's own preset (which
    // overrides the setting) follows the choice instead of silently winning over it.
    auto refillPreset = r.picker("看起来像", "preset", [this, mgr] {
        std::vector<Choice> out;
        for (const auto& c : RawEnumCases<DisplayPreset>::table) {
            DisplayPreset p = c.value;
            out.push_back({q(kelvo::title(p)),
                           [mgr, p](const Settings& s) { return presetInForce(s, mgr->profileStore(), mgr->session().get()) == p; },
                           [this, mgr, p] { model_->choosePreset(p, mgr->profileStore(), mgr->session().get()); }});
        }
        return out;
    });
    r.picker("方向", "orientation",
             r.values<OrientationSetting>({{"横屏", OrientationSetting::landscape},
                                           {"竖屏", OrientationSetting::portrait},
                                           {"自动", OrientationSetting::auto_}},
                                          &Settings::orientation));
    r.picker("帧率上限", "fpsCap", r.values<int64_t>({{"30 fps", 30}, {"45 fps", 45}, {"60 fps", 60}}, &Settings::fpsCap));
    r.stepper<double>([](const Settings& s) { return "码率：" + q(settings_labels::integerPart(s.bitrateMbps)) + " Mbps"; },
                      &Settings::bitrateMbps, 5, 5, 50, "bitrateMbps");
    r.picker("取舍", "qualityPolicy",
             r.values<QualityPolicy>({{"清晰优先", QualityPolicy::clarity}, {"流畅优先", QualityPolicy::smoothness}},
                                     &Settings::qualityPolicy));
    r.picker("光标", "cursorMode",
             r.values<CursorMode>({{"叠加层（省电）", CursorMode::overlay}, {"绘入画面", CursorMode::burnedIn}},
                                  &Settings::cursorMode));
    r.picker("iPad 解码管线", "pipeline",
             r.values<DecodePipeline>({{"VT 解码后入层", DecodePipeline::vt}, {"压缩帧直接入层", DecodePipeline::direct}},
                                      &Settings::pipeline));
    r.toggle("iPad 统计浮层", &Settings::statsOverlay, "statsOverlay");
    r.toggle("iPad 亮度跟随电脑内置屏", &Settings::followBrightness, "followBrightness");
    QWidget* brightnessRow = r.slider([](const Settings& s) { return q(settings_labels::brightness(s.brightnessOffset)); },
                                      &Settings::brightnessOffset, SliderScale{-0.5, 0.5, 0.05}, "brightnessOffset");
    brightnessRow->setObjectName("brightnessOffsetRow");
    r.picker("显示源", "displaySource",
             r.values<DisplaySourceKind>({{"虚拟显示器", DisplaySourceKind::virtual_},
                                          {"指定外接显示器", DisplaySourceKind::external}},
                                         &Settings::displaySource));
    QWidget* externalRow = nullptr;
    auto refillExternal = r.picker(
        "外接显示器", "externalDisplayID",
        [this, mgr, configurator] {
            std::vector<Choice> out;
            DisplayConfigurator* c = configuratorOf(*mgr, *configurator);
            if (!c) return out;
            for (DisplayId id : c->onlineDisplays()) {
                out.push_back({q(c->name(id)) + " (#" + QString::number(id) + ")",
                               [id](const Settings& s) { return s.externalDisplayID == id; },
                               [this, id] { model_->edit([&](Settings& s) { s.externalDisplayID = id; }); }});
            }
            return out;
        },
        &externalRow);
    externalRow->setObjectName("externalDisplayIDRow");
    // The two conditional rows follow their governing fields; the display list is read when the
    // picker appears, so it shows the displays online at that moment.
    syncs_.push_back([brightnessRow, externalRow, refillExternal](const Settings& s) {
        brightnessRow->setVisible(s.followBrightness);
        bool external = s.displaySource == DisplaySourceKind::external;
        if (external && externalRow->isHidden()) refillExternal();
        externalRow->setVisible(external);
    });
    externalRow->setVisible(false);
    r.endTab();

    // 3 — touch
    r.beginTab("触控", "input-touchpad");
    r.picker("长按", "longPressAction", r.actions(&Settings::longPressAction));
    r.stepper<int64_t>([](const Settings& s) { return "长按时长：" + QString::number(s.longPressMs) + " ms"; },
                       &Settings::longPressMs, 50, 300, 1200, "longPressMs");
    r.picker("双指轻点", "twoFingerTapAction", r.actions(&Settings::twoFingerTapAction));
    r.toggle("双指滑动惯性", &Settings::scrollInertia, "scrollInertia");
    r.toggle("滚动方向取反（合成事件被“自然滚动”再翻转时打开）", &Settings::invertScroll, "invertScroll");
    r.picker("捏合", "pinchAction", r.actions(&Settings::pinchAction));
    r.picker("三指滑动", "threeFingerSwipeAction", r.actions(&Settings::threeFingerSwipeAction));
    r.picker("三指轻点", "threeFingerTapAction", r.actions(&Settings::threeFingerTapAction));
    r.toggle("触摸时隐藏指针", &Settings::hideCursorOnTouch, "hideCursorOnTouch");
    r.endTab();

    // 4 — draw
    r.beginTab("画板", "draw-freehand");
    r.picker("压力来源", "pressureSource",
             r.values<PressureSource>({{"速度模拟", PressureSource::velocity},
                                       {"触点半径", PressureSource::radius},
                                       {"固定", PressureSource::constant}},
                                      &Settings::pressureSource));
    QString point = QLocale().decimalPoint();
    r.slider([point](const Settings& s) { return q(settings_labels::pressure("最小压力", s.minPressure, point.toStdString())); },
             &Settings::minPressure, SliderScale{0, 0.5, 0}, "minPressure");
    r.slider([point](const Settings& s) { return q(settings_labels::pressure("最大压力", s.maxPressure, point.toStdString())); },
             &Settings::maxPressure, SliderScale{0.5, 1.0, 0}, "maxPressure");
    r.picker("平滑", "smoothing",
             r.values<SmoothingLevel>({{"关", SmoothingLevel::off},
                                       {"低", SmoothingLevel::low},
                                       {"中", SmoothingLevel::medium},
                                       {"高", SmoothingLevel::high}},
                                      &Settings::smoothing));
    r.stepper<int64_t>([](const Settings& s) { return "落笔延迟：" + QString::number(s.penCommitMs) + " ms"; },
                       &Settings::penCommitMs, 10, 0, 150, "penCommitMs");
    r.stepper<double>([](const Settings& s) { return "防误触阈值：" + q(settings_labels::integerPart(s.palmRadius)) + " pt"; },
                      &Settings::palmRadius, 1, 15, 60, "palmRadius");
    r.picker("数位板事件", "tabletEvents",
             r.values<TabletEventsMode>({{"完整（接近 + 压力）", TabletEventsMode::full},
                                         {"仅压力", TabletEventsMode::pressureOnly}},
                                        &Settings::tabletEvents));
    r.toggle("厂商 ID 伪装成 Wacom", &Settings::spoofWacom, "spoofWacom");
    auto refillMapping = r.picker("映射目标屏幕", "mappingDisplayID", [this, mgr, configurator] {
        std::vector<Choice> out;
        auto chooser = [this](uint32_t id) {
            return [this, id] { model_->edit([&](Settings& s) { s.mappingDisplayID = id; }); };
        };
        out.push_back({"跟随系统主屏", [](const Settings& s) { return s.mappingDisplayID == 0; }, chooser(0)});
        if (DisplayConfigurator* c = configuratorOf(*mgr, *configurator)) {
            for (const auto& d : c->mappingDisplays(0)) {
                uint32_t id = d.id;
                out.push_back({q(d.title), [id](const Settings& s) { return s.mappingDisplayID == id; }, chooser(id)});
            }
        }
        return out;
    });
    r.picker("映射模式区域", "mappingArea",
             r.values<TabletMappingArea>({{"整个屏幕", TabletMappingArea::fullScreen},
                                          {"自定义矩形", TabletMappingArea::custom},
                                          {"跟随前台窗口", TabletMappingArea::frontWindow}},
                                         &Settings::mappingArea));
    r.picker("映射模式下 iPad 显示", "mappingView",
             r.values<TabletMappingView>({{"区域预览", TabletMappingView::preview},
                                          {"纯输入（黑屏省电）", TabletMappingView::inputOnly}},
                                         &Settings::mappingView));
    r.endTab();

    // 5 — sidebar
    r.beginTab("侧边栏", "view-split-left-right");
    r.picker("位置", "sidebarEdge",
             r.values<SidebarEdge>({{"左", SidebarEdge::left}, {"右", SidebarEdge::right}}, &Settings::sidebarEdge));
    r.toggle("自动隐藏", &Settings::sidebarAutoHide, "sidebarAutoHide");
    r.stepper<int64_t>([](const Settings& s) { return "隐藏延迟：" + QString::number(s.sidebarAutoHideMs) + " ms"; },
                       &Settings::sidebarAutoHideMs, 500, 1000, 10000, "sidebarAutoHideMs");
    r.endTab();

    // 6 — diagnostics
    r.beginTab("诊断", "utilities-system-monitor");
    r.picker("iPad 日志级别", "ipadLogLevel",
             r.values<std::string>({{"debug", "debug"}, {"info", "info"}, {"warn", "warn"}, {"error", "error"}},
                                   &Settings::ipadLogLevel));
    r.toggle("录制触控轨迹（" + traceFolderText() + "，下次连接生效）", &Settings::traceRecording, "traceRecording");
    auto* reprobe = new QPushButton("重新探测解码能力");
    reprobe->setObjectName("reprobe");
    connect(reprobe, &QPushButton::clicked, this, [this] { manager_->reprobe(); });
    r.section->addWidget(reprobe, 0, Qt::AlignLeft);
    r.endTab();

    // Lists that depend on the moment are read again when their tab is shown: the displays,
    // and the preset in force for the tablet connected now.
    connect(tabs_, &QTabWidget::currentChanged, this, [refillPreset, refillMapping](int index) {
        if (index == 1) refillPreset();
        if (index == 3) refillMapping();
    });

    model_->onChange = [this] { sync(); };
    sync();
}

SettingsView::~SettingsView() {
    // The controls go first, while the model their handlers edit still exists.
    model_->onChange = nullptr;
    delete tabs_;
}

void SettingsView::sync() {
    const Settings& s = model_->settings();
    for (auto& f : syncs_) f(s);
}

PairingList::PairingList(std::shared_ptr<SessionManager> manager, QWidget* parent)
    : QWidget(parent), manager_(std::move(manager)) {
    rows_ = new QVBoxLayout(this);
    rows_->setContentsMargins(0, 0, 0, 0);
    refresh();
}

void PairingList::showEvent(QShowEvent* event) {
    refresh();
    QWidget::showEvent(event);
}

void PairingList::refresh() {
    while (QLayoutItem* item = rows_->takeAt(0)) {
        if (QWidget* w = item->widget()) w->deleteLater();
        delete item;
    }
    const auto& records = manager_->pairingStore().records();
    if (records.empty()) {
        auto* hint = new QLabel("还没有配对的 iPad。打开无线连接后用 USB 连一次即可自动配对。");
        hint->setObjectName("pairingHint");
        hint->setWordWrap(true);
        style::secondary(hint);
        rows_->addWidget(hint);
    }
    for (const auto& record : records) {
        auto* line = new QWidget;
        line->setObjectName(QString::fromStdString("pairing:" + record.udid));
        auto* h = new QHBoxLayout(line);
        h->setContentsMargins(0, 2, 0, 2);
        auto* text = new QVBoxLayout;
        text->setSpacing(0);
        text->addWidget(new QLabel(QString::fromStdString(record.name)));
        auto* detail = new QLabel(QString::fromStdString(record.service + " · 密钥指纹 " + record.fingerprint()));
        style::caption(detail);
        text->addWidget(detail);
        h->addLayout(text, 1);
        auto* forget = new QPushButton("忘记");
        forget->setObjectName("forget");
        std::string udid = record.udid;
        connect(forget, &QPushButton::clicked, this, [this, udid] {
            manager_->forgetPairing(udid);
            refresh();
        });
        h->addWidget(forget, 0, Qt::AlignVCenter);
        rows_->addWidget(line);
    }
}

}  // namespace kelvo
