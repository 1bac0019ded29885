#include "server/ui/widgets.h"

#include <QPainter>

namespace ferrowin::ui {

void ShellServices::post(std::function<void(app::HostServices&)> action) const {
  main->post([weak = std::weak_ptr<app::HostServices>(services), action = std::move(action)] {
    if (auto held = weak.lock()) action(*held);
  });
}

Indicator::Indicator(QWidget* parent) : QWidget(parent) { setFixedSize(10, 10); }

void Indicator::setColor(const QColor& color) {
  if (color == color_) return;
  color_ = color;
  update();
}

void Indicator::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(color_);
  painter.drawEllipse(rect().adjusted(1, 1, -1, -1));
}

void setText(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

QLabel* blockTitle(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setWeight(QFont::DemiBold);
  label->setFont(font);
  return label;
}

}  // namespace ferrowin::ui
