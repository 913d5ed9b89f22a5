// The window's sound player and the Timer3 tick that starts the sounds.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <mutex>
#include <thread>

#include "platform/Sound.h"
#include "platform/qt/QtSound.h"
#include "protocol/Messager.h"
#include "support_qt/QtTestSupport.h"
#include "ui/Sounds.h"

using qttest::PumpUntil;
using qttest::TestWindow;

namespace {

struct Outcome {
  std::string path;
  std::string outcome;
  bool onWindowThread;
};

class SoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UpdateReadyFlag = 0;
    UpdateFailedFlag = 0;
    QtSoundPlayer::SetObserverForTest([this](const std::string& path, const std::string& outcome) {
      std::lock_guard lock(mutex_);
      outcomes_.push_back({path, outcome, QThread::currentThread() == QCoreApplication::instance()->thread()});
    });
  }
  void TearDown() override {
    QtSoundPlayer::SetObserverForTest({});
    UpdateReadyFlag = 0;
    UpdateFailedFlag = 0;
  }
  std::vector<Outcome> Outcomes() {
    std::lock_guard lock(mutex_);
    return outcomes_;
  }
  // Waits for n more ticks of Timer3, counted from now.
  bool WaitTicks(TForm1& form, int n) {
    int ticks = 0;
    auto conn = QObject::connect(form.Timer3, &QTimer::timeout, [&] { ++ticks; });
    const bool ok = PumpUntil([&] { return ticks >= n; });
    QObject::disconnect(conn);
    return ok;
  }

  std::mutex mutex_;
  std::vector<Outcome> outcomes_;
};

const std::string kVoiceDir = std::string(TAVRIN_SOURCE_DIR) + "/voice/";

TEST_F(SoundTest, ShippedFilesAreValidWav) {
  for (const char* name : {"update_is_ready.wav", "update_failed.wav"}) {
    QFile file(QString::fromStdString(kVoiceDir + name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    const QByteArray head = file.read(44);
    EXPECT_TRUE(head.startsWith("RIFF")) << name;
    EXPECT_EQ(head.mid(8, 4), QByteArray("WAVE")) << name;
    EXPECT_LT(file.size(), 200 * 1024) << name;
  }
}

TEST_F(SoundTest, PlaysAFileAndBeepsWhenItIsMissingOrBroken) {
  QtSoundPlayer player;
  player.Play(kVoiceDir + "update_is_ready.wav");
  player.Play(kVoiceDir + "no_such_sound.wav");
  QTemporaryDir dir;
  const std::string broken = QDir(dir.path()).filePath(QStringLiteral("broken.wav")).toStdString();
  QFile file(QString::fromStdString(broken));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("this is not a sound at all, just some text that is long enough");
  file.close();
  player.Play(broken);
  ASSERT_TRUE(PumpUntil([&] { return Outcomes().size() >= 4; }));
  const auto outcomes = Outcomes();
  EXPECT_EQ(outcomes[0].path, kVoiceDir + "update_is_ready.wav");
  EXPECT_EQ(outcomes[0].outcome, "play");
  EXPECT_EQ(outcomes[1].outcome, "beep:missing");
  EXPECT_EQ(outcomes[2].path, broken);
  EXPECT_EQ(outcomes[2].outcome, "play");
  EXPECT_EQ(outcomes[3].path, broken);
  EXPECT_EQ(outcomes[3].outcome, "beep:error");
}

TEST_F(SoundTest, InstalledWithTheWindowAndCarriedToItsThread) {
  {
    TestWindow w;
    std::thread t([] { platform::PlaySoundFile("voice//missing_here.wav"); });
    t.join();
    ASSERT_TRUE(PumpUntil([&] { return Outcomes().size() == 1; }));
    EXPECT_EQ(Outcomes()[0].outcome, "beep:missing");
    EXPECT_TRUE(Outcomes()[0].onWindowThread);
  }
  // Without the window the system default plays; the Qt player hears nothing.
  platform::PlaySoundFile("voice//missing_here.wav");
  qttest::ProcessPending();
  EXPECT_EQ(Outcomes().size(), 1u);
}

TEST_F(SoundTest, OwnFilesUnderTheWorkingDirectoryWinOverTheInstalledOnes) {
  QTemporaryDir dir;
  const QDir root(dir.path());
  ASSERT_TRUE(root.mkpath(QStringLiteral("usr/bin")));
  ASSERT_TRUE(root.mkpath(QStringLiteral("usr/share/tavrin-programmer/voice")));
  ASSERT_TRUE(root.mkpath(QStringLiteral("work/voice")));
  const auto touch = [&](const QString& path) {
    QFile file(root.filePath(path));
    return file.open(QIODevice::WriteOnly) && file.write("RIFF") == 4;
  };
  ASSERT_TRUE(touch(QStringLiteral("usr/share/tavrin-programmer/voice/update_is_ready.wav")));
  ASSERT_TRUE(touch(QStringLiteral("usr/share/tavrin-programmer/voice/update_failed.wav")));
  ASSERT_TRUE(touch(QStringLiteral("work/voice/update_failed.wav")));
  const std::string programDir = root.filePath(QStringLiteral("usr/bin")).toStdString();
  const QString before = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(root.filePath(QStringLiteral("work"))));

  const std::string installedReady =
      root.filePath(QStringLiteral("usr/share/tavrin-programmer/voice/update_is_ready.wav"))
          .toStdString();
  EXPECT_EQ(SoundFilePath(kUpdateReadySound, programDir), installedReady);
  EXPECT_EQ(SoundFilePath(kUpdateFailedSound, programDir), kUpdateFailedSound);
  EXPECT_TRUE(QFile::remove(QString::fromStdString(installedReady)));
  EXPECT_EQ(SoundFilePath(kUpdateReadySound, programDir), kUpdateReadySound);
  EXPECT_EQ(SoundFilePath(kUpdateReadySound, ""), kUpdateReadySound);

  QDir::setCurrent(before);
}

TEST_F(SoundTest, Timer3PlaysEachRaisedSoundOnce) {
  TestWindow w;
  UpdateReadyFlag = 1;
  ASSERT_TRUE(PumpUntil([&] { return Outcomes().size() == 1; }));
  EXPECT_EQ(Outcomes()[0].path, kUpdateReadySound);
  EXPECT_EQ(UpdateReadyFlag.load(), 0);
  ASSERT_TRUE(WaitTicks(w.Form(), 3));
  EXPECT_EQ(Outcomes().size(), 1u);

  // Both raised before one tick: ready first, then failed, once each.
  UpdateReadyFlag = 1;
  UpdateFailedFlag = 1;
  ASSERT_TRUE(PumpUntil([&] { return Outcomes().size() == 3; }));
  ASSERT_TRUE(WaitTicks(w.Form(), 3));
  const auto outcomes = Outcomes();
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[1].path, kUpdateReadySound);
  EXPECT_EQ(outcomes[2].path, kUpdateFailedSound);
  for (const Outcome& o : outcomes) EXPECT_TRUE(o.onWindowThread);
}

}  // namespace
