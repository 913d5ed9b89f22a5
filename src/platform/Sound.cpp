#include "platform/Sound.h"

#include <mutex>

namespace platform {

// Defined once per system (platform/linux, platform/win32).
void SystemPlaySoundFile(const std::string& path);

namespace {
std::mutex g_soundMutex;
SoundPlayer& Player() {
  static SoundPlayer* player = new SoundPlayer();  // outlives every thread at exit
  return *player;
}
}  // namespace

void PlaySoundFile(const std::string& path) {
  SoundPlayer player;
  {
    std::lock_guard lock(g_soundMutex);
    player = Player();
  }
  if (player) {
    player(path);
  } else {
    SystemPlaySoundFile(path);
  }
}

void SetSoundPlayer(SoundPlayer player) {
  std::lock_guard lock(g_soundMutex);
  Player() = std::move(player);
}

}  // namespace platform
