// Program entry of the applier: the switches of the command line, then the
// dialog (or, with /S, a silent run). The show state is not used.
#include "ui/program.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  return RunProgram(instance, commandLine);
}
