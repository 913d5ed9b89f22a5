#include "ui/qt/Programmer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <exception>
#include <memory>

#include "ProjectVersion.h"
#include "connect/Connecter.h"
#include "platform/qt/QtSound.h"
#include "protocol/Messager.h"
#include "transfer/Loaders.h"
#include "ui/qt/Application.h"
#include "ui/qt/Led_controller12.h"
#include "ui/qt/QtWindow.h"
#include "ui/FormSteps.h"
#include "ui/Sounds.h"
#include "ui/qt/TCGauge.h"

TForm1* Form1 = nullptr;

namespace {

QFont WindowFont() {
  QFont font;
  if (QFontDatabase::hasFamily(QStringLiteral("MS Sans Serif"))) {
    font.setFamily(QStringLiteral("MS Sans Serif"));
  } else {
    font.setStyleHint(QFont::SansSerif);
    font.setFamily(QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
  }
  font.setPointSize(8);
  return font;
}

QColor ButtonFace() { return QApplication::palette().color(QPalette::Button); }

QColor ToQColor(WindowColour colour) {
  switch (colour) {
    case WindowColour::ButtonFace: break;
    case WindowColour::LightGreen: return QColor(169, 234, 159);
    case WindowColour::Red: return QColor(255, 0, 0);
  }
  return ButtonFace();
}

QMessageBox::StandardButtons BoxButtons(int flags) {
  switch (flags & 0x0F) {
    case 1: return QMessageBox::Ok | QMessageBox::Cancel;
    case 2: return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    case 3: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case 4: return QMessageBox::Yes | QMessageBox::No;
    case 5: return QMessageBox::Retry | QMessageBox::Cancel;
    default: return QMessageBox::Ok;
  }
}

QMessageBox::Icon BoxIcon(int flags) {
  switch (flags & 0xF0) {
    case 0x10: return QMessageBox::Critical;
    case 0x20: return QMessageBox::Question;
    case 0x30: return QMessageBox::Warning;
    case 0x40: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

int Win32Answer(QMessageBox::StandardButton button, int flags) {
  switch (button) {
    case QMessageBox::Ok: return kIdOk;
    case QMessageBox::Cancel: return kIdCancel;
    case QMessageBox::Abort: return 3;
    case QMessageBox::Retry: return 4;
    case QMessageBox::Ignore: return 5;
    case QMessageBox::Yes: return kIdYes;
    case QMessageBox::No: return kIdNo;
    default: return TForm1::UnansweredBox(flags);
  }
}

QString Qs(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Tavrin Programmer " TAVRIN_VERSION));
  setAccessibleName(windowTitle());
  setFont(WindowFont());
  setFixedSize(330, 257);
  move(280, 125);
  setAutoFillBackground(true);

  // Controls in creation order; later ones lie above earlier ones. None gets
  // an accessible name of its own: assistive tools then read what each shows
  // (a button's caption, the status text, the log, the gauge's value).
  CGauge1 = new TCGauge(this);
  CGauge1->setObjectName(QStringLiteral("CGauge1"));
  CGauge1->setGeometry(-2, 216, 333, 17);

  auto makeButton = [this](const char* name, const char* caption, int x, int y, int w, int h) {
    auto* button = new QPushButton(QString::fromLatin1(caption), this);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(x, y, w, h);
    button->setAutoDefault(false);
    return button;
  };

  Button1 = makeButton("Button1", "CONNECT", 12, 128, 147, 25);

  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setGeometry(0, 232, 330, 25);
  StatusBar1->setSizeGripEnabled(false);
  // The status bar keeps the button face whatever the window colour shows.
  StatusBar1->setAutoFillBackground(true);
  {
    QPalette pal = StatusBar1->palette();
    pal.setColor(QPalette::Window, ButtonFace());
    StatusBar1->setPalette(pal);
  }
  statusText_ = new QLabel(StatusBar1);
  statusText_->setObjectName(QStringLiteral("StatusText"));
  statusText_->setTextFormat(Qt::PlainText);
  StatusBar1->addWidget(statusText_, 1);

  Button3 = makeButton("Button3", "DISCONNECT", 166, 128, 149, 25);

  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setGeometry(4, 8, 321, 111);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setTabChangesFocus(true);

  Button2 = makeButton("Button2", "update firmware", 28, 158, 275, 25);
  Button2->setEnabled(false);
  Button4 = makeButton("Button4", "write data map", 28, 188, 275, 25);
  Button4->setEnabled(false);

  ComboBox1 = new QComboBox(this);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->setGeometry(184, 128, 145, 21);
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  ComboBox1->setEditText(QStringLiteral("ComboBox1"));
  ComboBox1->hide();

  setTabOrder(Button1, Button3);
  setTabOrder(Button3, Memo1);
  setTabOrder(Memo1, Button2);
  setTabOrder(Button2, Button4);
  setTabOrder(Button4, ComboBox1);

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(100);
  Timer3 = new QTimer(this);
  Timer3->setObjectName(QStringLiteral("Timer3"));
  Timer3->setInterval(100);

  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
  connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  connect(Timer3, &QTimer::timeout, this, [this] { Timer3Timer(); });

  SetColour(WindowColour::ButtonFace);
  sound_ = new QtSoundPlayer(this);
  QtWindow::Instance().Attach(this);
  Timer3->start();
  FormCreate();
}

TForm1::~TForm1() {
  QtWindow::Instance().Detach(this);
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::Button1Click() { ::Button1Click(); }
void TForm1::Button3Click() { ::Button3Click(); }
void TForm1::Timer1Timer() { ::Timer1Timer(); }
void TForm1::Button2Click() { ::Button2Click(); }
void TForm1::Button4Click() { ::Button4Click(); }
void TForm1::Timer3Timer() { ::Timer3Timer(); }

void TForm1::FormCreate() { RunFormCreate(); }

void TForm1::FormClose() { RunFormClose(); }

void TForm1::showEvent(QShowEvent* event) {
  closing_ = false;
  QtWindow::Instance().Reopen(this);
  QWidget::showEvent(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  closing_ = true;
  QtWindow::Instance().Close(*this);
  event->accept();
}

void TForm1::EndModalWindows() {
  if (activeBox_) activeBox_->reject();
  if (activeDialog_) activeDialog_->reject();
}

// ---- Window operations ------------------------------------------------------

QPushButton* TForm1::Button(Control control) const {
  switch (control) {
    case Control::Button1: return Button1;
    case Control::Button2: return Button2;
    case Control::Button3: return Button3;
    case Control::Button4: return Button4;
  }
  return Button1;
}

void TForm1::EnableControl(Control control, bool enabled) { Button(control)->setEnabled(enabled); }

void TForm1::ShowControl(Control control, bool visible) { Button(control)->setVisible(visible); }

void TForm1::ClearLog() {
  Memo1->clear();
  log_.Cleared();
}

void TForm1::AddLogLine(const std::string& line) {
  QTextDocument* doc = Memo1->document();
  QTextCursor cursor(doc);
  cursor.movePosition(QTextCursor::End);
  // An empty log is one empty block; the first line goes into it.
  if (log_.BreakBefore(doc->isEmpty())) cursor.insertBlock();
  cursor.insertText(Qs(line));
  log_.Added();
  Memo1->moveCursor(QTextCursor::End);
}

std::vector<std::string> TForm1::LogLines() const {
  return log_.Lines(Memo1->toPlainText().toStdString(), "\n");
}

void TForm1::SetStatusText(const std::string& text) { statusText_->setText(Qs(text)); }

std::string TForm1::StatusText() const { return statusText_->text().toStdString(); }

void TForm1::SetGauge(int percent) { CGauge1->SetProgress(percent); }

void TForm1::SetColour(WindowColour colour) {
  colour_ = colour;
  QPalette pal = palette();
  pal.setColor(QPalette::Window, ToQColor(colour));
  setPalette(pal);
}

void TForm1::StartTimer(WindowTimer timer) {
  (timer == WindowTimer::Timer1 ? Timer1 : Timer3)->start();
}

void TForm1::StopTimer(WindowTimer timer) {
  (timer == WindowTimer::Timer1 ? Timer1 : Timer3)->stop();
}

void TForm1::PortListClear() { ComboBox1->clear(); }

void TForm1::PortListAdd(const std::string& name) { ComboBox1->addItem(Qs(name)); }

int TForm1::PortListCount() const { return ComboBox1->count(); }

void TForm1::PortListSetCurrent(int index) {
  ComboBox1->setCurrentIndex(index >= 0 && index < ComboBox1->count() ? index : -1);
}

std::string TForm1::PortListCurrentText() const {
  const int index = ComboBox1->currentIndex();
  return index >= 0 ? ComboBox1->itemText(index).toStdString() : std::string();
}

// ---- Boxes and the file dialog ----------------------------------------------

int TForm1::UnansweredBox(int flags) { return ::UnansweredBox(flags); }

int TForm1::ShowBox(const std::string& kind, const std::string& text, const std::string& caption,
                    int flags) {
  if (closing_) return UnansweredBox(flags);
  return boxes_.Show(kind, text, caption, flags, [&] {
    QMessageBox box(BoxIcon(flags), Qs(caption), Qs(text), BoxButtons(flags), this);
    box.setTextFormat(Qt::PlainText);
    activeBox_ = &box;
    box.exec();
    activeBox_ = nullptr;
    QAbstractButton* clicked = box.clickedButton();
    return clicked != nullptr ? Win32Answer(box.standardButton(clicked), flags) : UnansweredBox(flags);
  });
}

int TForm1::MessageBox(const std::string& text, const std::string& caption, int flags) {
  return ShowBox("box", text, caption, flags);
}

void TForm1::ShowMessage(const std::string& text) {
  ShowBox("message", text, QCoreApplication::applicationName().toStdString(), kMbOk);
}

QString TForm1::ConvertFilter(const std::string& filter) {
  const QStringList parts = Qs(filter).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i].trimmed();
    // The toolkit reads the patterns from the last brackets, so those of the
    // description give way to the real ones.
    if (description.endsWith(QLatin1Char(')'))) {
      const qsizetype open = description.lastIndexOf(QLatin1Char('('));
      if (open >= 0) description = description.left(open).trimmed();
    }
    QString patterns = parts[i + 1].trimmed();
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    filters << (description.isEmpty() ? patterns : description + QStringLiteral(" (") + patterns + QLatin1Char(')'));
  }
  if (filters.isEmpty()) return Qs(filter);
  return filters.join(QStringLiteral(";;"));
}

bool TForm1::OpenFileDialog(const std::string& filter, const std::string& defaultExt,
                            std::string& chosenPath) {
  if (closing_) return false;
  const QString qtFilter = ConvertFilter(filter);
  QString path = Qs(boxes_.ShowDialog(qtFilter.toStdString(), defaultExt, [&] {
    QFileDialog dialog(this);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilter(qtFilter);
    dialog.setDefaultSuffix(Qs(defaultExt));
    activeDialog_ = &dialog;
    QString chosen;
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
      chosen = dialog.selectedFiles().constFirst();
    }
    activeDialog_ = nullptr;
    return chosen.toStdString();
  }));
  if (path.isEmpty()) return false;
  // A name typed without an extension gets the default one, unless a file
  // of exactly that name is there.
  if (!defaultExt.empty()) {
    const QFileInfo info(path);
    if (info.suffix().isEmpty() && !info.isFile()) path += QLatin1Char('.') + Qs(defaultExt);
  }
  chosenPath = path.toStdString();
  return true;
}

// ---- Start-up ---------------------------------------------------------------

int RunProgrammer() {
  try {
    auto form1 = std::make_unique<TForm1>();
    Form1 = form1.get();
    auto form2 = std::make_unique<TForm2>();
    Form2 = form2.get();
    form1->show();
    QApplication::exec();
    Form2 = nullptr;
    form2.reset();
    form1.reset();
  } catch (const std::exception& error) {
    ProgrammerApplication::ShowException(error.what());
  } catch (...) {
    ProgrammerApplication::ShowException(std::string());
  }
  Form1 = nullptr;
  Form2 = nullptr;
  return 0;
}
