#pragma once
// The host's pacing graph: the newest capture intervals, capture pts steps, send intervals and
// send skew of the stream statistics, drawn with QPainter, with the current values as labels.

#include <QWidget>
#include <optional>

#include "server/video/stream_stats.h"

namespace ferrowin::ui {

class PacingGraph : public QWidget {
 public:
  explicit PacingGraph(QWidget* parent = nullptr);
  void setSnapshot(const std::optional<video::VideoStreamStatsSnapshot>& snapshot);
  const std::optional<video::VideoStreamStatsSnapshot>& snapshot() const { return snapshot_; }

  static constexpr const char* kTitle = "Host Pacing (Capture PTS vs Send)";
  /// "Cap FPS 60", "Capture 16.7 ms", "Send 16.7 ms", "Skew +0.1 ms".
  static QStringList labels(const video::VideoStreamStatsSnapshot& snapshot);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::optional<video::VideoStreamStatsSnapshot> snapshot_;
};

}  // namespace ferrowin::ui
