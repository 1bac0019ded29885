#pragma once
// Small pieces the shell's windows share: the coloured status indicator, block titles, and the
// bridge from the Qt thread to the host's main executor.

#include <QColor>
#include <QLabel>
#include <QWidget>
#include <functional>
#include <memory>

#include "common/runtime/main_executor.h"
#include "server/app/host_services.h"

namespace ferrowin::ui {

/// What every window gets: the services (read through their published snapshots from the Qt
/// thread) and the main executor, where every action runs.
struct ShellServices {
  common::MainExecutor* main = nullptr;
  std::shared_ptr<app::HostServices> services;

  /// Runs `action` on the main executor, if the services still exist then.
  void post(std::function<void(app::HostServices&)> action) const;
};

inline const QColor kGreen{0x34, 0xc7, 0x59};
inline const QColor kGray{0x8e, 0x8e, 0x93};
inline const QColor kYellow{0xff, 0xcc, 0x00};
inline const QColor kRed{0xff, 0x3b, 0x30};

/// A small filled circle.
class Indicator : public QWidget {
 public:
  explicit Indicator(QWidget* parent = nullptr);
  void setColor(const QColor& color);
  QColor color() const { return color_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor color_ = kGray;
};

/// A label whose text is set only when it changes (the windows refresh several times a second).
void setText(QLabel* label, const QString& text);
/// A block title: subheadline size, semibold.
QLabel* blockTitle(const QString& text, QWidget* parent);

}  // namespace ferrowin::ui
