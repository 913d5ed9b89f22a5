#include <windows.h>

#include "ui/win32/Programmer.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return RunProgrammer(); }
