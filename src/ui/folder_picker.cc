#include "ui/folder_picker.h"

namespace {

// The picker's answer as a file-system path.
bool ChosenPath(IFileOpenDialog* picker, WString* folder) {
  IShellItem* item = nullptr;
  if (FAILED(picker->GetResult(&item))) return false;
  LPWSTR path = nullptr;
  bool named = SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path));
  if (named) {
    *folder = path;
    CoTaskMemFree(path);
  }
  item->Release();
  return named;
}

}  // namespace

bool PickFolder(HWND owner, WString* folder) {
  HRESULT initialised = CoInitializeEx(
      nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  IFileOpenDialog* picker = nullptr;
  bool chosen = false;
  if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr,
                                 CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                                 reinterpret_cast<LPVOID*>(&picker)))) {
    FILEOPENDIALOGOPTIONS options = 0;
    picker->GetOptions(&options);
    picker->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
    picker->SetTitle(WTXT("パッチを適用するフォルダーを選択してください"));
    chosen = SUCCEEDED(picker->Show(owner)) && ChosenPath(picker, folder);
    picker->Release();
  }
  if (SUCCEEDED(initialised)) CoUninitialize();
  return chosen;
}
