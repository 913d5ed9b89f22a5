#include <cstdio>
#include <cstring>

#include "ProjectVersion.h"
#include "ui/qt/Application.h"
#include "ui/qt/Programmer.h"

int main(int argc, char** argv) {
  // Answered before any window: it needs no display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("tavrin-programmer %s\n", TAVRIN_VERSION);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
  }
  ProgrammerApplication app(argc, argv);
  return RunProgrammer();
}
