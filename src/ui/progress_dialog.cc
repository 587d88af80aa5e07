#include "ui/progress_dialog.h"

#include "package/package_loader.h"
#include "result/result_codes.h"
#include "ui/folder_picker.h"
#include "ui/program.h"
#include "ui/resource.h"
#include "ui/run_log.h"

SharedArray<CPatchThread>* g_workerHolder = nullptr;

const WCHAR kCompleteText[] = WTXT("パッチ作業が完了しました。");

namespace {

// WM_INITDIALOG: load and verify, ask, start the worker.
void Initialise(HWND dialog, HINSTANCE instance) {
  g_loaderHolder->Attach(new PackageLoader(instance), 1);
  ResultCode result = g_loaderHolder->Get()->Load();
  if (result != ResultSuccess) {
    PostMessageW(dialog, WM_PATCH_ERROR, result, 0);
    return;
  }
  // Started outside the program's folder: the user shows the way, or ends
  // with what a run here would have failed with.
  FolderCheck check = CheckCurrentFolder(*g_loaderHolder->Get());
  while (check.state == FolderNotHere) {
    WString folder;
    if (!PickFolder(dialog, &folder) || !SetCurrentDirectoryW(folder.c_str())) {
      PostMessageW(dialog, WM_PATCH_ERROR, check.failure, 0);
      return;
    }
    if (g_runLog != nullptr) g_runLog->Line(WTXT("folder ") + folder);
    check = CheckCurrentFolder(*g_loaderHolder->Get());
  }
  if (check.state == FolderApplied) {
    PostMessageW(dialog, WM_PATCH_COMPLETE, kCompleteAlreadyApplied, 0);
    return;
  }
  if (ConfirmApply(dialog) == IDNO) {
    PostMessageW(dialog, WM_PATCH_QUIT, 0, 0);
    return;
  }
  g_workerHolder->Attach(new CPatchThread(dialog), 1);
  g_workerHolder->Get()->Start();
  // The worker's messages are sent to this thread, so none is handled
  // before this returns: the range and position are in place first.
  HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
  SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressRange));
  SendMessageW(bar, PBM_SETPOS, 0, 0);
}

}  // namespace

int ConfirmApply(HWND owner) {
  return MessageBoxW(owner, WTXT("差分パッチを適応します。よろしいですか？"),
                     WTXT("実行確認"), MB_YESNO | MB_ICONQUESTION);
}

void ShowError(HWND owner, const WCHAR* message) {
  MessageBoxW(owner, message, WTXT("エラー"), MB_OK | MB_ICONERROR);
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam,
                                    LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      Initialise(dialog, reinterpret_cast<HINSTANCE>(lParam));
      return TRUE;
    case WM_CLOSE:
      if (MessageBoxW(dialog, WTXT("終了します。よろしいですか？"),
                      WTXT("終了確認"), MB_YESNO | MB_ICONQUESTION) == IDYES) {
        EndDialog(dialog, 0);
      }
      return TRUE;
    case WM_PATCH_QUIT:
      EndDialog(dialog, 0);
      return TRUE;
    case WM_PATCH_ERROR: {
      auto code = static_cast<ResultCode>(wParam);
      if (g_runLog != nullptr) {
        g_runLog->Fail(code, reinterpret_cast<const WCHAR*>(lParam));
        g_runLog->Finish(code, GetResultMessage(code), WTXT("not applied"));
      }
      ShowError(dialog, GetResultMessage(code));
      PostMessageW(dialog, WM_PATCH_QUIT, 0, 0);
      return TRUE;
    }
    case WM_PATCH_COMPLETE: {
      bool applied = wParam == kCompleteAlreadyApplied;
      const WCHAR* text = applied ? kAlreadyAppliedText : kCompleteText;
      if (g_runLog != nullptr) {
        g_runLog->Finish(ResultSuccess, text,
                         applied ? WTXT("already applied") : WTXT("applied"));
      }
      MessageBoxW(dialog, text, WTXT("正常終了"), MB_OK | MB_ICONINFORMATION);
      PostMessageW(dialog, WM_PATCH_QUIT, 0, 0);
      return TRUE;
    }
    case WM_PATCH_FILENAME:
      if (g_runLog != nullptr)
        g_runLog->Begin(reinterpret_cast<const WCHAR*>(lParam));
      SetDlgItemTextW(dialog, IDC_STATUS_TEXT,
                      reinterpret_cast<const WCHAR*>(lParam));
      return TRUE;
    case WM_PATCH_NOTE:
      if (g_runLog != nullptr) {
        g_runLog->Note(static_cast<RemovalNote>(wParam),
                       reinterpret_cast<const WCHAR*>(lParam));
      }
      return TRUE;
    case WM_PATCH_PROGRESS: {
      int64_t position =
          ProgressPosition(*reinterpret_cast<const double*>(wParam));
      SendMessageW(GetDlgItem(dialog, IDC_PROGRESS), PBM_SETPOS,
                   static_cast<WPARAM>(static_cast<uint32_t>(position)), 0);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

INT_PTR RunApplier(HINSTANCE instance) {
  SharedArray<PackageLoader> loader;
  SharedArray<CPatchThread> worker;
  g_loaderHolder = &loader;
  g_workerHolder = &worker;
  INT_PTR result =
      DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                      &ProgressDialogProc, reinterpret_cast<LPARAM>(instance));
  loader.Release();
  worker.Release();
  g_loaderHolder = nullptr;
  g_workerHolder = nullptr;
  return result;
}
