#include "ui/Application.h"
#include "ui/Programmer.h"

int main(int argc, char** argv) {
  ProgrammerApplication app(argc, argv);
  return RunProgrammer();
}
