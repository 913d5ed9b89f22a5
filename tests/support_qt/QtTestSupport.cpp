#include "support_qt/QtTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <filesystem>

#include "support/Wait.h"
#include "ui/qt/TCGauge.h"

namespace qttest {

bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  QElapsedTimer clock;
  clock.start();
  while (!pred()) {
    const qint64 left = Scaled(deadline).count() - clock.elapsed();
    if (left <= 0) return pred();
    // Sleeps until an event comes, at most 20 ms (the wake timer), so a
    // condition changed by another thread without an event is seen promptly.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(static_cast<int>(std::min<qint64>(left, 20)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

void ProcessPending() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

std::string SaveScreenshot(QWidget* widget, const std::string& name) {
  std::filesystem::path dir = std::filesystem::path(TAVRIN_BUILD_DIR) / "screenshots";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::string file = name;
  if (std::filesystem::path(file).extension() != ".png") file += ".png";
  const std::string path = (dir / file).string();
  if (!widget->grab().save(QString::fromStdString(path), "PNG")) return {};
  return path;
}

TestWindow::TestWindow() {
  TForm1::SetBoxAnswererForTest([this](const std::string& text, const std::string& caption, int flags) {
    if (boxHandler_) {
      ShownBox box{"box", text, caption, flags, 0, false};
      return boxHandler_(box);
    }
    if (!boxAnswers_.empty()) {
      const int answer = boxAnswers_.front();
      boxAnswers_.pop_front();
      return answer;
    }
    return TForm1::UnansweredBox(flags);
  });
  TForm1::SetDialogAnswererForTest([this](const std::string&, const std::string&) {
    if (dialogAnswers_.empty()) return std::string();
    std::string path = dialogAnswers_.front();
    dialogAnswers_.pop_front();
    return path;
  });
  form_ = std::make_unique<TForm1>();
  form_->show();
}

TestWindow::~TestWindow() {
  if (!closed_) Close();
  form_.reset();
  TForm1::SetBoxAnswererForTest({});
  TForm1::SetDialogAnswererForTest({});
}

void TestWindow::QueueBoxAnswer(int answer) { boxAnswers_.push_back(answer); }
void TestWindow::QueueDialogAnswer(std::string path) { dialogAnswers_.push_back(std::move(path)); }
void TestWindow::OnBox(std::function<int(const ShownBox&)> handler) { boxHandler_ = std::move(handler); }

void TestWindow::UseRealBoxes() {
  TForm1::SetBoxAnswererForTest({});
  TForm1::SetDialogAnswererForTest({});
}

std::vector<ShownBox> TestWindow::Boxes() const { return form_->BoxesShown(); }

std::vector<std::string> TestWindow::BoxTexts() const {
  std::vector<std::string> texts;
  for (const ShownBox& box : form_->BoxesShown()) {
    if (box.kind == "dialog") continue;
    texts.push_back(box.caption + "|" + std::to_string(box.flags) + "|" + box.text);
  }
  return texts;
}

std::vector<std::string> TestWindow::Log() const { return form_->LogLines(); }
std::string TestWindow::Status() const { return form_->StatusText(); }
int TestWindow::Gauge() const { return form_->CGauge1->Progress(); }
std::string TestWindow::GaugeText() const { return form_->CGauge1->text().toStdString(); }
WindowColour TestWindow::Colour() const { return form_->Colour(); }
QColor TestWindow::Background() const { return form_->palette().color(QPalette::Window); }
bool TestWindow::Enabled(Control control) const { return form_->Button(control)->isEnabled(); }
bool TestWindow::Visible(Control control) const { return !form_->Button(control)->isHidden(); }

bool TestWindow::TimerRunning(WindowTimer timer) const {
  return (timer == WindowTimer::Timer1 ? form_->Timer1 : form_->Timer3)->isActive();
}

std::vector<std::string> TestWindow::Ports() const {
  std::vector<std::string> ports;
  for (int i = 0; i < form_->ComboBox1->count(); ++i) ports.push_back(form_->ComboBox1->itemText(i).toStdString());
  return ports;
}

std::string TestWindow::PortCurrentText() const { return form_->PortListCurrentText(); }

bool TestWindow::Click(Control control) {
  QPushButton* button = form_->Button(control);
  if (!button->isEnabled() || button->isHidden()) return false;
  button->click();
  return true;
}

void TestWindow::Close() {
  form_->close();
  closed_ = true;
}

bool TestWindow::WaitForBoxes(std::size_t n, std::chrono::milliseconds deadline) {
  return PumpUntil([&] { return BoxTexts().size() >= n; }, deadline);
}

}  // namespace qttest
