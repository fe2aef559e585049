#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "core/app/settings_model.hpp"

class QLabel;
class QTabWidget;
class QVBoxLayout;

namespace kelvo {

class SessionManager;
class SettingsStore;

// The paired tablets, each with "忘记". The list is read from the manager's pairing store each
// time it is shown and after each "忘记". Main thread.
class PairingList : public QWidget {
public:
    explicit PairingList(std::shared_ptr<SessionManager> manager, QWidget* parent = nullptr);
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::shared_ptr<SessionManager> manager_;
    QVBoxLayout* rows_ = nullptr;
};

// The settings window: six tabs of controls over a SettingsModel of `store`. Every control edits
// one field through the model; the model's changes (from here or elsewhere) move the controls
// without writing anything back. Controls carry their field's name as object name. Main thread;
// `store` must outlive the view.
class SettingsView : public QWidget {
public:
    static constexpr const char* kKey = "settings";
    static constexpr int kWidth = 560;
    static constexpr int kHeight = 520;
    static QString title();

    SettingsView(std::shared_ptr<SessionManager> manager, SettingsStore& store, QWidget* parent = nullptr);
    ~SettingsView() override;

    SettingsModel& model() { return *model_; }
    QTabWidget* tabs() const { return tabs_; }

    struct Rows;

private:
    void sync();

    std::shared_ptr<SessionManager> manager_;
    std::unique_ptr<SettingsModel> model_;
    QTabWidget* tabs_ = nullptr;
    // Each moves one control (or row) to the model's value, inside a signal blocker.
    std::vector<std::function<void(const Settings&)>> syncs_;
    friend struct Rows;
};

}  // namespace kelvo
