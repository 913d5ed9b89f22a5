#pragma once

inline constexpr const char* kUpdateReadySound = "voice//update_is_ready.wav";
inline constexpr const char* kUpdateFailedSound = "voice//update_failed.wav";

// Each tick of Timer3: play the sounds the dispatcher asked for.
void Timer3Timer();
