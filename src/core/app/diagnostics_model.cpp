#include "core/app/diagnostics_model.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "core/app/number_text.hpp"

namespace kelvo {

struct DiagnosticsModel::Private {};

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

std::string latencies(const Percentiles& p) { return format("P50 %.1f ms · P95 %.1f ms", p.p50, p.p95); }

}  // namespace

std::shared_ptr<DiagnosticsModel> DiagnosticsModel::create(std::shared_ptr<Executor> main, StatsStore& stats,
                                                           LogStore& log) {
    auto model = std::make_shared<DiagnosticsModel>(Private{}, std::move(main), stats, log);
    std::weak_ptr<DiagnosticsModel> weak = model;
    auto executor = model->main_;
    // Observers first: whatever is stored from here on reaches us, and what the snapshots already
    // hold is told apart by id (log) or simply taken again (statistics).
    model->statsToken_ = stats.addObserver([weak, executor](const LiveStats& s) {
        executor->post([weak, s] {
            if (auto self = weak.lock()) self->statsPushed(s);
        });
    });
    model->logToken_ = log.addObserver([weak, executor](const LogEntry& e) {
        executor->post([weak, e] {
            if (auto self = weak.lock()) self->logAppended(e);
        });
    });
    model->history_ = stats.snapshot();
    if (!model->history_.empty()) model->latest_ = model->history_.back();
    auto entries = log.snapshot();
    if (!entries.empty()) model->snapshotNewestId_ = entries.back().id;
    size_t skip = entries.size() > kLogLimit ? entries.size() - kLogLimit : 0;
    model->logs_.assign(std::make_move_iterator(entries.begin() + static_cast<std::ptrdiff_t>(skip)),
                        std::make_move_iterator(entries.end()));
    return model;
}

DiagnosticsModel::DiagnosticsModel(Private, std::shared_ptr<Executor> main, StatsStore& stats, LogStore& log)
    : main_(std::move(main)), stats_(stats), log_(log) {}

DiagnosticsModel::~DiagnosticsModel() {
    if (statsToken_) stats_.removeObserver(*statsToken_);
    if (logToken_) log_.removeObserver(*logToken_);
}

void DiagnosticsModel::statsPushed(const LiveStats& stats) {
    latest_ = stats;
    history_ = stats_.snapshot();
    if (onStatsChange) onStatsChange();
}

void DiagnosticsModel::logAppended(const LogEntry& entry) {
    if (entry.id <= snapshotNewestId_) return;
    // Appending threads notify outside the store's lock, so ids may arrive out of order: keep id order.
    auto at = std::upper_bound(logs_.begin(), logs_.end(), entry.id,
                               [](uint64_t id, const LogEntry& e) { return id < e.id; });
    if (logs_.size() >= kLogLimit && at == logs_.begin()) return;  // older than all it would be kept with
    size_t row = static_cast<size_t>(at - logs_.begin());
    logs_.insert(at, entry);
    size_t dropped = logs_.size() > kLogLimit ? logs_.size() - kLogLimit : 0;
    logs_.erase(logs_.begin(), logs_.begin() + static_cast<std::ptrdiff_t>(dropped));
    if (onLogInserted) onLogInserted(entry, row, dropped);
}

std::vector<std::pair<std::string, std::string>> DiagnosticsModel::statisticsRows(const LiveStats& s) {
    std::vector<std::pair<std::string, std::string>> rows;
    rows.emplace_back("码流", s.streamSize + "  上限 " + std::to_string(s.fpsCap) + " fps " + s.capReason);
    rows.emplace_back("帧率 / 码率", format("%.0f fps · %.1f Mbps · 在途 %lld · 编码前丢弃 %lld", s.fps, s.kbps / 1000,
                                           static_cast<long long>(s.inFlight),
                                           static_cast<long long>(s.droppedBeforeEncode)));
    rows.emplace_back("编码", latencies(s.encodeMs));
    rows.emplace_back("传输", latencies(s.transferMs));
    rows.emplace_back("解码（iPad）", latencies(s.decodeMs));
    rows.emplace_back("端到端", latencies(s.e2eMs));
    rows.emplace_back("PING", format("往返 %.1f ms · 时钟偏移 %.1f ms", s.rttMs, s.offsetMs));
    if (s.ipad) {
        // The tablet's figures are shown whole; they come from outside, so they are made whole
        // through the bounded, sign-safe path rather than "%.0f".
        const IPadStats& ipad = *s.ipad;
        rows.emplace_back("iPad", "CPU " + wholeNumberText(ipad.cpu.value_or(0) * 100, Rounding::nearestEven) +
                                      "% · 内存 " + wholeNumberText(ipad.memMB.value_or(0), Rounding::nearestEven) +
                                      " MB · 解码错误 " + std::to_string(ipad.decodeErrors.value_or(0)));
    }
    std::string battery = "-";
    if (s.battery) {
        battery = wholeNumberText(*s.battery * 100, Rounding::towardZero) + "%";
        if (s.charging.value_or(false)) battery += " 充电中";
    }
    rows.emplace_back("电量 / 温度", battery + " · " + s.thermal.value_or("-"));
    return rows;
}

std::vector<double> DiagnosticsModel::frameRates(const std::vector<LiveStats>& history) {
    std::vector<double> values;
    values.reserve(history.size());
    for (const auto& s : history) values.push_back(s.fps);
    return values;
}

std::vector<Point> DiagnosticsModel::sparkline(const std::vector<double>& values, double w, double h) {
    std::vector<Point> points;
    if (values.size() < 2) return points;
    double top = std::max(60.0, *std::max_element(values.begin(), values.end()));
    double last = static_cast<double>(values.size() - 1);
    points.reserve(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        points.push_back({w * static_cast<double>(i) / last, (1 - values[i] / top) * h});
    }
    return points;
}

}  // namespace kelvo
