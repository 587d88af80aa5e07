#include "apply/directory.h"

bool IsDirectory(const WCHAR* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateDirectoryTree(const WCHAR* path) {
  if (path == nullptr) return false;
  if (path[0] == 0) return true;
  if (IsDirectory(path)) return true;
  if (CreateDirectoryW(path, nullptr)) return true;
  WString copy(path);
  for (size_t i = 1; i < copy.size(); ++i) {
    WCHAR c = copy[i];
    if ((c != u'\\' && c != u'/') || copy[i - 1] == u':') continue;
    copy[i] = 0;
    bool accepted = IsDirectory(copy.c_str()) ||
                    CreateDirectoryW(copy.c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS;
    copy[i] = c;
    if (!accepted) return false;
  }
  return CreateDirectoryW(path, nullptr) != FALSE;
}
