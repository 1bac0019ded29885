#include "server/ui/status_window.h"

#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "common/runtime/flow.h"
#include "server/app/setup_rows.h"

namespace ferrowin::ui {

namespace {

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

// An indicator and a text on one line.
QHBoxLayout* statusLine(Indicator*& indicator, QLabel*& text, QWidget* parent) {
  auto* row = new QHBoxLayout;
  indicator = new Indicator(parent);
  text = new QLabel(parent);
  text->setWordWrap(true);
  row->addWidget(indicator, 0, Qt::AlignVCenter);
  row->addWidget(text, 1);
  return row;
}

QPushButton* smallButton(const QString& text, const char* name, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  QFont font = button->font();
  font.setPointSizeF(font.pointSizeF() * 0.85);
  button->setFont(font);
  return button;
}

void setShown(QWidget* widget, bool shown) {
  if (widget->isHidden() == shown) widget->setVisible(shown);
}

}  // namespace

StatusWindow::StatusWindow(ShellServices shell, std::function<void()> quit, QWidget* parent)
    : QWidget(parent, Qt::Window), shell_(std::move(shell)) {
  setObjectName("statusWindow");
  setWindowTitle("Ferrowin");
  setFixedWidth(320);
  auto* layout = new QVBoxLayout(this);
  layout->setSpacing(12);
  layout->setContentsMargins(16, 16, 16, 16);

  // Header and the setup summary.
  auto* header = new QLabel("Ferrowin Host", this);
  QFont headline = header->font();
  headline.setWeight(QFont::Bold);
  header->setFont(headline);
  layout->addWidget(header);
  auto* setupRow = new QHBoxLayout;
  setupIndicator_ = new Indicator(this);
  setupComplete_ = new QLabel("Setup Complete", this);
  finishSetup_ = smallButton("Finish Setup…", "finishSetup", this);
  setupRow->addWidget(setupIndicator_, 0, Qt::AlignVCenter);
  setupRow->addWidget(setupComplete_);
  setupRow->addWidget(finishSetup_);
  setupRow->addStretch(1);
  layout->addLayout(setupRow);
  setupWarning_ = new QLabel(this);
  setupWarning_->setObjectName("setupWarning");
  setupWarning_->setWordWrap(true);
  layout->addWidget(setupWarning_);
  connect(finishSetup_, &QPushButton::clicked, this,
          [this] { shell_.post([](app::HostServices& s) { s.onboarding->finishSetup(); }); });
  layout->addWidget(divider(this));

  // Control.
  layout->addWidget(blockTitle("Control", this));
  layout->addLayout(statusLine(controlIndicator_, controlStatus_, this));
  controlStatus_->setObjectName("controlStatus");
  pairingCode_ = new QLabel(this);
  pairingCode_->setObjectName("pairingCode");
  QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  pairingCode_->setFont(digits);
  pairingCode_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(pairingCode_);
  retryBonjour_ = smallButton("Retry Bonjour", "retryBonjour", this);
  layout->addWidget(retryBonjour_, 0, Qt::AlignLeft);
  connect(retryBonjour_, &QPushButton::clicked, this,
          [this] { shell_.post([](app::HostServices& s) { s.control->retryBonjour(); }); });
  layout->addWidget(divider(this));

  // Input.
  layout->addWidget(blockTitle("Input", this));
  layout->addLayout(statusLine(inputIndicator_, inputStatus_, this));
  destroyGamepad_ = smallButton("Destroy Gamepad", "destroyGamepad", this);
  layout->addWidget(destroyGamepad_, 0, Qt::AlignLeft);
  connect(destroyGamepad_, &QPushButton::clicked, this, [this] {
    shell_.post([main = shell_.main](app::HostServices& s) {
      common::spawn(main->executor(), s.inputHelper->releaseGamepad());
    });
  });
  layout->addWidget(divider(this));

  // Virtual display.
  layout->addWidget(blockTitle("Virtual Display", this));
  layout->addLayout(statusLine(displayIndicator_, displayStatus_, this));
  destroyDisplay_ = smallButton("Destroy Display", "destroyDisplay", this);
  layout->addWidget(destroyDisplay_, 0, Qt::AlignLeft);
  connect(destroyDisplay_, &QPushButton::clicked, this,
          [this] { shell_.post([](app::HostServices& s) { s.virtualDisplays->release(); }); });
  layout->addWidget(divider(this));

  // Video.
  layout->addWidget(blockTitle("Video", this));
  layout->addLayout(statusLine(videoIndicator_, videoStatus_, this));
  videoIndicator_->setObjectName("videoIndicator");
  client_ = new QLabel(this);
  client_->setObjectName("client");
  client_->setWordWrap(true);
  layout->addWidget(client_);
  logVideoStats_ = new QCheckBox("Log Video Stats", this);
  logVideoStats_->setObjectName("logVideoStats");
  layout->addWidget(logVideoStats_);
  graph_ = new PacingGraph(this);
  graph_->setObjectName("pacingGraph");
  layout->addWidget(graph_);
  connect(logVideoStats_, &QCheckBox::clicked, this, [this](bool on) {
    // Off hides the graph at once; on shows it with the next refresh that has statistics.
    if (!on) setShown(graph_, false);
    requestedDiagnostics_ = on;
    shell_.post([on](app::HostServices& s) { s.setVideoDiagnosticsEnabled(on); });
  });
  layout->addWidget(divider(this));

  // Footer. There is no updater on Linux, so no "Check for Updates".
  auto* quitButton = new QPushButton("Quit", this);
  quitButton->setObjectName("quit");
  layout->addWidget(quitButton, 0, Qt::AlignRight);
  connect(quitButton, &QPushButton::clicked, this, [quit = std::move(quit)] { quit(); });

  connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });
  timer_.start(250);
  refresh();
}

void StatusWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  recheckPermissions();
  refresh();
}

void StatusWindow::recheckPermissions() {
  shell_.post([](app::HostServices& s) {
    s.permissions->refresh();
    if (s.permissions->screenRecordingGranted.get()) s.video->retryCaptureAfterPermissionChange();
  });
}

void StatusWindow::refresh() {
  app::HostServices& s = *shell_.services;
  const app::PermissionState setup = s.permissions->state();
  // The display became readable: the video server may retry the capture that failed.
  if (setup.screenRecordingGranted && !screenRecordingGranted_) recheckPermissions();
  screenRecordingGranted_ = setup.screenRecordingGranted;
  const bool incomplete = setup.setupIncomplete();
  setupIndicator_->setColor(incomplete ? kYellow : kGreen);
  setShown(finishSetup_, incomplete);
  setShown(setupComplete_, !incomplete);
  setShown(setupWarning_, setup.airDropEveryone);
  setText(setupWarning_, QString::fromStdString(app::wifiText(setup)));

  const bool controlRunning = s.control->isRunning.get();
  controlIndicator_->setColor(controlRunning ? kGreen : kGray);
  setText(controlStatus_, QString::fromStdString(s.control->statusMessage.get()));
  setShown(pairingCode_, controlRunning);
  setText(pairingCode_, "Pairing Code: " + QString::fromStdString(s.control->pairingCode.get()));
  setShown(retryBonjour_, controlRunning && !s.control->isBonjourAdvertised.get());

  const bool helperRunning = s.inputHelper->isRunning.get();
  inputIndicator_->setColor(helperRunning ? kGreen : kGray);
  setText(inputStatus_, QString::fromStdString(s.inputHelper->statusMessage.get()));
  setShown(destroyGamepad_, helperRunning && s.inputHelper->sessionHasGamepad.get());

  const bool displayActive = s.virtualDisplays->isActive.get();
  displayIndicator_->setColor(displayActive ? kGreen : kGray);
  setText(displayStatus_, QString::fromStdString(s.virtualDisplays->statusMessage.get()));
  setShown(destroyDisplay_, displayActive);

  const bool videoRunning = s.video->isRunning.get();
  const auto client = s.video->clientDescription.get();
  videoIndicator_->setColor(s.video->captureError.get() ? kRed
                            : !videoRunning             ? kGray
                            : client                    ? kGreen
                                                        : kYellow);
  setText(videoStatus_, QString::fromStdString(s.video->statusMessage.get()));
  setShown(client_, client.has_value());
  if (client) setText(client_, QString::fromUtf8("▭ ") + QString::fromStdString(*client));
  // Until the main executor has taken the click, the click is what the window shows.
  bool diagnostics = s.videoDiagnosticsEnabled.get();
  if (requestedDiagnostics_ && *requestedDiagnostics_ != diagnostics)
    diagnostics = *requestedDiagnostics_;
  else
    requestedDiagnostics_.reset();
  if (logVideoStats_->isChecked() != diagnostics) logVideoStats_->setChecked(diagnostics);
  const auto stats = s.video->statsSnapshot.get();
  const bool graph = diagnostics && client && stats;
  if (graph) graph_->setSnapshot(stats);
  setShown(graph_, graph);
  if (!isHidden()) adjustSize();
}

}  // namespace ferrowin::ui
