// selfpatch apply PATCH.exe [DIR]: applies the patch to DIR with the
// applier's own loader, folder check, worker and commit, its progress on
// the terminal. `selfpatch verify` goes the same way with the worker only
// checking, so that it answers what apply would do.
#include <cstdio>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

#include "apply/commit_journal.h"
#include "apply/folder_check.h"
#include "apply/patch_thread.h"
#include "apply/safe_paths.h"
#include "cli/common.h"
#include "cli/progress.h"
#include "package/name_rule.h"
#include "package/sha256.h"

namespace fs = std::filesystem;

namespace {

// The worker's messages, shown on the terminal through the progress view;
// what became of each removal, shown once the patch is applied.
ProgressView* g_view = nullptr;
const PackageLoader* g_applying = nullptr;
size_t g_failures = 0;
std::vector<std::pair<RemovalNote, std::string>> g_notes;

// "error 7: ...: PATH", and for a code 7 the folder that is missing.
void PrintFailure(FILE* out, ResultCode code, const WCHAR* path) {
  std::fprintf(out, "selfpatch: %s: %s\n", Describe(code).c_str(),
               EscapeName(Utf8(path)).c_str());
  WString missing =
      code == ResultNoTempName ? MissingFolderOn(path) : WString();
  if (!missing.empty()) {
    std::fprintf(out, "selfpatch: no such folder: %s\n",
                 EscapeName(Utf8(missing.c_str())).c_str());
  }
}

LRESULT CALLBACK TerminalWindow(HWND window, UINT message, WPARAM wParam,
                                LPARAM lParam) {
  switch (message) {
    case WM_PATCH_FILENAME: {
      const LoadedEntry& entry = g_applying->entries[wParam];
      bool writes = entry.kind == EntryKindPatch || entry.kind == EntryKindAdd;
      g_view->StartEntry(wParam, Kind(entry.kind), Utf8(entry.name.c_str()),
                         writes ? entry.record.newSize : 0);
      return TRUE;
    }
    case WM_PATCH_NOTE:
      g_notes.push_back({static_cast<RemovalNote>(wParam),
                         Utf8(reinterpret_cast<const WCHAR*>(lParam))});
      return TRUE;
    case WM_PATCH_PROGRESS:
      g_view->Advance(*reinterpret_cast<const double*>(wParam));
      return TRUE;
    case WM_PATCH_ERROR:
      g_view->Finish();
      PrintFailure(stderr, static_cast<ResultCode>(wParam),
                   reinterpret_cast<const WCHAR*>(lParam));
      ++g_failures;
      return TRUE;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

// Runs the worker over the loaded package in the current folder, its
// messages on the terminal.
ResultCode RunWorker(SharedArray<PackageLoader>* loader, bool checkOnly,
                     bool quiet) {
  const PackageLoader& loaded = *loader->Get();
  uint64_t totalBytes = 0;
  for (const LoadedEntry& entry : loaded.entries) {
    if (entry.kind == EntryKindPatch || entry.kind == EntryKindAdd)
      totalBytes += entry.record.newSize;
  }
  ProgressView view(stderr, ProgressView::ModeFor(stderr, quiet || checkOnly),
                    loaded.entries.size(), totalBytes);
  g_view = &view;
  g_applying = &loaded;
  g_failures = 0;
  g_notes.clear();
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = &TerminalWindow;
  windowClass.lpszClassName = WTXT("SelfpatchTerminal");
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, WTXT(""), 0, 0, 0,
                                0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ResultCode result;
  g_loaderHolder = loader;
  {
    CPatchThread worker(window);
    g_loaderHolder = nullptr;
    worker.checkOnly = checkOnly;
    result = worker.Run();
  }
  DestroyWindow(window);
  view.Finish();
  g_view = nullptr;
  g_applying = nullptr;
  return result;
}

struct ApplyArgs {
  std::string patch, dir;
  bool yes = false, quiet = false;
};

}  // namespace

int RunPatch(const std::string& patchPath, const std::string& dirPath,
             const RunOptions& options) {
  const bool checkOnly = options.checkOnly;
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
    std::printf("already applied: every file is up to date, nothing %s\n",
                checkOnly ? "to change" : "changed");
    return 0;
  }
  if (check.state == FolderNotHere) {
    std::printf("not this folder: none of the files to patch is here (%s)\n",
                Describe(check.failure).c_str());
    return static_cast<int>(check.failure);
  }
  std::string shownDir = EscapeName(dir.u8string());
  if (checkOnly && fs::exists(fs::u8path(Utf8(kJournalName)))) {
    std::printf(
        "a run cut short left %s in %s: apply first finishes or undoes it, "
        "then judges the files as below\n",
        Utf8(kJournalName).c_str(), shownDir.c_str());
  }
  if (options.ask) {
    std::printf("Apply %s to %s? [y/N] (%s) ",
                Plural(loaded.entries.size(), "entry", "entries").c_str(),
                shownDir.c_str(), "差分パッチを適応します。よろしいですか？");
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "yes")) {
      std::printf("not applied; nothing changed\n");
      return kExitDeclined;
    }
  }
  result = RunWorker(&loader, checkOnly, options.quiet);
  if (checkOnly) {
    if (result == ResultSuccess) {
      std::printf("the patch would apply\n");
    } else {
      std::printf("the patch would not apply: %s (the first stops apply)\n",
                  Plural(g_failures, "problem", "problems").c_str());
    }
  } else if (result == ResultSuccess) {
    std::printf("patch applied (%s)\n", "パッチ作業が完了しました。");
  }
  if (result == ResultSuccess || checkOnly) {
    for (const auto& note : g_notes)
      PrintRemovalNote(note.first, note.second, checkOnly);
  }
  if (result == ResultOpenSource || result == ResultNoTempName) {
    std::fprintf(stderr, "selfpatch: %sis %s the program's folder?\n",
                 checkOnly ? "" : "nothing changed; ", shownDir.c_str());
  } else if (result != ResultSuccess && !checkOnly) {
    std::fprintf(stderr, "selfpatch: nothing changed\n");
  }
  return static_cast<int>(result);
}

Command AddApplyCommand(CLI::App* app) {
  auto args = std::make_shared<ApplyArgs>();
  CLI::App* command = app->add_subcommand(
      "apply", "apply a patch to DIR, as the applier would");
  AddPatchAndFolder(command, &args->patch, &args->dir);
  command->add_flag("-y,--yes", args->yes, "do not ask before applying");
  command->add_flag("-q,--quiet", args->quiet, "no progress");
  command->footer(RunStatuses("applied, or already applied (nothing changed)") +
                  "  66    not confirmed at the prompt; nothing changed\n");
  return {command, [args] {
            RunOptions options;
            options.ask = !args->yes;
            options.quiet = args->quiet;
            return RunPatch(args->patch, args->dir, options);
          }};
}
