#include "apply/directory.h"

#include <vector>

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
  // The folders on the way are made from the deepest one that exists down:
  // a full path's root ("C:", "\\?\C:", a share) is never made.
  const WString copy(path);
  std::vector<size_t> ends;
  for (size_t i = 1; i < copy.size(); ++i) {
    bool separator = copy[i] == u'\\' || copy[i] == u'/';
    bool after = copy[i - 1] == u'\\' || copy[i - 1] == u'/';
    if (separator && !after) ends.push_back(i);
  }
  size_t first = ends.size();
  while (first > 0 && !IsDirectory(copy.substr(0, ends[first - 1]).c_str()))
    --first;
  for (size_t i = first; i < ends.size(); ++i) {
    WString folder = copy.substr(0, ends[i]);
    if (!CreateDirectoryW(folder.c_str(), nullptr) &&
        !IsDirectory(folder.c_str()))
      return false;
  }
  return CreateDirectoryW(path, nullptr) || IsDirectory(path);
}
