#include "ui/qt/Led_controller12.h"

#include <QApplication>
#include <QPalette>

TForm2* Form2 = nullptr;

TForm2::TForm2(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(QStringLiteral("LED CONTROLLER 12 Channel"));
  // A window that is never shown has no frame to measure, so the outer size
  // is given to the whole window.
  move(385, 178);
  resize(449, 323);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);
  hide();
}
