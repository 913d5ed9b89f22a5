// The file-open dialog: the filter in the toolkit's form and the default
// extension for a name typed without one.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "support_qt/QtTestSupport.h"

using qttest::TestWindow;

namespace {

TEST(FileDialog, FilterIsConverted) {
  EXPECT_EQ(TForm1::ConvertFilter("binary file SBIN (*.sbin)|*.sbin"), QStringLiteral("binary file SBIN (*.sbin)"));
  EXPECT_EQ(TForm1::ConvertFilter("карта данных LBIN (*.lbin)|*.lbin"),
            QStringLiteral("карта данных LBIN (*.lbin)"));
  EXPECT_EQ(TForm1::ConvertFilter("Images|*.sbin;*.lbin|All (*.*)|*.*"),
            QStringLiteral("Images (*.sbin *.lbin);;All (*.*)"));
}

TEST(FileDialog, ChosenCancelledAndDefaultExtension) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string base = QDir(dir.path()).filePath(QStringLiteral("fw")).toStdString();
  TestWindow w;
  std::string path = "unchanged";

  w.QueueDialogAnswer("");
  EXPECT_FALSE(Window().OpenFileDialog("binary file SBIN (*.sbin)|*.sbin", "sbin", path));
  EXPECT_EQ(path, "unchanged");

  w.QueueDialogAnswer(base);  // typed without an extension
  ASSERT_TRUE(Window().OpenFileDialog("binary file SBIN (*.sbin)|*.sbin", "sbin", path));
  EXPECT_EQ(path, base + ".sbin");

  w.QueueDialogAnswer(base + ".bin");
  ASSERT_TRUE(Window().OpenFileDialog("binary file SBIN (*.sbin)|*.sbin", "sbin", path));
  EXPECT_EQ(path, base + ".bin");

  // A file that really has no extension is taken as it is.
  QFile plain(QString::fromStdString(base));
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  plain.close();
  w.QueueDialogAnswer(base);
  ASSERT_TRUE(Window().OpenFileDialog("binary file SBIN (*.sbin)|*.sbin", "sbin", path));
  EXPECT_EQ(path, base);

  const auto boxes = w.Boxes();
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[0].kind, "dialog");
  EXPECT_EQ(boxes[0].text, "binary file SBIN (*.sbin)");
  EXPECT_EQ(boxes[0].caption, "sbin");
  EXPECT_EQ(boxes[0].answer, 0);
  EXPECT_EQ(boxes[1].answer, 1);
}

}  // namespace
