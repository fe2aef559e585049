#pragma once

#include <QWidget>
#include <memory>

class QLabel;
class QPushButton;
class QTimer;

namespace kelvo {

class Permissions;

// The first-run window: the two permissions the host needs and the two steps on the tablet. It
// reads both permissions again every second, so a grant made elsewhere shows at once. Main thread.
class OnboardingView : public QWidget {
public:
    static constexpr const char* kKey = "onboarding";
    static constexpr int kWidth = 480;
    static constexpr int kHeight = 360;
    static QString title();

    // `permissions` is read when made and each second until the view is destroyed; null shows
    // neither as granted.
    explicit OnboardingView(std::shared_ptr<Permissions> permissions, QWidget* parent = nullptr);
    ~OnboardingView() override;

    // Reads both permissions now and redraws the two permission steps.
    void refresh();

    struct Step;

private:
    std::shared_ptr<Permissions> permissions_;
    std::unique_ptr<Step> screen_;
    std::unique_ptr<Step> accessibility_;
    QTimer* timer_ = nullptr;
};

}  // namespace kelvo
