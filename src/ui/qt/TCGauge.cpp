#include "ui/qt/TCGauge.h"

#include <QPainter>

#include "ui/FormSteps.h"

namespace {
const QColor kBarColour(0, 0, 128);       // navy
const QColor kBackColour(255, 255, 255);  // white
const QColor kBorderColour(0, 0, 0);
}  // namespace

TCGauge::TCGauge(QWidget* parent) : QProgressBar(parent) {
  setRange(0, 100);
  setValue(0);
  setTextVisible(true);
  setFocusPolicy(Qt::NoFocus);
}

void TCGauge::SetProgress(int percent) {
  // QProgressBar ignores values outside its range; the gauge clamps them.
  setValue(ClampGauge(percent));
}

QString TCGauge::text() const { return QString::number(value()) + QLatin1Char('%'); }

void TCGauge::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect outer = rect();
  const QRect inner = outer.adjusted(1, 1, -1, -1);

  painter.setPen(kBorderColour);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(outer.adjusted(0, 0, -1, -1));

  const int filled = inner.width() * value() / 100;
  const QRect bar(inner.left(), inner.top(), filled, inner.height());
  const QRect rest(inner.left() + filled, inner.top(), inner.width() - filled, inner.height());
  painter.fillRect(rest, kBackColour);
  painter.fillRect(bar, kBarColour);

  // The text is drawn twice, each time clipped to one part, so it reads
  // white over the bar and navy over the background.
  const QString label = text();
  painter.setFont(font());
  painter.save();
  painter.setClipRect(rest);
  painter.setPen(kBarColour);
  painter.drawText(inner, Qt::AlignCenter, label);
  painter.restore();
  painter.save();
  painter.setClipRect(bar);
  painter.setPen(kBackColour);
  painter.drawText(inner, Qt::AlignCenter, label);
  painter.restore();
}
