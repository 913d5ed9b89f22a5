// The main window as it stands at start: every control where it belongs, with
// its caption and state, and the window operations on the window thread.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>

#include "support_qt/QtTestSupport.h"
#include "ui/qt/TCGauge.h"

using qttest::TestWindow;

namespace {

struct Expected {
  const char* name;
  QRect geometry;
  const char* caption;
  bool hidden;
  bool enabled;
};

TEST(MainWindowLayout, WindowFrameAndControlsAtStart) {
  TestWindow w;
  TForm1& f = w.Form();
  EXPECT_EQ(f.windowTitle(), QStringLiteral("Tavrin Programmer 1.32"));
  EXPECT_EQ(f.size(), QSize(330, 257));
  EXPECT_EQ(f.minimumSize(), QSize(330, 257));
  EXPECT_EQ(f.maximumSize(), QSize(330, 257));
  EXPECT_EQ(f.pos(), QPoint(280, 125));
  const Qt::WindowFlags flags = f.windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));

  const Expected controls[] = {
      {"CGauge1", QRect(-2, 216, 333, 17), nullptr, false, true},
      {"Button1", QRect(12, 128, 147, 25), "CONNECT", false, true},
      {"StatusBar1", QRect(0, 232, 330, 25), nullptr, false, true},
      {"Button3", QRect(166, 128, 149, 25), "DISCONNECT", false, true},
      {"Memo1", QRect(4, 8, 321, 111), nullptr, false, true},
      {"Button2", QRect(28, 158, 275, 25), "update firmware", false, false},
      {"Button4", QRect(28, 188, 275, 25), "write data map", false, false},
      {"ComboBox1", QRect(184, 128, 145, 21), nullptr, true, true},
  };
  for (const Expected& c : controls) {
    SCOPED_TRACE(c.name);
    auto* widget = f.findChild<QWidget*>(QString::fromLatin1(c.name));
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->geometry(), c.geometry);
    EXPECT_EQ(widget->isHidden(), c.hidden);
    EXPECT_EQ(widget->isEnabled(), c.enabled);
    // No fixed name: assistive tools read what the control shows.
    EXPECT_TRUE(widget->accessibleName().isEmpty());
    if (c.caption != nullptr) {
      auto* button = qobject_cast<QPushButton*>(widget);
      ASSERT_NE(button, nullptr);
      EXPECT_EQ(button->text(), QString::fromLatin1(c.caption));
      EXPECT_EQ(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name),
                button->text());
    }
  }

  EXPECT_EQ(w.GaugeText(), "0%");
  EXPECT_TRUE(w.Log().empty());
  EXPECT_EQ(f.Memo1->toPlainText(), QString());
  EXPECT_EQ(w.Status(), "");
  EXPECT_EQ(w.Colour(), WindowColour::ButtonFace);
  EXPECT_EQ(w.Background(), QApplication::palette().color(QPalette::Button));
  EXPECT_FALSE(w.TimerRunning(WindowTimer::Timer1));
  EXPECT_TRUE(w.TimerRunning(WindowTimer::Timer3));
  EXPECT_EQ(f.Timer1->interval(), 100);
  EXPECT_EQ(f.Timer3->interval(), 100);

  // The log is editable, wraps words and shows no scroll bars.
  EXPECT_FALSE(f.Memo1->isReadOnly());
  EXPECT_EQ(f.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(f.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(f.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

  // FormCreate filled the port list (the machine's own ports, if any) and
  // made its first entry current.
  if (f.PortListCount() > 0) {
    EXPECT_EQ(w.PortCurrentText(), w.Ports().front());
  } else {
    EXPECT_EQ(w.PortCurrentText(), "");
  }

  EXPECT_FALSE(qttest::SaveScreenshot(&f, "main-window").empty());
}

TEST(MainWindowLayout, TabOrderFollowsTheDesign) {
  TestWindow w;
  TForm1& f = w.Form();
  const std::vector<QWidget*> expected = {f.Button1, f.Button3, f.Memo1, f.Button2, f.Button4, f.ComboBox1};
  std::vector<QWidget*> order;
  QWidget* widget = f.Button1;
  do {
    if ((widget->focusPolicy() & Qt::TabFocus) != 0 && widget->window() == &f && widget != &f &&
        widget->parentWidget() == &f) {
      order.push_back(widget);
    }
    widget = widget->nextInFocusChain();
  } while (widget != f.Button1);
  EXPECT_EQ(order, expected);
  EXPECT_EQ(f.CGauge1->focusPolicy(), Qt::NoFocus);
}

TEST(MainWindowLayout, GaugeClampsAndShowsWholePercent) {
  TestWindow w;
  w.Form().SetGauge(42);
  EXPECT_EQ(w.GaugeText(), "42%");
  w.Form().SetGauge(-5);
  EXPECT_EQ(w.Gauge(), 0);
  EXPECT_EQ(w.GaugeText(), "0%");
  w.Form().SetGauge(150);
  EXPECT_EQ(w.Gauge(), 100);
  EXPECT_EQ(w.GaugeText(), "100%");
  // Assistive tools read it as a progress bar with that value.
  QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(w.Form().CGauge1);
  ASSERT_NE(acc, nullptr);
  EXPECT_EQ(acc->role(), QAccessible::ProgressBar);
  ASSERT_NE(acc->valueInterface(), nullptr);
  EXPECT_EQ(acc->valueInterface()->currentValue().toInt(), 100);
  w.Form().SetGauge(60);
  EXPECT_FALSE(qttest::SaveScreenshot(&w.Form(), "main-window-gauge-60").empty());
}

TEST(MainWindowLayout, ColourIndicatorPaintsTheWindowButNotTheStatusBar) {
  TestWindow w;
  TForm1& f = w.Form();
  const QColor face = QApplication::palette().color(QPalette::Button);
  f.SetColour(WindowColour::LightGreen);
  EXPECT_EQ(w.Background(), QColor(169, 234, 159));
  EXPECT_EQ(f.StatusBar1->palette().color(QPalette::Window), face);
  f.SetColour(WindowColour::Red);
  EXPECT_EQ(w.Background(), QColor(255, 0, 0));
  EXPECT_EQ(w.Colour(), WindowColour::Red);
  EXPECT_FALSE(qttest::SaveScreenshot(&f, "main-window-red").empty());
  f.SetColour(WindowColour::ButtonFace);
  EXPECT_EQ(w.Background(), face);
}

TEST(MainWindowLayout, LogHoldsWholeLinesIncludingEmptyOnes) {
  TestWindow w;
  TForm1& f = w.Form();
  f.AddLogLine("");
  EXPECT_EQ(w.Log(), std::vector<std::string>{""});
  f.AddLogLine("Подключено устройство");
  f.AddLogLine("");
  f.AddLogLine("b");
  EXPECT_EQ(w.Log(), (std::vector<std::string>{"", "Подключено устройство", "", "b"}));
  f.ClearLog();
  EXPECT_TRUE(w.Log().empty());
  f.AddLogLine("x");
  EXPECT_EQ(w.Log(), std::vector<std::string>{"x"});
}

TEST(MainWindowLayout, StatusTextIsReplacedAndShownVerbatim) {
  TestWindow w;
  w.Form().SetStatusText(" Идет сканирование портов ");
  EXPECT_EQ(w.Status(), " Идет сканирование портов ");
  w.Form().SetStatusText("<b>x</b>");
  EXPECT_EQ(w.Status(), "<b>x</b>");
}

TEST(MainWindowLayout, PortListKeepsOrderAndCurrentEntry) {
  TestWindow w;
  TForm1& f = w.Form();
  f.PortListClear();
  f.PortListAdd("COM3");
  f.PortListAdd("COM10");
  f.PortListAdd("COM1");
  EXPECT_EQ(w.Ports(), (std::vector<std::string>{"COM3", "COM10", "COM1"}));
  f.PortListSetCurrent(2);
  EXPECT_EQ(f.PortListCurrentText(), "COM1");
  f.PortListSetCurrent(3);
  EXPECT_EQ(f.PortListCurrentText(), "");
  f.PortListSetCurrent(0);
  EXPECT_EQ(f.PortListCurrentText(), "COM3");
  f.PortListClear();
  EXPECT_EQ(f.PortListCount(), 0);
  EXPECT_EQ(f.PortListCurrentText(), "");
  f.PortListSetCurrent(0);
  EXPECT_EQ(f.PortListCurrentText(), "");
}

TEST(MainWindowLayout, ButtonsReachTheirHandlers) {
  TestWindow w;
  w.Form().AddLogLine("old report");
  w.Form().SetColour(WindowColour::LightGreen);
  EXPECT_FALSE(w.Click(Control::Button2));  // disabled at start
  EXPECT_FALSE(w.Click(Control::Button4));
  ASSERT_TRUE(w.Click(Control::Button3));
  EXPECT_EQ(w.Status(), "device disconnected.");
  EXPECT_TRUE(w.Log().empty());
  EXPECT_EQ(w.Colour(), WindowColour::ButtonFace);
  EXPECT_TRUE(w.Enabled(Control::Button1));
  EXPECT_TRUE(w.Enabled(Control::Button3));
}

TEST(MainWindowLayout, ClosingWithNoPortEverOpened) {
  TestWindow w;
  w.Close();
  EXPECT_FALSE(w.Form().isVisible());
  EXPECT_FALSE(w.TimerRunning(WindowTimer::Timer1));
}

TEST(MainWindowLayout, ControlsShowAndEnableByName) {
  TestWindow w;
  TForm1& f = w.Form();
  f.ShowControl(Control::Button4, false);
  EXPECT_FALSE(w.Visible(Control::Button4));
  f.EnableControl(Control::Button2, true);
  EXPECT_TRUE(w.Enabled(Control::Button2));
  f.EnableControl(Control::Button1, false);
  EXPECT_FALSE(w.Click(Control::Button1));
  f.StartTimer(WindowTimer::Timer1);
  EXPECT_TRUE(w.TimerRunning(WindowTimer::Timer1));
  f.StopTimer(WindowTimer::Timer1);
  EXPECT_FALSE(w.TimerRunning(WindowTimer::Timer1));
}

}  // namespace
