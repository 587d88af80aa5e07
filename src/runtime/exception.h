// The system's own exception types. They mark programming errors: nothing in
// the system catches them.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class IException {
 public:
  // Keeps at most 127 units of `text`; the rest of `message` is zero.
  IException(const WCHAR* text, int32_t code, int32_t detail);
  IException(const IException& other);
  IException& operator=(const IException&) = delete;
  virtual ~IException();

  WCHAR message[128];
  int32_t code;
  int32_t detail;
};

enum SmartPtrError : int32_t {
  SmartPtrNull = 1,   // element access through an empty holder
  SmartPtrRange = 2,  // element position outside 0..capacity-1
};

class smart_ptr_exception : public IException {
 public:
  explicit smart_ptr_exception(int32_t code);
  smart_ptr_exception(const smart_ptr_exception& other) = default;
};
