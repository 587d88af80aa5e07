#include "apply/folder_pins.h"

#include "apply/ownership.h"

namespace {

bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

}  // namespace

FolderPins::~FolderPins() { Release(); }

void FolderPins::Release() {
  for (const Pin& pin : pins_) CloseHandle(pin.handle);
  pins_.clear();
}

void FolderPins::Release(const WString& folder) {
  const WString full = folder_.Full(folder);
  for (auto pin = pins_.begin(); pin != pins_.end();) {
    const WString held = folder_.Full(pin->name);
    if (CompareStringOrdinal(held.data(), static_cast<int>(held.size()),
                             full.data(), static_cast<int>(full.size()),
                             TRUE) == CSTR_EQUAL) {
      CloseHandle(pin->handle);
      pin = pins_.erase(pin);
    } else {
      ++pin;
    }
  }
}

Pinned FolderPins::Hold(const WString& folder, WString* problem) {
  for (size_t end = 0; end < folder.size(); ++end) {
    bool last = end + 1 == folder.size();
    if (!last && !(IsSeparator(folder[end + 1]) && !IsSeparator(folder[end])))
      continue;
    WString name = folder.substr(0, end + 1);
    bool held = false;
    for (const Pin& pin : pins_) held = held || pin.name == name;
    if (held) continue;
    HANDLE handle = CreateFileW(
        folder_.Full(name).c_str(),
        FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return Pinned::kHeld;
      *problem = name;
      return Pinned::kFailed;
    }
    BY_HANDLE_FILE_INFORMATION info;
    Pinned result = Pinned::kHeld;
    if (!GetFileInformationByHandle(handle, &info)) {
      result = Pinned::kFailed;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      result = Pinned::kLink;
    } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      // A file where a folder should be: nothing lies below it.
      CloseHandle(handle);
      return Pinned::kHeld;
    } else if (!OwnedByUs(handle)) {
      result = Pinned::kForeign;
    }
    if (result != Pinned::kHeld) {
      CloseHandle(handle);
      *problem = name;
      return result;
    }
    pins_.push_back({name, handle});
  }
  return Pinned::kHeld;
}
