#include "host/windows/diagnostics_view.hpp"

#include <QAbstractListModel>
#include <QCheckBox>
#include <QClipboard>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTimer>
#include <QVBoxLayout>
#include <deque>

#include "core/app/diagnostics_model.hpp"
#include "core/session/session_manager.hpp"
#include "core/settings/settings_store.hpp"
#include "core/util/log.hpp"
#include "host/windows/window_style.hpp"

namespace kelvo {

namespace {
constexpr int kOriginRole = Qt::UserRole + 1;
constexpr size_t kStatsRows = 9;
}  // namespace

// The log lines as the list shows them, kept in step with the model's entries row for row.
class DiagnosticsView::LogList : public QAbstractListModel {
public:
    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(lines_.size());
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || static_cast<size_t>(index.row()) >= lines_.size()) return {};
        const Line& l = lines_[static_cast<size_t>(index.row())];
        if (role == Qt::DisplayRole) return l.text;
        if (role == kOriginRole) return l.ipad;
        return {};
    }
    void reset(const std::deque<LogEntry>& entries) {
        beginResetModel();
        lines_.clear();
        for (const auto& e : entries) lines_.push_back(line(e));
        endResetModel();
    }
    void insert(size_t row, const LogEntry& entry) {
        int r = static_cast<int>(row);
        beginInsertRows({}, r, r);
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(row), line(entry));
        endInsertRows();
    }
    void dropFront(size_t count) {
        if (count == 0) return;
        beginRemoveRows({}, 0, static_cast<int>(count) - 1);
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(count));
        endRemoveRows();
    }

private:
    struct Line {
        QString text;
        bool ipad = false;
    };
    static Line line(const LogEntry& e) { return {QString::fromStdString(e.formatted()), e.origin == LogOrigin::ipad}; }
    std::deque<Line> lines_;
};

// "只看 iPad": hides the host's lines without touching the list behind it.
class DiagnosticsView::IPadFilter : public QSortFilterProxyModel {
public:
    void setIPadOnly(bool on) {
        ipadOnly_ = on;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        return !ipadOnly_ || sourceModel()->index(row, 0, parent).data(kOriginRole).toBool();
    }

private:
    bool ipadOnly_ = false;
};

FpsSparkline::FpsSparkline(QWidget* parent) : QWidget(parent) { setFixedHeight(40); }

void FpsSparkline::setValues(std::vector<double> values) {
    values_ = std::move(values);
    update();
}

void FpsSparkline::paintEvent(QPaintEvent*) {
    auto points = DiagnosticsModel::sparkline(values_, width(), height());
    if (points.empty()) return;
    QPainterPath path;
    path.moveTo(points[0].x, points[0].y);
    for (size_t i = 1; i < points.size(); ++i) path.lineTo(points[i].x, points[i].y);
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
    p.drawPath(path);
}

QString DiagnosticsView::title() { return "Kelvo 诊断"; }

DiagnosticsView::DiagnosticsView(std::shared_ptr<SessionManager> manager, StatsStore& stats, LogStore& log,
                                 QWidget* parent)
    : QWidget(parent), manager_(std::move(manager)), log_(log) {
    setWindowTitle(title());
    resize(kWidth, kHeight);
    model_ = DiagnosticsModel::create(manager_->environment().main, stats, log);

    auto* column = new QVBoxLayout(this);
    column->setSpacing(10);

    // Header: the status and the three actions.
    auto* header = new QHBoxLayout;
    status_ = new QLabel;
    status_->setObjectName("status");
    style::headline(status_);
    status_->setWordWrap(true);
    header->addWidget(status_, 1);
    keyframe_ = new QPushButton("强制关键帧");
    reprobe_ = new QPushButton("重新探测");
    auto* copy = new QPushButton("复制日志");
    keyframe_->setObjectName("keyframe");
    reprobe_->setObjectName("reprobe");
    copy->setObjectName("copyLog");
    for (auto* b : {keyframe_, reprobe_, copy}) header->addWidget(b);
    column->addLayout(header);
    connect(keyframe_, &QPushButton::clicked, this, [this] {
        if (const auto& s = manager_->session()) s->requestKeyframe();
    });
    connect(reprobe_, &QPushButton::clicked, this, [this] { manager_->reprobe(); });
    connect(copy, &QPushButton::clicked, this, [this] {
        QClipboard* board = QGuiApplication::clipboard();
        board->clear();
        board->setText(QString::fromStdString(log_.exportText()));
    });

    // Statistics, or the line that says there are none.
    statsBox_ = new QWidget;
    auto* statsColumn = new QVBoxLayout(statsBox_);
    statsColumn->setContentsMargins(0, 0, 0, 0);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(2);
    for (size_t i = 0; i < kStatsRows; ++i) {
        auto* label = new QLabel;
        auto* value = new QLabel;
        style::monospaced(label);
        style::monospaced(value);
        style::secondary(label);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setObjectName(QString("statLabel%1").arg(i));
        value->setObjectName(QString("statValue%1").arg(i));
        grid->addWidget(label, static_cast<int>(i), 0);
        grid->addWidget(value, static_cast<int>(i), 1);
        rows_.emplace_back(label, value);
    }
    grid->setColumnStretch(1, 1);
    statsColumn->addLayout(grid);
    sparkline_ = new FpsSparkline;
    sparkline_->setObjectName("sparkline");
    statsColumn->addWidget(sparkline_);
    column->addWidget(statsBox_);
    noStream_ = new QLabel("没有正在进行的串流");
    noStream_->setObjectName("noStream");
    style::secondary(noStream_);
    column->addWidget(noStream_);

    // Probe results of the current session.
    probeBox_ = new QWidget;
    probeBox_->setObjectName("probeResults");
    probeLines_ = new QVBoxLayout(probeBox_);
    probeLines_->setContentsMargins(0, 0, 0, 0);
    probeLines_->setSpacing(1);
    auto* probeHeading = new QLabel("探测结果");
    style::headline(probeHeading);
    probeLines_->addWidget(probeHeading);
    column->addWidget(probeBox_);

    // The merged log.
    auto* logHeader = new QHBoxLayout;
    auto* logHeading = new QLabel("日志");
    style::headline(logHeading);
    logHeader->addWidget(logHeading);
    ipadOnly_ = new QCheckBox("只看 iPad");
    ipadOnly_->setObjectName("ipadOnly");
    logHeader->addWidget(ipadOnly_);
    logHeader->addStretch(1);
    history_ = new QPushButton("让 iPad 补发历史");
    history_->setObjectName("askHistory");
    logHeader->addWidget(history_);
    column->addLayout(logHeader);
    connect(history_, &QPushButton::clicked, this, [this] {
        if (const auto& s = manager_->session()) s->setIPadLogLevel(manager_->settingsStore().settings().ipadLogLevel, true);
    });

    logList_ = new LogList;
    logList_->setParent(this);
    filter_ = new IPadFilter;
    filter_->setParent(this);
    filter_->setSourceModel(logList_);
    list_ = new QListView;
    list_->setObjectName("log");
    list_->setModel(filter_);
    list_->setUniformItemSizes(true);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    style::monospaced(list_, 1);
    column->addWidget(list_, 1);
    connect(ipadOnly_, &QCheckBox::toggled, this, [this](bool on) {
        model_->showIPadOnly = on;
        filter_->setIPadOnly(on);
    });

    logList_->reset(model_->logs());
    followedId_ = model_->newestLogId();
    model_->onLogInserted = [this](const LogEntry& e, size_t row, size_t dropped) { logInserted(e, row, dropped); };
    model_->onStatsChange = [this] { refresh(); };

    refresh();
    QTimer::singleShot(0, list_, [list = list_] { list->scrollToBottom(); });
    timer_ = new QTimer(this);
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, [this] { refresh(); });
    timer_->start();
}

DiagnosticsView::~DiagnosticsView() {
    model_->onLogInserted = nullptr;
    model_->onStatsChange = nullptr;
}

void DiagnosticsView::logInserted(const LogEntry& entry, size_t row, size_t dropped) {
    logList_->insert(row, entry);
    logList_->dropFront(dropped);
    // Follows the newest entry by its id: once the list is full its length stays the same.
    if (model_->newestLogId() != followedId_) {
        followedId_ = model_->newestLogId();
        list_->scrollToBottom();
    }
}

void DiagnosticsView::refresh() {
    const auto& session = manager_->session();
    status_->setText(QString::fromStdString(manager_->status().description()));
    keyframe_->setEnabled(session != nullptr);
    reprobe_->setEnabled(session != nullptr);
    history_->setEnabled(session != nullptr);

    const auto& latest = model_->latest();
    statsBox_->setVisible(latest.has_value());
    noStream_->setVisible(!latest.has_value());
    if (latest) {
        auto rows = DiagnosticsModel::statisticsRows(*latest);
        for (size_t i = 0; i < rows_.size(); ++i) {
            bool used = i < rows.size();
            rows_[i].first->setVisible(used);
            rows_[i].second->setVisible(used);
            if (!used) continue;
            rows_[i].first->setText(QString::fromStdString(rows[i].first));
            rows_[i].second->setText(QString::fromStdString(rows[i].second));
        }
        sparkline_->setValues(DiagnosticsModel::frameRates(model_->history()));
    }

    // Probe lines after the heading, rebuilt only when they change.
    std::vector<QString> probe;
    if (session) {
        for (const auto& r : session->probeResults()) probe.push_back(QString::fromStdString(r.summary()));
    }
    bool same = static_cast<size_t>(probeLines_->count()) == probe.size() + 1;
    for (size_t i = 0; same && i < probe.size(); ++i) {
        auto* l = qobject_cast<QLabel*>(probeLines_->itemAt(static_cast<int>(i) + 1)->widget());
        same = l && l->text() == probe[i];
    }
    if (!same) {
        while (probeLines_->count() > 1) {
            QLayoutItem* item = probeLines_->takeAt(1);
            delete item->widget();
            delete item;
        }
        for (const auto& text : probe) {
            auto* line = new QLabel(text);
            style::monospaced(line, 1);
            line->setTextInteractionFlags(Qt::TextSelectableByMouse);
            probeLines_->addWidget(line);
        }
    }
    probeBox_->setVisible(!probe.empty());
}

}  // namespace kelvo
