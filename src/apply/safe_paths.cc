#include "apply/safe_paths.h"

#include <vector>

namespace {

bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

// The full, long form of a path; empty when it cannot be resolved.
WString Resolved(const WCHAR* path) {
  std::vector<WCHAR> full(kLongPathUnits), longer(kLongPathUnits);
  DWORD length = GetFullPathNameW(path, kLongPathUnits, full.data(), nullptr);
  if (length == 0 || length >= kLongPathUnits) return WString();
  length = GetLongPathNameW(full.data(), longer.data(), kLongPathUnits);
  if (length == 0 || length >= kLongPathUnits) return WString(full.data());
  return WString(longer.data(), length);
}

// The path of the folder `path` names with every link on the way followed,
// in the long form; empty when the file system cannot say.
WString FinalPath(const WCHAR* path) {
  HANDLE folder = CreateFileW(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return WString();
  std::vector<WCHAR> final(kLongPathUnits);
  DWORD length =
      GetFinalPathNameByHandleW(folder, final.data(), kLongPathUnits,
                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(folder);
  if (length == 0 || length >= kLongPathUnits) return WString();
  return WString(final.data(), length);
}

// Whether `path` is `folder` or lies below it.
bool IsAtOrBelow(const WString& path, const WString& folder) {
  if (folder.empty() || path.size() < folder.size()) return false;
  if (CompareStringOrdinal(path.data(), static_cast<int>(folder.size()),
                           folder.data(), static_cast<int>(folder.size()),
                           TRUE) != CSTR_EQUAL) {
    return false;
  }
  return path.size() == folder.size() || IsSeparator(path[folder.size()]) ||
         IsSeparator(folder.back());
}

}  // namespace

bool RunFolder::Resolve() {
  std::vector<WCHAR> full(kLongPathUnits);
  DWORD length =
      GetFullPathNameW(WTXT("."), kLongPathUnits, full.data(), nullptr);
  if (length == 0 || length >= kLongPathUnits) return false;
  WString path(full.data(), length);
  // A drive's root keeps its separator: "\\?\C:" is the volume itself.
  while (path.size() > 1 && IsSeparator(path.back()) &&
         !(path.size() == 3 && path[1] == u':'))
    path.pop_back();
  if (path.compare(0, 4, WTXT("\\\\?\\")) == 0 ||
      path.compare(0, 4, WTXT("\\\\.\\")) == 0) {
    folder_ = path;  // already the long form
  } else if (path.compare(0, 2, WTXT("\\\\")) == 0) {
    folder_ = WTXT("\\\\?\\UNC") + path.substr(1);  // a share
  } else {
    folder_ = WTXT("\\\\?\\") + path;
  }
  return true;
}

WString RunFolder::Full(const WString& relative) const {
  WString full = folder_;
  if (relative.empty()) return full;
  if (!IsSeparator(full.back())) full += u'\\';
  for (WCHAR c : relative) full += c == u'/' ? u'\\' : c;
  return full;
}

bool ReachedWithoutLinks(const RunFolder& folder, const WString& name,
                         WString* link) {
  for (size_t end = 0; end < name.size(); ++end) {
    bool last = end + 1 == name.size();
    if (!last && !(IsSeparator(name[end + 1]) && !IsSeparator(name[end])))
      continue;
    WString prefix = name.substr(0, end + 1);
    DWORD attributes = GetFileAttributesW(folder.Full(prefix).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD error = GetLastError();
      // Nothing below a missing component exists either.
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return true;
    } else if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      continue;
    }
    *link = prefix;
    return false;
  }
  return true;
}

WString FolderOf(const WString& name) {
  size_t separator = name.find_last_of(WTXT("\\/"));
  return separator == WString::npos ? WString() : name.substr(0, separator);
}

WString MissingFolderOn(const WString& path) {
  WString missing;
  for (WString folder = FolderOf(path); !folder.empty();
       folder = FolderOf(folder)) {
    if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) break;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) break;
    missing = folder;
  }
  return missing;
}

bool InWindowsFolder() {
  WString current = Resolved(WTXT("."));
  if (current.empty()) return true;
  // A junction may lead into the Windows folder from anywhere: its target
  // is compared too, where the file system can name it.
  const WString final = FinalPath(WTXT("."));
  UINT(WINAPI* const folders[])
  (LPWSTR, UINT) = {&GetWindowsDirectoryW, &GetSystemWindowsDirectoryW,
                    &GetSystemWow64DirectoryW};
  std::vector<WCHAR> buffer(kLongPathUnits);
  for (auto folder : folders) {
    UINT length = folder(buffer.data(), kLongPathUnits);
    if (length == 0 || length >= kLongPathUnits) continue;  // none, as on x86
    if (IsAtOrBelow(current, Resolved(buffer.data())) ||
        IsAtOrBelow(final, FinalPath(buffer.data()))) {
      return true;
    }
  }
  return false;
}
