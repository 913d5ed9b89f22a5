// Start-up: the two windows, the event loop, and errors shown in the
// application's error box while the loop goes on.
#include <gtest/gtest.h>

#include <QTimer>
#include <stdexcept>

#include "support_qt/QtTestSupport.h"
#include "ui/qt/Application.h"
#include "ui/qt/Led_controller12.h"

namespace {

TEST(StartUp, RunsBothWindowsAndReturnsZeroWhenClosed) {
  bool form2EverVisible = false;
  bool sawForm1 = false;
  QRect form2Geometry;
  QString form2Title;
  QString form1Title;
  QTimer probe;
  probe.setInterval(5);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    if (Form2 != nullptr && Form2->isVisible()) form2EverVisible = true;
    if (Form1 != nullptr && Form1->isVisible() && !sawForm1) {
      sawForm1 = true;
      form1Title = Form1->windowTitle();
      form2Title = Form2->windowTitle();
      form2Geometry = QRect(Form2->pos(), Form2->size());
      Form1->close();
    }
  });
  probe.start();
  EXPECT_EQ(RunProgrammer(), 0);
  probe.stop();
  EXPECT_TRUE(sawForm1);
  EXPECT_FALSE(form2EverVisible);
  EXPECT_EQ(form1Title, QStringLiteral("Tavrin Programmer 1.32"));
  EXPECT_EQ(form2Title, QStringLiteral("LED CONTROLLER 12 Channel"));
  EXPECT_EQ(form2Geometry, QRect(385, 178, 449, 323));
  EXPECT_EQ(Form1, nullptr);
  EXPECT_EQ(Form2, nullptr);
  EXPECT_EQ(&Window(), &Window());  // the null window is back
  EXPECT_FALSE(Window().IsWindowThread());
}

TEST(StartUp, ErrorInAHandlerIsShownAndTheLoopGoesOn) {
  ProgrammerApplication::ClearErrorsShownForTest();
  std::vector<std::string> shown;
  ProgrammerApplication::SetErrorBoxHookForTest([&](const std::string& m) { shown.push_back(m); });
  bool after = false;
  QTimer::singleShot(0, [] { throw std::runtime_error("Access violation"); });
  QTimer::singleShot(0, [] { throw 42; });
  QTimer::singleShot(0, [&] { after = true; });
  EXPECT_TRUE(qttest::PumpUntil([&] { return after; }));
  ProgrammerApplication::SetErrorBoxHookForTest({});
  EXPECT_EQ(shown, (std::vector<std::string>{"Access violation", ""}));
  EXPECT_EQ(ProgrammerApplication::ErrorsShownForTest(), shown);
}

TEST(StartUp, ApplicationIsNamedAfterTheProgramFile) {
  EXPECT_EQ(QCoreApplication::applicationName(), QStringLiteral("gui_startup_test"));
}

}  // namespace
