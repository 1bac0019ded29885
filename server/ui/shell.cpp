#include "server/ui/shell.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <algorithm>
#include <cstdlib>
#include <thread>

#include "server/ui/setup_window.h"
#include "server/ui/status_window.h"

namespace ferrowin::ui {

bool displayAvailable(std::string& why) {
  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
  };
  if (set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY")) return true;
  why = "neither DISPLAY nor WAYLAND_DISPLAY is set";
  return false;
}

namespace {

// The tray's picture: a rounded screen with a play triangle, drawn so no image file is needed.
QIcon trayPicture() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const double unit = size / 16.0;
    painter.setPen(QPen(QColor(0x30, 0x30, 0x30), 1.4 * unit));
    painter.setBrush(QColor(0xf2, 0xf2, 0xf2));
    painter.drawRoundedRect(QRectF(1.5 * unit, 3 * unit, 13 * unit, 9.5 * unit), 2 * unit,
                            2 * unit);
    const QPointF triangle[] = {{6.5 * unit, 5.5 * unit}, {6.5 * unit, 10 * unit},
                                {10.5 * unit, 7.75 * unit}};
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x0a, 0x84, 0xff));
    painter.drawPolygon(triangle, 3);
    icon.addPixmap(pixmap);
  }
  return icon;
}

// Drops the status window down beside the tray icon (or near the pointer when the tray does not
// say where it is).
void dropDown(StatusWindow& window, const QSystemTrayIcon& tray) {
  window.adjustSize();
  QRect anchor = tray.geometry();
  if (!anchor.isValid()) anchor = QRect(QCursor::pos(), QSize(1, 1));
  QScreen* screen = QGuiApplication::screenAt(anchor.center());
  const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
  QPoint at(anchor.center().x() - window.width() / 2, anchor.bottom() + 4);
  if (at.y() + window.height() > area.bottom()) at.setY(anchor.top() - window.height() - 4);
  at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - window.width())));
  at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - window.height())));
  window.move(at);
  window.show();
  window.raise();
  window.activateWindow();
}

}  // namespace

int runShell(ShellContext context) {
  QApplication app(context.argc, context.argv);
  QApplication::setApplicationName("Ferrowin");
  QApplication::setDesktopFileName("com.zavel.ferrowin.server");
  // Closing the status window (or every window) leaves the host running; only "Quit", the tray
  // menu's "Quit" and closing setup end it.
  QApplication::setQuitOnLastWindowClosed(false);
  ShellServices shell{context.main, context.services};
  auto quit = [] { QCoreApplication::quit(); };

  StatusWindow status(shell, quit);
  status.setWindowFlag(Qt::Tool);
  SetupWindowView setup(shell, quit);
  QSystemTrayIcon tray(trayPicture());
  tray.setToolTip("Ferrowin");
  QMenu menu;
  menu.addAction("Show Status", [&] { dropDown(status, tray); });
  menu.addSeparator();
  menu.addAction("Quit", quit);
  tray.setContextMenu(&menu);
  QObject::connect(&tray, &QSystemTrayIcon::activated, [&](QSystemTrayIcon::ActivationReason why) {
    if (why != QSystemTrayIcon::Trigger) return;
    if (status.isVisible())
      status.hide();
    else
      dropDown(status, tray);
  });
  QObject::connect(&app, &QGuiApplication::applicationStateChanged, [&](Qt::ApplicationState st) {
    if (st == Qt::ApplicationActive && status.isVisible()) status.recheckPermissions();
  });
  tray.show();
  // Without a tray to click, the status window is the way in.
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    status.setWindowFlag(Qt::Tool, false);
    status.show();
  }

  auto presenterWindow = setup.presenterWindow();
  context.main->post([services = context.services, presenterWindow, start = context.start] {
    services->onboarding->setWindow(presenterWindow);
    start();
  });
  std::thread host([&] {
    context.main->run();
    // The host stopped (a signal, or a service that could not start): so does the shell.
    QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
  });
  const int status_code = app.exec();
  context.main->post(context.stop);
  host.join();
  // The presenter must not reach the windows that go now.
  context.services->onboarding->setWindow(nullptr);
  return status_code;
}

}  // namespace ferrowin::ui
