#include "ui/progress_dialog.h"

#include "result/result_codes.h"
#include "package/package_loader.h"
#include "ui/resource.h"

SharedArray<CPatchThread>* g_workerHolder = nullptr;

namespace {

constexpr WORD kProgressRange = 10000;

// WM_INITDIALOG: load and verify, ask, start the worker.
void Initialise(HWND dialog, HINSTANCE instance) {
  g_loaderHolder->Attach(new PackageLoader(instance), 1);
  ResultCode result = g_loaderHolder->Get()->Load();
  if (result != ResultSuccess) {
    PostMessageW(dialog, WM_PATCH_ERROR, result, 0);
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
    case WM_PATCH_ERROR:
      ShowError(dialog, GetResultMessage(static_cast<ResultCode>(wParam)));
      PostMessageW(dialog, WM_PATCH_QUIT, 0, 0);
      return TRUE;
    case WM_PATCH_COMPLETE:
      MessageBoxW(dialog, WTXT("パッチ作業が完了しました。"), WTXT("正常終了"),
                  MB_OK | MB_ICONINFORMATION);
      PostMessageW(dialog, WM_PATCH_QUIT, 0, 0);
      return TRUE;
    case WM_PATCH_FILENAME:
      SetDlgItemTextW(dialog, IDC_STATUS_TEXT,
                      reinterpret_cast<const WCHAR*>(lParam));
      return TRUE;
    case WM_PATCH_PROGRESS: {
      double fraction = *reinterpret_cast<const double*>(wParam);
      auto position = static_cast<int64_t>(fraction * kProgressRange);
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
