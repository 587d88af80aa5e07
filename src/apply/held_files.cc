#include "apply/held_files.h"

namespace {

// The first pause, and the longest: a hold that ends is noticed within a
// quarter of a second.
constexpr DWORD kFirstPauseMs = 10;
constexpr DWORD kLongestPauseMs = 250;

bool IsHold(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// Repeats `call` while it returns `failed` with a hold's error, until
// kHeldWaitMs have passed.
template <typename Result, typename Call>
Result Waiting(Result failed, Call call) {
  const ULONGLONG start = GetTickCount64();
  DWORD pause = kFirstPauseMs;
  for (;;) {
    Result result = call();
    if (result != failed) return result;
    DWORD error = GetLastError();
    if (!IsHold(error) || GetTickCount64() - start >= kHeldWaitMs)
      return result;
    Sleep(pause);
    pause = pause * 2 < kLongestPauseMs ? pause * 2 : kLongestPauseMs;
  }
}

}  // namespace

HANDLE CreateFileWaiting(LPCWSTR name, DWORD access, DWORD share,
                         DWORD disposition, DWORD flags) {
  return Waiting(INVALID_HANDLE_VALUE, [&] {
    return CreateFileW(name, access, share, nullptr, disposition, flags,
                       nullptr);
  });
}

BOOL MoveFileWaiting(LPCWSTR from, LPCWSTR to) {
  return Waiting(FALSE, [&] { return MoveFileW(from, to); });
}

BOOL DeleteFileWaiting(LPCWSTR name) {
  return Waiting(FALSE, [&] { return DeleteFileW(name); });
}

BOOL SetFileAttributesWaiting(LPCWSTR name, DWORD attributes) {
  return Waiting(FALSE, [&] { return SetFileAttributesW(name, attributes); });
}
