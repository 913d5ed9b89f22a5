// The progress gauge: a bordered bar filled from the left in navy on white,
// with the whole-number percentage centred over it. Built on QProgressBar so
// assistive tools read it as a progress bar with a value.
#pragma once

#include <QProgressBar>

class TCGauge : public QProgressBar {
  Q_OBJECT

 public:
  explicit TCGauge(QWidget* parent = nullptr);

  // Values outside 0..100 are taken as the nearest end.
  void SetProgress(int percent);
  int Progress() const { return value(); }
  QString text() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};
