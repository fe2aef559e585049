#pragma once

#include <QWidget>
#include <memory>
#include <utility>
#include <vector>

class QCheckBox;
class QGridLayout;
class QLabel;
class QListView;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace kelvo {

class DiagnosticsModel;
struct LogEntry;
class LogStore;
class SessionManager;
class StatsStore;

// The frame rates of the statistics history as a line; the scale's top is at least 60 fps.
class FpsSparkline : public QWidget {
public:
    explicit FpsSparkline(QWidget* parent = nullptr);
    void setValues(std::vector<double> values);
    const std::vector<double>& values() const { return values_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    std::vector<double> values_;
};

// The diagnostics window: the host status, the live statistics with their sparkline, the
// current session's probe results and the merged log of host and tablet. Reads the manager's
// status and session each time it redraws (on every model change, and each second). Main thread;
// the stores must outlive the view.
class DiagnosticsView : public QWidget {
public:
    static constexpr const char* kKey = "diagnostics";
    static constexpr int kWidth = 720;
    static constexpr int kHeight = 560;
    static QString title();

    DiagnosticsView(std::shared_ptr<SessionManager> manager, StatsStore& stats, LogStore& log,
                    QWidget* parent = nullptr);
    ~DiagnosticsView() override;

    DiagnosticsModel& model() { return *model_; }
    // Re-reads the status, the session and the statistics into the widgets.
    void refresh();

    class LogList;
    class IPadFilter;

private:
    void logInserted(const LogEntry& entry, size_t row, size_t dropped);

    std::shared_ptr<SessionManager> manager_;
    LogStore& log_;
    std::shared_ptr<DiagnosticsModel> model_;
    QLabel* status_ = nullptr;
    QPushButton* keyframe_ = nullptr;
    QPushButton* reprobe_ = nullptr;
    QPushButton* history_ = nullptr;
    QWidget* statsBox_ = nullptr;
    QLabel* noStream_ = nullptr;
    std::vector<std::pair<QLabel*, QLabel*>> rows_;
    FpsSparkline* sparkline_ = nullptr;
    QWidget* probeBox_ = nullptr;
    QVBoxLayout* probeLines_ = nullptr;
    QCheckBox* ipadOnly_ = nullptr;
    QListView* list_ = nullptr;
    LogList* logList_ = nullptr;
    IPadFilter* filter_ = nullptr;
    uint64_t followedId_ = 0;
    QTimer* timer_ = nullptr;
};

}  // namespace kelvo
