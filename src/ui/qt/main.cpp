#include "ui/qt/Application.h"
#include "ui/qt/Programmer.h"

int main(int argc, char** argv) {
  ProgrammerApplication app(argc, argv);
  return RunProgrammer();
}
