#include "apply/held_files.h"

namespace {

// The first pause, and the longest: a hold that ends is noticed within a
// quarter of a second.
constexpr DWORD kFirstPauseMs = 10;
constexpr DWORD kLongestPauseMs = 250;

// Whether `error`, from a call on `name`, may be another program's hold. A
// folder where a file is expected is refused access too, and that lasts.
bool IsHold(DWORD error, LPCWSTR name) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
    return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  DWORD attributes = GetFileAttributesW(name);
  SetLastError(error);
  return attributes == INVALID_FILE_ATTRIBUTES ||
         !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Repeats `call` on `name` while it returns `failed` with a hold's error,
// until kHeldWaitMs have passed.
template <typename Result, typename Call>
Result Waiting(Result failed, LPCWSTR name, Call call) {
  const ULONGLONG start = GetTickCount64();
  DWORD pause = kFirstPauseMs;
  for (;;) {
    Result result = call();
    if (result != failed) return result;
    DWORD error = GetLastError();
    if (!IsHold(error, name) || GetTickCount64() - start >= kHeldWaitMs)
      return result;
    Sleep(pause);
    pause = pause * 2 < kLongestPauseMs ? pause * 2 : kLongestPauseMs;
  }
}

}  // namespace

HANDLE CreateFileWaiting(LPCWSTR name, DWORD access, DWORD share,
                         DWORD disposition, DWORD flags) {
  return Waiting(INVALID_HANDLE_VALUE, name, [&] {
    return CreateFileW(name, access, share, nullptr, disposition, flags,
                       nullptr);
  });
}

BOOL MoveFileWaiting(LPCWSTR from, LPCWSTR to) {
  return Waiting(FALSE, from, [&] { return MoveFileW(from, to); });
}

BOOL ReplaceWaiting(LPCWSTR from, LPCWSTR to) {
  return Waiting(FALSE, from, [&] {
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING);
  });
}

BOOL DeleteFileWaiting(LPCWSTR name) {
  return Waiting(FALSE, name, [&] { return DeleteFileW(name); });
}

BOOL RemoveDirectoryWaiting(LPCWSTR name) {
  return Waiting(FALSE, name, [&] { return RemoveDirectoryW(name); });
}

BOOL SetFileAttributesWaiting(LPCWSTR name, DWORD attributes) {
  return Waiting(FALSE, name,
                 [&] { return SetFileAttributesW(name, attributes); });
}
