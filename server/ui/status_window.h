#pragma once
// The status window that drops down from the tray icon: the setup summary, then one block per
// service (control, input, virtual display, video) with its indicator and status text, the
// pairing code, the operator's buttons, the "Log Video Stats" switch with the pacing graph, and
// "Quit". It reads the services' published state on the Qt thread several times a second (so it
// updates by itself) and posts every action to the main executor.

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>

#include "server/ui/pacing_graph.h"
#include "server/ui/widgets.h"

namespace ferrowin::ui {

class StatusWindow : public QWidget {
 public:
  StatusWindow(ShellServices shell, std::function<void()> quit, QWidget* parent = nullptr);

  /// Reads the published state and updates every line (the timer calls it while visible).
  void refresh();
  /// The window was shown or the application became active: ask the system again and, with the
  /// display readable, let the video server retry its capture.
  void recheckPermissions();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  ShellServices shell_;
  QTimer timer_;
  bool screenRecordingGranted_ = false;
  std::optional<bool> requestedDiagnostics_;

  Indicator* setupIndicator_;
  QLabel* setupComplete_;
  QPushButton* finishSetup_;
  QLabel* setupWarning_;

  Indicator* controlIndicator_;
  QLabel* controlStatus_;
  QLabel* pairingCode_;
  QPushButton* retryBonjour_;

  Indicator* inputIndicator_;
  QLabel* inputStatus_;
  QPushButton* destroyGamepad_;

  Indicator* displayIndicator_;
  QLabel* displayStatus_;
  QPushButton* destroyDisplay_;

  Indicator* videoIndicator_;
  QLabel* videoStatus_;
  QLabel* client_;
  QCheckBox* logVideoStats_;
  PacingGraph* graph_;
};

}  // namespace ferrowin::ui
