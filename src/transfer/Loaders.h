// The update firmware and write data map actions.
#pragma once

void LoadFirmwareImage();  // Button2Click
void LoadDataMap();        // Button4Click
void Button2Click();
void Button4Click();
