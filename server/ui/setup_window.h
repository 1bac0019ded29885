#pragma once
// The setup window: one row per thing the host needs (name, explanation, state, at most one
// button), the firewall note, and "Get Started", enabled only when setup can finish. Closing it
// quits the host. Like the status window it reads published state on the Qt thread and posts its
// actions to the main executor.

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

#include "server/app/onboarding.h"
#include "server/ui/widgets.h"

namespace ferrowin::ui {

class SetupWindowView : public QWidget {
 public:
  SetupWindowView(ShellServices shell, std::function<void()> quit, QWidget* parent = nullptr);

  void refresh();
  /// The presenter's window: show and hide from the main executor, done on the Qt thread.
  std::shared_ptr<app::SetupWindow> presenterWindow();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Row {
    QLabel* explanation;
    QPushButton* button;  // or none
    QLabel* ok;           // the Wi-Fi row's "OK"
    QProgressBar* busy;   // the gamepad row's
  };
  ShellServices shell_;
  std::function<void()> quit_;
  QTimer timer_;
  std::vector<Row> rows_;
  QPushButton* getStarted_;
};

}  // namespace ferrowin::ui
