// Placeholder until the unit is written.
#include "transfer/ImageStore.h"

ImageStoreT& ImageStore() {
  static auto* store = new ImageStoreT();
  return *store;
}
void SendNextChunk(bool, std::uint16_t) {}
void SendImageClose(ImageKind) {}
void ResetImageStoreForTest() {}
