#include "host/app/window_registry.hpp"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

namespace kelvo {
namespace {

// A window that tells when it closes, so that it is forgotten at once rather than when its
// deferred deletion runs (a request in between must make a new one).
class RegisteredWindow : public QWidget {
public:
    explicit RegisteredWindow(std::function<void(QWidget*)> onClose)
        : QWidget(nullptr, Qt::Window), onClose_(std::move(onClose)) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        QWidget::closeEvent(event);
        if (!event->isAccepted()) return;
        if (auto onClose = std::exchange(onClose_, nullptr)) onClose(this);
        deleteLater();
    }

private:
    std::function<void(QWidget*)> onClose_;
};

}  // namespace

WindowRegistry::~WindowRegistry() {
    auto windows = std::exchange(windows_, {});
    for (auto& [key, window] : windows) delete window.data();
}

QWidget* WindowRegistry::window(const std::string& key) const {
    auto found = windows_.find(key);
    return found == windows_.end() ? nullptr : found->second.data();
}

QWidget* WindowRegistry::show(const std::string& key, const QString& title, QSize size,
                              const std::function<QWidget*()>& makeView) {
    QWidget* window = this->window(key);
    if (!window) {
        window = new RegisteredWindow([this, key](QWidget* closing) {
            auto found = windows_.find(key);
            if (found != windows_.end() && found->second == closing) windows_.erase(found);
        });
        window->setWindowTitle(title);
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(makeView());
        window->resize(size);
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect area = screen->availableGeometry();
            window->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
        }
        windows_[key] = window;
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

}  // namespace kelvo
