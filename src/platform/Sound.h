// Asynchronous playback of a WAV file named by path. Starting a sound stops
// the one of this program still playing; a file that is missing or cannot be
// played gives the system's alert sound instead, and no error.
#pragma once

#include <functional>
#include <string>

namespace platform {

void PlaySoundFile(const std::string& path);

// The window installs its player (Qt Multimedia on Linux); tests install a
// recorder. An empty function restores the system default.
using SoundPlayer = std::function<void(const std::string& path)>;
void SetSoundPlayer(SoundPlayer player);

}  // namespace platform
