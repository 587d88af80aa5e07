#include "ui/program.h"

#include <vector>

#include "apply/patch_thread.h"
#include "apply/safe_paths.h"
#include "result/result_codes.h"
#include "ui/command_line.h"
#include "ui/progress_dialog.h"
#include "ui/run_log.h"

const WCHAR kAlreadyAppliedText[] =
    WTXT("このパッチはすでに適用されています。");

namespace {

const WCHAR kSilentClass[] = WTXT("SelfpatchSilentRun");

WString FullPath(const WCHAR* name) {
  std::vector<WCHAR> full(kLongPathUnits);
  DWORD length = GetFullPathNameW(name, kLongPathUnits, full.data(), nullptr);
  return length > 0 && length < kLongPathUnits ? WString(full.data(), length)
                                               : WString(name);
}

// Receives the worker's messages in a silent run, on the run's own thread.
LRESULT CALLBACK SilentWindowProc(HWND window, UINT message, WPARAM wParam,
                                  LPARAM lParam) {
  switch (message) {
    case WM_PATCH_FILENAME:
      if (g_runLog != nullptr)
        g_runLog->Begin(reinterpret_cast<const WCHAR*>(lParam));
      return TRUE;
    case WM_PATCH_ERROR:
      if (g_runLog != nullptr) {
        g_runLog->Fail(static_cast<ResultCode>(wParam),
                       reinterpret_cast<const WCHAR*>(lParam));
      }
      return TRUE;
    case WM_PATCH_NOTE:
      if (g_runLog != nullptr) {
        g_runLog->Note(static_cast<RemovalNote>(wParam),
                       reinterpret_cast<const WCHAR*>(lParam));
      }
      return TRUE;
    case WM_PATCH_PROGRESS:
      return TRUE;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

// Load, check and apply on this thread, with nobody to ask.
ResultCode RunSilent(HINSTANCE instance, RunLog* log) {
  SharedArray<PackageLoader> loader;
  loader.Attach(new PackageLoader(instance), 1);
  ResultCode result = loader.Get()->Load();
  if (result != ResultSuccess) {
    log->Finish(result, GetResultMessage(result), WTXT(""));
    return result;
  }
  FolderCheck check = CheckCurrentFolder(*loader.Get());
  if (check.state == FolderApplied) {
    log->Finish(ResultSuccess, kAlreadyAppliedText, WTXT("already applied"));
    return ResultSuccess;
  }
  if (check.state == FolderNotHere) {
    log->Finish(check.failure, GetResultMessage(check.failure), WTXT(""));
    return check.failure;
  }
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = &SilentWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kSilentClass;
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, kSilentClass, nullptr, 0, 0, 0, 0, 0,
                                HWND_MESSAGE, nullptr, instance, nullptr);
  SharedArray<PackageLoader>* published = g_loaderHolder;
  g_loaderHolder = &loader;
  {
    CPatchThread worker(window);
    g_loaderHolder = published;
    result = worker.Run();
  }
  if (window != nullptr) DestroyWindow(window);
  log->Finish(
      result,
      result == ResultSuccess ? kCompleteText : GetResultMessage(result),
      result == ResultSuccess ? WTXT("applied") : WTXT("not applied"));
  return result;
}

}  // namespace

FolderCheck CheckCurrentFolder(const PackageLoader& loader) {
  SharedArray<IHashCode> hash;
  hash.Attach(new CHashSHA256, 1);
  FolderCheck check = CheckFolder(loader, hash);
  if (g_runLog != nullptr) {
    g_runLog->Check(check.state);
    if (check.state == FolderApplied) {
      for (const LoadedEntry& entry : loader.entries)
        g_runLog->Begin(FullPath(entry.name.c_str()).c_str());
    } else if (check.state == FolderNotHere) {
      const WString& name = loader.entries[check.failedEntry].name;
      g_runLog->Fail(check.failure, FullPath(name.c_str()).c_str());
    }
  }
  return check;
}

int RunProgram(HINSTANCE instance, const WCHAR* commandLine) {
  CommandLine options;
  WString bad;
  bool parsed = ParseCommandLine(commandLine, &options, &bad);
  RunLog log;
  if (!options.logFile.empty()) log.Open(options.logFile.c_str());
  std::vector<WCHAR> program(kLongPathUnits);
  DWORD length = GetModuleFileNameW(instance, program.data(), kLongPathUnits);
  log.Line(WTXT("start ") +
           WString(program.data(), length < kLongPathUnits ? length : 0));
  ResultCode failure = ResultSuccess;
  if (!parsed) {
    log.Line(WTXT("unknown switch ") + bad);
    failure = ResultBadCommandLine;
  } else if (!options.folder.empty() &&
             !SetCurrentDirectoryW(options.folder.c_str())) {
    // No folder to patch: as when a target's folder is missing.
    bool missing =
        GetFileAttributesW(options.folder.c_str()) == INVALID_FILE_ATTRIBUTES;
    log.Line(WTXT("folder ") + options.folder +
             (missing ? WTXT(" (no such folder)") : WTXT(" (not a folder)")));
    failure = ResultNoTempName;
  }
  if (failure != ResultSuccess) {
    log.Finish(failure, GetResultMessage(failure), WTXT(""));
    if (!options.silent) ShowError(nullptr, GetResultMessage(failure));
    return options.silent || failure == ResultBadCommandLine
               ? static_cast<int>(failure)
               : 0;
  }
  log.Line(WTXT("folder ") + FullPath(WTXT(".")));
  g_runLog = &log;
  int exitCode = options.silent ? static_cast<int>(RunSilent(instance, &log))
                                : static_cast<int>(RunApplier(instance));
  g_runLog = nullptr;
  return exitCode;
}
