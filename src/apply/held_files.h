// Calls on targets and temporaries that wait out another program's brief
// hold on a file. A virus scanner or an indexer opens a freshly written
// file for a moment (seconds, for a large executable), and Windows then
// refuses to rename or delete it with ERROR_SHARING_VIOLATION,
// ERROR_LOCK_VIOLATION or ERROR_ACCESS_DENIED. Each call here repeats such
// a failure with a growing pause, for kHeldWaitMs in all, then fails with
// the last error. Any other failure returns at once.
#pragma once

#include "platform/platform.h"

// How long one call waits for a hold to end, in milliseconds.
constexpr ULONGLONG kHeldWaitMs = 5000;

HANDLE CreateFileWaiting(LPCWSTR name, DWORD access, DWORD share,
                         DWORD disposition, DWORD flags);
BOOL MoveFileWaiting(LPCWSTR from, LPCWSTR to);
// Moves `from` onto `to`, replacing the file there (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING).
BOOL ReplaceWaiting(LPCWSTR from, LPCWSTR to);
BOOL DeleteFileWaiting(LPCWSTR name);
// An indexer or Explorer may hold a folder open for a moment too.
BOOL RemoveDirectoryWaiting(LPCWSTR name);
BOOL SetFileAttributesWaiting(LPCWSTR name, DWORD attributes);
