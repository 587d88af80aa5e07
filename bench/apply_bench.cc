// Applies a patch executable to a folder natively, with a window that does
// nothing but count the worker's messages: the cost of applying without a
// dialog, and how many progress messages a run sends. Beside it, in the
// same run, the whole-patch check that precedes every run: on the folder
// as it was (sizes only, unless every file already has its new size) and
// on the patched folder (every new file hashed: its worst case).
//   apply_bench PATCH.exe DIR
#include <cstdio>
#include <map>

#include "apply/folder_check.h"
#include "apply/patch_thread.h"
#include "bench_util.h"
#include "standin_control.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: apply_bench PATCH.exe DIR\n");
    return 2;
  }
  std::map<UINT, uint64_t> counts;
  HWND window = standin::CreateSinkWindow([&](UINT id, WPARAM, LPARAM) {
    ++counts[id];
    return static_cast<LRESULT>(TRUE);
  });
  std::filesystem::current_path(argv[2]);
  ResultCode result = 0;
  // The check, timed on its own with the package already loaded.
  auto timeCheck = [&](FolderState* state) {
    SharedArray<PackageLoader> loader;
    loader.Attach(new PackageLoader(standin::RegisterModule(argv[1])), 1);
    if (loader.Get()->Load() != ResultSuccess) return 0.0;
    SharedArray<IHashCode> hash;
    hash.Attach(new CHashSHA256, 1);
    return bench::BestOf(
        3, [&] { *state = CheckFolder(*loader.Get(), hash).state; });
  };
  FolderState before = FolderMixed, after = FolderMixed;
  double checkBefore = timeCheck(&before);
  double seconds = bench::BestOf(1, [&] {
    SharedArray<PackageLoader> loader;
    loader.Attach(new PackageLoader(standin::RegisterModule(argv[1])), 1);
    result = loader.Get()->Load();
    if (result != ResultSuccess) return;
    g_loaderHolder = &loader;
    CPatchThread worker(window);
    g_loaderHolder = nullptr;
    result = worker.Run();
  });
  double checkAfter = timeCheck(&after);
  std::printf(
      "whole-patch check before the run: %.3f ms (state %d); after it: "
      "%.3f ms (state %d)\n",
      checkBefore * 1e3, before, checkAfter * 1e3, after);
  std::printf(
      "native apply: result %u, %.2f s, %llu progress messages, "
      "%llu file names\n",
      result, seconds,
      static_cast<unsigned long long>(counts[WM_PATCH_PROGRESS]),
      static_cast<unsigned long long>(counts[WM_PATCH_FILENAME]));
  return result == ResultSuccess ? 0 : 1;
}
