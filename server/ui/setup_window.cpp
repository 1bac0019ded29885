#include "server/ui/setup_window.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QMessageBox>
#include <QVBoxLayout>

#include "server/app/setup_rows.h"

namespace ferrowin::ui {

namespace {

class QtSetupWindow final : public app::SetupWindow {
 public:
  explicit QtSetupWindow(SetupWindowView* view) : view_(view) {}
  // Called on the main executor; the widget lives until the shell has stopped that executor.
  void show() override {
    QMetaObject::invokeMethod(view_, [view = view_] {
      view->refresh();
      view->show();
      view->raise();
      view->activateWindow();
    }, Qt::QueuedConnection);
  }
  void hide() override { QMetaObject::invokeMethod(view_, &QWidget::hide, Qt::QueuedConnection); }

 private:
  SetupWindowView* view_;
};

const char* buttonName(app::SetupRowKind kind) {
  switch (kind) {
    case app::SetupRowKind::screenRecording: return "enableScreenRecording";
    case app::SetupRowKind::localNetwork: return "enableLocalNetwork";
    case app::SetupRowKind::accessibility: return "enableAccessibility";
    case app::SetupRowKind::wifi: return "openSettings";
    case app::SetupRowKind::virtualGamepad: break;
  }
  return "";
}

}  // namespace

SetupWindowView::SetupWindowView(ShellServices shell, std::function<void()> quit, QWidget* parent)
    : QWidget(parent, Qt::Window), shell_(std::move(shell)), quit_(std::move(quit)) {
  setObjectName("setupWindow");
  setWindowTitle(app::kSetupWindowTitle);
  setFixedWidth(460);
  setMinimumHeight(640);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 24, 24, 24);
  layout->setSpacing(16);
  auto* title = new QLabel(app::kSetupTitle, this);
  QFont large = title->font();
  large.setPointSizeF(large.pointSizeF() * 1.6);
  large.setWeight(QFont::Bold);
  title->setFont(large);
  layout->addWidget(title);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(12);
  grid->setVerticalSpacing(14);
  grid->setColumnStretch(0, 1);
  const auto initial = app::setupRows(shell_.services->permissions->state(), "");
  for (size_t i = 0; i < initial.size(); ++i) {
    const app::SetupRow& first = initial[i];
    auto* text = new QVBoxLayout;
    auto* name = new QLabel(QString::fromStdString(first.name), this);
    QFont bold = name->font();
    bold.setWeight(QFont::DemiBold);
    name->setFont(bold);
    Row row{};
    row.explanation = new QLabel(this);
    row.explanation->setWordWrap(true);
    row.explanation->setObjectName(QString("explanation%1").arg(i));
    text->addWidget(name);
    text->addWidget(row.explanation);
    grid->addLayout(text, static_cast<int>(i), 0);
    const int r = static_cast<int>(i);
    switch (first.kind) {
      case app::SetupRowKind::virtualGamepad:
        row.busy = new QProgressBar(this);
        row.busy->setObjectName("gamepadProgress");
        row.busy->setRange(0, 0);
        row.busy->setFixedWidth(60);
        grid->addWidget(row.busy, r, 1, Qt::AlignTop);
        break;
      case app::SetupRowKind::wifi:
        row.ok = new QLabel("OK", this);
        row.ok->setObjectName("wifiOk");
        grid->addWidget(row.ok, r, 1, Qt::AlignTop | Qt::AlignHCenter);
        [[fallthrough]];
      default:
        row.button = new QPushButton(this);
        row.button->setObjectName(buttonName(first.kind));
        grid->addWidget(row.button, r, 1, Qt::AlignTop);
    }
    if (row.button) {
      connect(row.button, &QPushButton::clicked, this, [this, kind = first.kind] {
        switch (kind) {
          case app::SetupRowKind::screenRecording:
            return shell_.post([](app::HostServices& s) { s.permissions->requestScreenRecording(); });
          case app::SetupRowKind::localNetwork:
            return shell_.post([](app::HostServices& s) { s.permissions->retryLocalNetwork(); });
          case app::SetupRowKind::accessibility:
            return shell_.post([](app::HostServices& s) {
              s.permissions->refresh();
              s.permissions->startHIDProbe(true, false);
            });
          case app::SetupRowKind::wifi: {
            // No settings pane to open: show the command that turns power saving off.
            const auto command = shell_.services->permissions->powerSavingFixCommand();
            QMessageBox::information(this, "Wi‑Fi Power Saving",
                                     "Turn Wi‑Fi power saving off with:\n\n" +
                                         QString::fromStdString(command));
            return;
          }
          case app::SetupRowKind::virtualGamepad: return;
        }
      });
    }
    rows_.push_back(row);
  }
  layout->addLayout(grid);
  auto* note = new QLabel(app::kSetupNote, this);
  note->setWordWrap(true);
  layout->addWidget(note);
  layout->addStretch(1);
  getStarted_ = new QPushButton("Get Started", this);
  getStarted_->setObjectName("getStarted");
  getStarted_->setDefault(true);
  layout->addWidget(getStarted_, 0, Qt::AlignRight);
  connect(getStarted_, &QPushButton::clicked, this,
          [this] { shell_.post([](app::HostServices& s) { s.onboarding->getStarted(); }); });

  connect(&timer_, &QTimer::timeout, this, [this] {
    if (isVisible()) refresh();
  });
  timer_.start(250);
  refresh();
}

std::shared_ptr<app::SetupWindow> SetupWindowView::presenterWindow() {
  return std::make_shared<QtSetupWindow>(this);
}

void SetupWindowView::refresh() {
  const app::PermissionState state = shell_.services->permissions->state();
  const auto rows = app::setupRows(state, "");
  for (size_t i = 0; i < rows.size(); ++i) {
    const app::SetupRow& shown = rows[i];
    Row& row = rows_[i];
    // What to do about a row that is not satisfied follows its explanation.
    std::string text = shown.explanation;
    if (!shown.satisfied && !shown.remedy.empty() && shown.kind != app::SetupRowKind::wifi)
      text += " " + shown.remedy;
    setText(row.explanation, QString::fromStdString(text));
    if (shown.kind == app::SetupRowKind::wifi) {
      row.button->setText("Open Settings");
      row.button->setVisible(state.airDropEveryone);
      row.ok->setVisible(!state.airDropEveryone);
    } else if (row.button) {
      row.button->setText(shown.satisfied ? "Enabled" : "Enable");
      row.button->setEnabled(!shown.satisfied);
    }
    if (row.busy) row.busy->setVisible(shown.pending);
  }
  getStarted_->setEnabled(state.canFinish());
}

void SetupWindowView::closeEvent(QCloseEvent* event) {
  // Closing setup quits the host; the window itself stays until then.
  event->ignore();
  shell_.post([](app::HostServices& s) { s.onboarding->windowWillClose(); });
  quit_();
}

}  // namespace ferrowin::ui
