// Reference-counted holder of one platform file handle and the function that
// closes it. INVALID_HANDLE_VALUE is "no handle": attaching it leaves the
// holder empty, and nothing is closed later.
#pragma once

#include "platform/platform.h"

class SharedHandle {
 public:
  typedef BOOL(WINAPI* ReleaseFunction)(HANDLE);

  SharedHandle() = default;
  SharedHandle(const SharedHandle& other) { Share(other); }
  SharedHandle& operator=(const SharedHandle& other) {
    if (this != &other) {
      Release();
      Share(other);
    }
    return *this;
  }
  ~SharedHandle() { Release(); }

  void Attach(HANDLE handle, ReleaseFunction closer) {
    Release();
    if (handle == INVALID_HANDLE_VALUE) return;
    refs = new int(1);
    value = handle;
    release = closer;
  }

  // The held handle; INVALID_HANDLE_VALUE when empty.
  HANDLE Get() const { return refs == nullptr ? INVALID_HANDLE_VALUE : value; }
  bool IsValid() const { return refs != nullptr; }

  void Release() {
    if (refs == nullptr) return;
    if (--*refs == 0) {
      delete refs;
      if (release != nullptr) release(value);
    }
    value = nullptr;
    refs = nullptr;
    release = nullptr;
  }

  HANDLE value = nullptr;
  int* refs = nullptr;
  ReleaseFunction release = nullptr;

 private:
  void Share(const SharedHandle& other) {
    if (other.refs == nullptr) return;
    value = other.value;
    refs = other.refs;
    release = other.release;
    ++*refs;
  }
};
