// selfpatch apply PATCH.exe [DIR]: applies the patch to DIR with the
// applier's own loader, worker, checks and commit, its progress on the
// terminal.
#include <cstdio>
#include <iostream>
#include <memory>

#include "apply/folder_check.h"
#include "apply/patch_thread.h"
#include "cli/common.h"
#include "cli/progress.h"
#include "package/name_rule.h"
#include "package/sha256.h"

namespace fs = std::filesystem;

namespace {

// The worker's messages, shown on the terminal through the progress view.
ProgressView* g_view = nullptr;
const PackageLoader* g_applying = nullptr;
LRESULT CALLBACK TerminalWindow(HWND window, UINT message, WPARAM wParam,
                                LPARAM lParam) {
  switch (message) {
    case WM_PATCH_FILENAME: {
      const LoadedEntry& entry = g_applying->entries[wParam];
      g_view->StartEntry(wParam, Kind(entry.record.kind),
                         Utf8(entry.name.c_str()),
                         (entry.record.kind & 0xFF) == EntryKindDirectory
                             ? 0
                             : entry.record.newSize);
      return TRUE;
    }
    case WM_PATCH_PROGRESS:
      g_view->Advance(*reinterpret_cast<const double*>(wParam));
      return TRUE;
    case WM_PATCH_ERROR:
      g_view->Finish();
      std::fprintf(stderr, "selfpatch: %s: %s\n",
                   Describe(static_cast<ResultCode>(wParam)).c_str(),
                   Utf8(reinterpret_cast<const WCHAR*>(lParam)).c_str());
      return TRUE;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

int Apply(const std::string& patchPath, const std::string& dirPath, bool yes,
          bool quiet) {
  fs::path patch = fs::absolute(fs::u8path(patchPath));
  fs::path dir = FolderOrCurrent(dirPath);
  SharedArray<PackageLoader> loader;
  loader.Attach(new PackageLoader(nullptr), 1);
  ResultCode result = LoadPatch(patch, loader.Get());
  if (result != ResultSuccess) return static_cast<int>(result);
  const PackageLoader& loaded = *loader.Get();
  fs::current_path(dir);
  SharedArray<IHashCode> hash;
  hash.Attach(new CHashSHA256, 1);
  FolderCheck check = CheckFolder(loaded, hash);
  if (check.state == FolderApplied) {
    std::printf("already applied: every file is up to date, nothing changed\n");
    return 0;
  }
  if (check.state == FolderNotHere) {
    std::printf("not this folder: none of the files to patch is here (%s)\n",
                Describe(check.failure).c_str());
    return static_cast<int>(check.failure);
  }
  if (!yes) {
    std::printf("Apply %s to %s? [y/N] (%s) ",
                Plural(loaded.entries.size(), "entry", "entries").c_str(),
                EscapeName(dir.u8string()).c_str(),
                "差分パッチを適応します。よろしいですか？");
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "yes")) {
      std::printf("not applied; nothing changed\n");
      return kExitDeclined;
    }
  }
  uint64_t totalBytes = 0;
  for (const LoadedEntry& entry : loaded.entries) {
    uint8_t kind = static_cast<uint8_t>(entry.record.kind);
    if (kind == EntryKindPatch || kind == EntryKindAdd)
      totalBytes += entry.record.newSize;
  }
  ProgressView view(stderr, ProgressView::ModeFor(stderr, quiet),
                    loaded.entries.size(), totalBytes);
  g_view = &view;
  g_applying = &loaded;
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = &TerminalWindow;
  windowClass.lpszClassName = WTXT("SelfpatchTerminal");
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, WTXT(""), 0, 0, 0,
                                0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  g_loaderHolder = &loader;
  {
    CPatchThread worker(window);
    g_loaderHolder = nullptr;
    result = worker.Run();
  }
  DestroyWindow(window);
  view.Finish();
  g_view = nullptr;
  g_applying = nullptr;
  if (result == ResultSuccess) {
    std::printf("patch applied (%s)\n", "パッチ作業が完了しました。");
  } else if (result == ResultOpenSource || result == ResultNoTempName) {
    std::fprintf(stderr,
                 "selfpatch: nothing changed; is %s the program's folder? "
                 "(selfpatch verify lists what is missing)\n",
                 EscapeName(dir.u8string()).c_str());
  } else {
    std::fprintf(stderr, "selfpatch: nothing changed\n");
  }
  return static_cast<int>(result);
}

struct ApplyArgs {
  std::string patch, dir;
  bool yes = false, quiet = false;
};

}  // namespace

Command AddApplyCommand(CLI::App* app) {
  auto args = std::make_shared<ApplyArgs>();
  CLI::App* command = app->add_subcommand(
      "apply", "apply a patch to DIR, as the applier would");
  AddPatchAndFolder(command, &args->patch, &args->dir);
  command->add_flag("-y,--yes", args->yes, "do not ask before applying");
  command->add_flag("-q,--quiet", args->quiet, "no progress");
  return {command, [args] {
            return Apply(args->patch, args->dir, args->yes, args->quiet);
          }};
}
