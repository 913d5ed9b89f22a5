#pragma once

#include <string>

inline constexpr const char* kUpdateReadySound = "voice//update_is_ready.wav";
inline constexpr const char* kUpdateFailedSound = "voice//update_failed.wav";

// Where an installation keeps the sounds, relative to the program's directory:
// the voice folder beside the program (Windows: the install folder and the
// zip), else the shared folder of a Linux installation.
inline constexpr const char* kInstalledVoiceDirs[] = {"voice", "../share/tavrin-programmer/voice"};

// The file to play for one of the sounds above: the name itself when that file
// is there under the working directory (a user's own sounds win); else the
// copy installed with the program in programDir; else the name itself, so a
// missing file still gives the alert sound.
std::string SoundFilePath(const char* name, const std::string& programDir);

// Each tick of Timer3: play the sounds the dispatcher asked for.
void Timer3Timer();
