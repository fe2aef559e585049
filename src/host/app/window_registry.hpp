#pragma once

#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <string>

namespace kelvo {

// The application's windows by key: each is made on first use and brought to the front after.
// A closed window is deleted and forgotten, so opening it again makes it anew with a fresh view
// (and view model). Main queue only.
class WindowRegistry {
public:
    WindowRegistry() = default;
    ~WindowRegistry();
    WindowRegistry(const WindowRegistry&) = delete;
    WindowRegistry& operator=(const WindowRegistry&) = delete;

    // Shows the window under `key`, or makes one: titled, `size` for its content, centred on the
    // screen, holding what `makeView` returns (the window takes it).
    QWidget* show(const std::string& key, const QString& title, QSize size, const std::function<QWidget*()>& makeView);
    // The open window under `key`, or null.
    QWidget* window(const std::string& key) const;

private:
    std::map<std::string, QPointer<QWidget>> windows_;
};

}  // namespace kelvo
