#include "ui/Sounds.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/ProgramFile.h"
#include "platform/Sound.h"
#include "protocol/Messager.h"

namespace fs = std::filesystem;

std::string SoundFilePath(const char* name, const std::string& programDir) {
  std::error_code error;
  if (fs::is_regular_file(name, error)) return name;
  if (programDir.empty()) return name;
  try {
    // Paths are UTF-8 on both sides; the path type would read a narrow string
    // in the local code page on Windows.
    const fs::path dir(std::u8string(programDir.begin(), programDir.end()));
    for (const char* voiceDir : kInstalledVoiceDirs) {
      const fs::path installed =
          (dir / voiceDir / fs::path(name).filename()).lexically_normal();
      if (fs::is_regular_file(installed, error)) {
        const std::u8string utf8 = installed.u8string();
        return std::string(utf8.begin(), utf8.end());
      }
    }
  } catch (...) {
    // A path the system cannot spell: as good as missing.
  }
  return name;
}

namespace {

void PlayNamedSound(const char* name) {
  platform::PlaySoundFile(SoundFilePath(name, platform::ProgramDirectory()));
}

// With TAVRIN_SHOW_SOUND_PATHS set, the first tick tells on stderr which file
// each sound would be played from: a check of an installation that needs no
// firmware update to be run.
void ShowSoundPathsIfAsked() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (std::getenv("TAVRIN_SHOW_SOUND_PATHS") == nullptr) return;
    const std::string programDir = platform::ProgramDirectory();
    for (const char* name : {kUpdateReadySound, kUpdateFailedSound}) {
      std::fprintf(stderr, "%s: %s\n", name, SoundFilePath(name, programDir).c_str());
    }
    std::fflush(stderr);
  });
}

}  // namespace

void Timer3Timer() {
  ShowSoundPathsIfAsked();
  // Each flag is cleared before its sound starts, so a request raised while
  // the sound starts is not lost.
  if (UpdateReadyFlag.exchange(0) == 1) PlayNamedSound(kUpdateReadySound);
  if (UpdateFailedFlag.exchange(0) == 1) PlayNamedSound(kUpdateFailedSound);
}
