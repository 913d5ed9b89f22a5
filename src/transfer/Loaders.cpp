// Placeholder until the unit is written.
#include "transfer/Loaders.h"

void LoadFirmwareImage() {}
void LoadDataMap() {}
void Button2Click() { LoadFirmwareImage(); }
void Button4Click() { LoadDataMap(); }
