#include <windows.h>

#include <cstring>
#include <string>

#include "ProjectVersion.h"
#include "ui/win32/Programmer.h"

namespace {

// A window program has no console of its own: the version goes to standard
// output when it is redirected, else to the console it was started from.
int PrintVersion() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS))
    out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                      nullptr);
  const std::string text = std::string("tavrin-programmer ") + TAVRIN_VERSION + "\r\n";
  DWORD written = 0;
  return out != nullptr && out != INVALID_HANDLE_VALUE &&
                 WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                 written == text.size()
             ? 0
             : 2;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  // The arguments after the program's name, separated by blanks.
  for (char* word = std::strtok(commandLine, " \t"); word != nullptr; word = std::strtok(nullptr, " \t")) {
    if (std::strcmp(word, "--version") == 0) return PrintVersion();
  }
  return RunProgrammer();
}
