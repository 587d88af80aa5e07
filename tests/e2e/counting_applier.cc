// The applier with a count of the progress messages its dialog receives, for
// the benchmarks: the shipped program's dialog and worker, unchanged, with a
// hook on the dialog's thread that sees every message sent to its windows.
// When the dialog has ended, the count is written as decimal text to the
// file named by the command line.
//   counting_applier.exe COUNT-FILE
#include <cstdio>

#include "ui/progress_dialog.h"

namespace {

unsigned long long g_progressMessages = 0;

LRESULT CALLBACK CountProgress(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION &&
      reinterpret_cast<const CWPSTRUCT*>(lParam)->message ==
          WM_PATCH_PROGRESS) {
    ++g_progressMessages;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, &CountProgress, nullptr,
                                 GetCurrentThreadId());
  if (hook == nullptr) return 1;
  INT_PTR result = RunApplier(instance);
  UnhookWindowsHookEx(hook);
  FILE* file = _wfopen(commandLine, L"wb");
  if (file == nullptr) return 1;
  std::fprintf(file, "%llu\n", g_progressMessages);
  std::fclose(file);
  return static_cast<int>(result);
}
