// Program entry of the applier. The command line and the show state are
// not used: everything comes from the package appended to this file.
#include "ui/progress_dialog.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  return static_cast<int>(RunApplier(instance));
}
