#include "server/ui/pacing_graph.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace ferrowin::ui {

namespace {

const QColor kCaptureColor{0x0a, 0x84, 0xff};
const QColor kPtsColor{0x8e, 0x8e, 0x93};
const QColor kSendColor{0x30, 0xd1, 0x58};
const QColor kSkewColor{0xff, 0x9f, 0x0a};
constexpr int kHistory = 120;  // the statistics keep the newest 120 values of each series

}  // namespace

PacingGraph::PacingGraph(QWidget* parent) : QWidget(parent) { setMinimumHeight(170); }

void PacingGraph::setSnapshot(const std::optional<video::VideoStreamStatsSnapshot>& snapshot) {
  if (snapshot == snapshot_) return;
  snapshot_ = snapshot;
  update();
}

QStringList PacingGraph::labels(const video::VideoStreamStatsSnapshot& s) {
  return {QString::asprintf("Cap FPS %.0f", s.captureFps),
          QString::asprintf("Capture %.1f ms", s.avgCaptureIntervalMs),
          QString::asprintf("Send %.1f ms", s.avgLogicalSendIntervalMs),
          QString::asprintf("Skew %+.1f ms", s.avgSkewMs)};
}

void PacingGraph::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QFontMetrics metrics(font());
  const int line = metrics.height();
  QFont bold = font();
  bold.setWeight(QFont::DemiBold);
  painter.setFont(bold);
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(QPoint(0, metrics.ascent()), kTitle);
  painter.setFont(font());
  if (!snapshot_) return;
  const video::VideoStreamStatsSnapshot& s = *snapshot_;

  // The plot: intervals on a scale from 0 to twice the target interval (or the largest value),
  // skew around a zero line in the middle of the same scale.
  // Title above, two lines of labels below.
  const QRectF plot(0, line + 4, width() - 1, height() - 3 * line - 12);
  painter.setPen(QPen(palette().color(QPalette::Mid), 1));
  painter.setBrush(palette().color(QPalette::Base));
  painter.drawRect(plot);
  double top = std::max(1.0, 2 * s.targetIntervalMs);
  for (const auto* series : {&s.captureIntervalMs, &s.ptsDeltaMs, &s.logicalSendIntervalMs})
    for (double value : *series) top = std::max(top, value);
  for (double value : s.skewMs) top = std::max(top, 2 * std::abs(value));
  const double step = plot.width() / (kHistory - 1);
  auto yFor = [&](double value) { return plot.bottom() - value / top * plot.height(); };
  if (s.targetIntervalMs > 0) {
    painter.setPen(QPen(palette().color(QPalette::Mid), 1, Qt::DashLine));
    painter.drawLine(QPointF(plot.left(), yFor(s.targetIntervalMs)),
                     QPointF(plot.right(), yFor(s.targetIntervalMs)));
  }
  auto draw = [&](const std::vector<double>& values, const QColor& color, double offset) {
    if (values.size() < 2) return;
    QPainterPath path;
    // The newest value sits at the right edge.
    const double start = plot.right() - static_cast<double>(values.size() - 1) * step;
    for (size_t i = 0; i < values.size(); ++i) {
      const QPointF point(start + static_cast<double>(i) * step,
                          std::clamp(yFor(values[i] + offset), plot.top(), plot.bottom()));
      if (i == 0)
        path.moveTo(point);
      else
        path.lineTo(point);
    }
    painter.setPen(QPen(color, 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
  };
  draw(s.ptsDeltaMs, kPtsColor, 0);
  draw(s.captureIntervalMs, kCaptureColor, 0);
  draw(s.logicalSendIntervalMs, kSendColor, 0);
  draw(s.skewMs, kSkewColor, top / 2);

  const QStringList texts = labels(s);
  const QColor colors[] = {palette().color(QPalette::WindowText), kCaptureColor, kSendColor,
                           kSkewColor};
  for (int i = 0; i < texts.size(); ++i) {
    painter.setPen(colors[i]);
    const double x = (i % 2) * width() / 2.0;
    const double y = height() - metrics.descent() - 2 - (i < 2 ? line : 0);
    painter.drawText(QPointF(x, y), texts[i]);
  }
}

}  // namespace ferrowin::ui
