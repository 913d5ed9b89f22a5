// The progress gauge: a window of its own class, drawn by itself as a bar with
// a single border, filled from the left in navy on white, with the whole
// percentage centred over it. Its window text is that percentage, so
// assistive tools read what it shows.
#pragma once

#include <windows.h>

HWND CreateGauge(HWND parent, int x, int y, int width, int height, HINSTANCE instance);
// Values outside 0..100 are taken as the nearest end.
void SetGaugeValue(HWND gauge, int percent);
int GaugeValue(HWND gauge);
