// Window operations asked for on other threads: carried to the window thread
// in order, boxes hold their caller while the window keeps running, and
// nothing waits forever once the window closes or goes away.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <thread>

#include <stdexcept>

#include "support_qt/QtTestSupport.h"
#include "ui/qt/Application.h"
#include "ui/qt/QtWindow.h"

using qttest::PumpUntil;
using qttest::TestWindow;

namespace {

TEST(WindowThreads, OperationsFromAnotherThreadArriveInOrder) {
  TestWindow w;
  std::atomic<bool> sawWindowThread{true};
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) expected.push_back("line " + std::to_string(i));

  std::thread worker([&] {
    IWindow& window = Window();
    sawWindowThread = window.IsWindowThread();
    window.ClearLog();
    for (int i = 0; i < 300; ++i) {
      window.AddLogLine("line " + std::to_string(i));
      window.SetGauge(i % 101);
      window.SetStatusText("status " + std::to_string(i));
      if (i == 150) window.SetColour(WindowColour::Red);
    }
    window.EnableControl(Control::Button1, false);
    window.ShowControl(Control::Button4, false);
    window.StartTimer(WindowTimer::Timer1);
    window.StopTimer(WindowTimer::Timer1);
    // The job runs after everything asked for before it.
    window.Post([&w] { w.Form().AddLogLine("posted"); });
  });
  worker.join();
  EXPECT_FALSE(sawWindowThread);
  EXPECT_TRUE(Window().IsWindowThread());

  ASSERT_TRUE(PumpUntil([&] { return w.Log().size() == 301; }));
  std::vector<std::string> log = w.Log();
  EXPECT_EQ(log.back(), "posted");
  log.pop_back();
  EXPECT_EQ(log, expected);
  EXPECT_EQ(w.Gauge(), 299 % 101);
  EXPECT_EQ(w.Status(), "status 299");
  EXPECT_EQ(w.Colour(), WindowColour::Red);
  EXPECT_FALSE(w.Enabled(Control::Button1));
  EXPECT_FALSE(w.Visible(Control::Button4));
  EXPECT_FALSE(w.TimerRunning(WindowTimer::Timer1));
}

TEST(WindowThreads, WindowThreadCallsRunAtOnceAndPostsQueue) {
  TestWindow w;
  Window().AddLogLine("direct");
  EXPECT_EQ(w.Log(), std::vector<std::string>{"direct"});
  bool ran = false;
  Window().Post([&] { ran = true; });
  EXPECT_FALSE(ran);  // returns at once, runs from the event loop
  EXPECT_TRUE(PumpUntil([&] { return ran; }));
}

TEST(WindowThreads, BoxFromAnotherThreadHoldsItWhileTheWindowRuns) {
  TestWindow w;
  std::atomic<bool> answered{false};
  std::atomic<bool> duringQueued{false};
  int answer = 0;
  std::vector<std::string> logWhenShown;
  bool callerHeldThroughout = true;

  w.OnBox([&](const ShownBox& box) {
    EXPECT_EQ(box.text, "Записать?");
    EXPECT_EQ(box.caption, "Внимание");
    EXPECT_EQ(box.flags, kMbYesNoInfo);
    logWhenShown = w.Log();
    // While the box is up, the window thread goes on: other threads'
    // operations arrive and Timer3 keeps ticking.
    std::thread other([&] {
      Window().AddLogLine("during");
      duringQueued = true;
    });
    other.join();
    int ticks = 0;
    auto conn = QObject::connect(w.Form().Timer3, &QTimer::timeout, [&] { ++ticks; });
    EXPECT_TRUE(PumpUntil([&] {
      const auto log = w.Log();
      return ticks >= 2 && !log.empty() && log.back() == "during";
    }));
    QObject::disconnect(conn);
    callerHeldThroughout = !answered.load();
    return kIdYes;
  });

  std::thread reader([&] {
    Window().AddLogLine("before");
    answer = Window().MessageBox("Записать?", "Внимание", kMbYesNoInfo);
    answered = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return answered.load(); }));
  reader.join();
  EXPECT_TRUE(duringQueued);
  EXPECT_TRUE(callerHeldThroughout);
  EXPECT_EQ(answer, kIdYes);
  EXPECT_EQ(logWhenShown, std::vector<std::string>{"before"});
  ASSERT_EQ(w.Boxes().size(), 1u);
  EXPECT_TRUE(w.Boxes()[0].closed);
  EXPECT_EQ(w.Boxes()[0].answer, kIdYes);
}

TEST(WindowThreads, AnErrorWhileShowingABoxFreesItsCaller) {
  TestWindow w;
  std::vector<std::string> errors;
  ProgrammerApplication::SetErrorBoxHookForTest([&](const std::string& m) { errors.push_back(m); });
  w.OnBox([](const ShownBox&) -> int { throw std::runtime_error("out of memory"); });
  std::atomic<bool> answered{false};
  int answer = 0;
  std::thread reader([&] {
    answer = Window().MessageBox("q", "c", kMbYesNoInfo);
    answered = true;
  });
  const bool freed = PumpUntil([&] { return answered.load(); });
  ProgrammerApplication::SetErrorBoxHookForTest({});
  if (!freed) w.Close();  // never leave the thread blocked
  reader.join();
  ASSERT_TRUE(freed);
  EXPECT_EQ(answer, kIdNo);
  EXPECT_EQ(errors, std::vector<std::string>{"out of memory"});
}

TEST(WindowThreads, PlainMessageUsesTheApplicationTitle) {
  TestWindow w;
  std::atomic<bool> done{false};
  std::thread t([&] {
    Window().ShowMessage("Файл карты данных поврежден!");
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  t.join();
  ASSERT_EQ(w.Boxes().size(), 1u);
  EXPECT_EQ(w.Boxes()[0].kind, "message");
  EXPECT_EQ(w.Boxes()[0].caption, QCoreApplication::applicationName().toStdString());
  EXPECT_EQ(w.Boxes()[0].flags, kMbOk);
}

TEST(WindowThreads, BlockingQueriesFromAnotherThread) {
  TestWindow w;
  w.Form().PortListClear();
  w.Form().PortListAdd("COM4");
  w.Form().PortListAdd("COM7");
  std::atomic<bool> done{false};
  int count = 0;
  std::string current;
  std::thread t([&] {
    Window().PortListSetCurrent(1);
    count = Window().PortListCount();
    current = Window().PortListCurrentText();
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  t.join();
  EXPECT_EQ(count, 2);
  EXPECT_EQ(current, "COM7");
}

// Shows the real box; a timer waits for it to appear and then acts.
void WhenRealBoxShows(QTimer& timer, std::function<void(QMessageBox*)> act) {
  timer.setInterval(10);
  QObject::connect(&timer, &QTimer::timeout, [&timer, act] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      timer.stop();
      act(box);
    }
  });
  timer.start();
}

TEST(WindowThreads, ClosingTheWindowReleasesAWaitingBox) {
  TestWindow w;
  w.UseRealBoxes();
  std::atomic<bool> answered{false};
  int answer = 0;
  QTimer watcher;
  std::string shownText;
  WhenRealBoxShows(watcher, [&](QMessageBox* box) {
    shownText = box->text().toStdString();
    w.Close();
  });
  std::thread reader([&] {
    answer = Window().MessageBox("Продолжить?", "Внимание", kMbYesNoInfo);
    answered = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return answered.load(); }));
  reader.join();
  EXPECT_EQ(shownText, "Продолжить?");
  EXPECT_EQ(answer, kIdNo);
  EXPECT_TRUE(PumpUntil([] { return QApplication::activeModalWidget() == nullptr; }));

  // A closed window answers at once, from any thread.
  std::atomic<bool> again{false};
  std::thread late([&] {
    answer = Window().MessageBox("x", "y", kMbOk);
    Window().ShowMessage("z");
    again = true;
  });
  late.join();
  EXPECT_TRUE(again);
  EXPECT_EQ(answer, kIdOk);
  EXPECT_EQ(w.Form().MessageBox("on the window thread", "y", kMbYesNoInfo), kIdNo);
  EXPECT_EQ(w.BoxTexts().size(), 1u);
}

TEST(WindowThreads, NothingWaitsOnceTheWindowIsGone) {
  {
    TestWindow w;
  }
  QtWindow& window = QtWindow::Instance();
  bool ran = false;
  int answer = 0;
  std::thread t([&] {
    window.Post([&] { ran = true; });
    window.AddLogLine("lost");
    answer = window.MessageBox("q", "c", kMbYesNoInfo);
  });
  t.join();
  EXPECT_EQ(answer, kIdNo);
  window.Post([&] { ran = true; });
  qttest::ProcessPending();
  EXPECT_FALSE(ran);
  EXPECT_NE(&Window(), static_cast<IWindow*>(&window));
}

TEST(WindowThreads, RealBoxesMapButtonsAndAnswers) {
  TestWindow w;
  w.UseRealBoxes();
  QTimer watcher;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString title;
  QMessageBox::StandardButtons buttons;
  WhenRealBoxShows(watcher, [&](QMessageBox* box) {
    icon = box->icon();
    title = box->windowTitle();
    buttons = box->standardButtons();
    box->button(QMessageBox::Yes)->click();
  });
  EXPECT_EQ(w.Form().MessageBox("Записать?", "ОК", kMbYesNoInfo), kIdYes);
  EXPECT_EQ(icon, QMessageBox::Information);
  EXPECT_EQ(title, QStringLiteral("ОК"));
  EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);

  QTimer second;
  WhenRealBoxShows(second, [&](QMessageBox* box) {
    icon = box->icon();
    buttons = box->standardButtons();
    box->button(QMessageBox::Cancel)->click();
  });
  EXPECT_EQ(w.Form().MessageBox("Can't perform", "File Error", kMbOkCancel), kIdCancel);
  EXPECT_EQ(icon, QMessageBox::NoIcon);
  EXPECT_EQ(buttons, QMessageBox::Ok | QMessageBox::Cancel);

  QTimer third;
  WhenRealBoxShows(third, [&](QMessageBox* box) {
    buttons = box->standardButtons();
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(w.Form().MessageBox("done", "ОК", kMbOk), kIdOk);
  EXPECT_EQ(buttons, QMessageBox::Ok);
}

// The first interface under `root` (itself included) with `role`.
QAccessibleInterface* FindRole(QAccessibleInterface* root, QAccessible::Role role) {
  if (root == nullptr || root->role() == role) return root;
  for (int i = 0; i < root->childCount(); ++i) {
    if (QAccessibleInterface* found = FindRole(root->child(i), role)) return found;
  }
  return nullptr;
}

// The names of every static text under `root`.
QStringList StaticTexts(QAccessibleInterface* root) {
  QStringList texts;
  if (root == nullptr) return texts;
  if (root->role() == QAccessible::StaticText) texts << root->text(QAccessible::Name);
  for (int i = 0; i < root->childCount(); ++i) texts << StaticTexts(root->child(i));
  return texts;
}

TEST(WindowThreads, AssistiveToolsReadWhatTheWindowShows) {
  TestWindow w;
  w.UseRealBoxes();
  QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&w.Form());
  ASSERT_NE(window, nullptr);
  std::thread reader([] {
    Window().SetStatusText("The device is connected!");
    Window().SetGauge(42);
  });
  reader.join();
  ASSERT_TRUE(PumpUntil([&] { return w.Gauge() == 42; }));

  QAccessibleInterface* status = FindRole(window, QAccessible::StatusBar);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(StaticTexts(status), QStringList{QStringLiteral("The device is connected!")});
  QAccessibleInterface* gauge = FindRole(window, QAccessible::ProgressBar);
  ASSERT_NE(gauge, nullptr);
  ASSERT_NE(gauge->valueInterface(), nullptr);
  EXPECT_EQ(gauge->valueInterface()->currentValue().toInt(), 42);
  QAccessibleInterface* button = FindRole(window, QAccessible::Button);
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(QAccessible::Name), QStringLiteral("CONNECT"));

  QTimer watcher;
  QString caption;
  QStringList texts;
  WhenRealBoxShows(watcher, [&](QMessageBox* box) {
    QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(box);
    caption = acc->text(QAccessible::Name);
    texts = StaticTexts(acc);
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(w.Form().MessageBox(" The firmware is not designed for this device! ", "Error", kMbOk),
            kIdOk);
  EXPECT_EQ(caption, QStringLiteral("Error"));
  EXPECT_TRUE(texts.contains(QStringLiteral(" The firmware is not designed for this device! ")))
      << texts.join('|').toStdString();
}

}  // namespace
