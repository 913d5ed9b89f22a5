// The window's sound player: asynchronous WAV playback through Qt Multimedia.
// A new sound stops the one still playing; a file that is missing or cannot
// be played gives the desktop's alert (QApplication::beep) and no message.
#pragma once

#include <QObject>
#include <functional>
#include <string>

class QSoundEffect;

class QtSoundPlayer : public QObject {
 public:
  // Installs itself with platform::SetSoundPlayer; the destructor puts the
  // system default back. Lives on the window thread; PlaySoundFile may be
  // called from any thread and is carried there.
  explicit QtSoundPlayer(QObject* parent = nullptr);
  ~QtSoundPlayer() override;

  void Play(const std::string& path);

  // Tests: told of every outcome on the window thread, with the path and
  // "play" (playback started), "beep:missing" (no such file) or "beep:error"
  // (the file could not be played).
  using Observer = std::function<void(const std::string& path, const std::string& outcome)>;
  static void SetObserverForTest(Observer observer);

 private:
  void Report(const std::string& path, const std::string& outcome);
  void Beep(const std::string& path, const char* reason);

  QSoundEffect* current_ = nullptr;
};
