#include "host/windows/onboarding_view.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <functional>

#include "core/session/permissions.hpp"
#include "host/windows/step_symbol.hpp"
#include "host/windows/window_style.hpp"

namespace kelvo {

struct OnboardingView::Step {
    StepSymbol* symbol = nullptr;
    QPushButton* button = nullptr;

    void setDone(bool done) {
        symbol->setDone(done);
        if (button) button->setVisible(!done);
    }
};

namespace {

std::unique_ptr<OnboardingView::Step> addStep(QVBoxLayout* column, int number, const QString& title,
                                              const QString& detail, std::function<void()> action) {
    auto step = std::make_unique<OnboardingView::Step>();
    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    step->symbol = new StepSymbol(number);
    step->symbol->setObjectName(QString("step%1Symbol").arg(number));
    row->addWidget(step->symbol, 0, Qt::AlignTop);

    auto* text = new QVBoxLayout;
    text->setSpacing(2);
    auto* titleLabel = new QLabel(title);
    style::headline(titleLabel);
    titleLabel->setWordWrap(true);
    auto* detailLabel = new QLabel(detail);
    style::secondary(detailLabel);
    detailLabel->setWordWrap(true);
    text->addWidget(titleLabel);
    text->addWidget(detailLabel);
    row->addLayout(text, 1);

    if (action) {
        step->button = new QPushButton("重新检查");
        step->button->setObjectName(QString("step%1Button").arg(number));
        QObject::connect(step->button, &QPushButton::clicked, step->button, std::move(action));
        row->addWidget(step->button, 0, Qt::AlignTop);
    }
    column->addLayout(row);
    return step;
}

}  // namespace

QString OnboardingView::title() { return "欢迎使用 Kelvo"; }

OnboardingView::OnboardingView(std::shared_ptr<Permissions> permissions, QWidget* parent)
    : QWidget(parent), permissions_(std::move(permissions)) {
    setWindowTitle(title());
    resize(kWidth, kHeight);
    setMinimumSize(440, 320);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(16);
    auto* heading = new QLabel("把 iPad 变成这台电脑的扩展屏");
    style::title(heading);
    heading->setWordWrap(true);
    column->addWidget(heading);

    // Without a permissions service (no desktop) nothing is granted and there is nothing to ask.
    screen_ = addStep(column, 1, "授予“录屏”权限", "用于采集虚拟显示器的画面。XWayland 或远程 X 连接下无法读取屏幕。", [this] {
        if (permissions_) {
            permissions_->requestScreenCapture();
            permissions_->openScreenCaptureSettings();
        }
        refresh();
    });
    accessibility_ = addStep(column, 2, "授予“辅助功能”权限", "用于把 iPad 上的触摸转成鼠标、滚动和数位板事件。", [this] {
        if (permissions_) permissions_->requestAccessibility();
        refresh();
    });
    addStep(column, 3, "在 iPad 上安装并打开 Kelvo Display", "App 在前台时才能连接。", nullptr);
    addStep(column, 4, "用数据线连接，并在 iPad 上点“信任”", "连接后会自动出现在桌面的显示器设置（和 xrandr）里。", nullptr);

    auto* note = new QLabel("授权后如果仍显示未授权，请退出并重新打开 Kelvo Host。");
    style::caption(note);
    note->setWordWrap(true);
    column->addWidget(note);
    column->addStretch(1);

    refresh();
    timer_ = new QTimer(this);
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, [this] { refresh(); });
    timer_->start();
}

OnboardingView::~OnboardingView() = default;

void OnboardingView::refresh() {
    screen_->setDone(permissions_ && permissions_->screenCapture());
    accessibility_->setDone(permissions_ && permissions_->accessibility());
}

}  // namespace kelvo
