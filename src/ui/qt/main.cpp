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
      if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
      // As the other programs say it: no success claimed for nothing shown.
      std::fputs("tavrin-programmer: standard output cannot be written\n", stderr);
      return 2;
    }
  }
  ProgrammerApplication app(argc, argv);
  return RunProgrammer();
}
