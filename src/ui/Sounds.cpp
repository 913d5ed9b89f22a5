#include "ui/Sounds.h"

#include "platform/Sound.h"
#include "protocol/Messager.h"

void Timer3Timer() {
  // Each flag is cleared before its sound starts, so a request raised while
  // the sound starts is not lost.
  if (UpdateReadyFlag.exchange(0) == 1) platform::PlaySoundFile(kUpdateReadySound);
  if (UpdateFailedFlag.exchange(0) == 1) platform::PlaySoundFile(kUpdateFailedSound);
}
