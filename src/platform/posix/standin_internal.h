// Shared pieces of the POSIX stand-in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform_os.h"

namespace standin {

// Base of every object a HANDLE points to. Handles are reference counted so
// that a thread outlives the closing of its handle.
struct KernelObject {
  virtual ~KernelObject() = default;
  // For waitable objects: whether a wait would succeed now, and what a
  // successful wait consumes. Called with SyncMutex() held.
  virtual bool IsSignaled() const { return false; }
  virtual void Consume() {}
  std::atomic<int> refs{1};
};

// Registers a new object and returns its handle.
HANDLE NewHandle(KernelObject* object);
// The object behind a live handle with one more reference, or null.
KernelObject* AcquireHandle(HANDLE handle);
void ReleaseObject(KernelObject* object);

// One lock and condition for every waitable object. Like the rest of the
// stand-in's tables they live as long as the process, as the kernel's do: a
// thread still ending after main returns may touch them, so they are never
// destroyed. Signals are sent with the lock held, so a waiter that has seen
// an object signaled is never still ahead of the notification.
std::mutex& SyncMutex();
std::condition_variable& SyncCondition();

// UTF-16 path (either separator) to a UTF-8 path with '/'.
// A "\\?\" prefix is dropped.
std::string NativePath(LPCWSTR path);
// NativePath for a file call: as Windows without the prefix takes no path
// whose full form reaches MAX_PATH units, such a path names nothing here
// (empty: every call on it fails as on a missing file).
std::string FilePath(LPCWSTR path);
std::string ToUtf8(const std::u16string& text);
std::u16string FromUtf8(const std::string& text);

// Counts one call of `function`; true when a fault makes it fail (the last
// error is then already set).
bool InjectFault(const char* function);
// Adds a call that succeeded to the file log (see FileCalls).
void LogFileCall(const char* function, const std::string& path,
                 const std::string& newPath = std::string());
// Records a deletion MoveFileExW scheduled (see ScheduledDeletions).
void ScheduleDeletion(const std::string& path);
// Sets the last error from errno.
void SetErrorFromErrno(int error);

}  // namespace standin
