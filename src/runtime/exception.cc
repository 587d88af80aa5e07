#include "runtime/exception.h"

#include <cstring>

IException::IException(const WCHAR* text, int32_t code, int32_t detail)
    : code(code), detail(detail) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  if (length > 127) length = 127;
  std::memset(message, 0, sizeof message);
  std::memcpy(message, text, length * sizeof(WCHAR));
}

IException::IException(const IException& other)
    : code(other.code), detail(other.detail) {
  std::memcpy(message, other.message, sizeof message);
}

IException::~IException() = default;

smart_ptr_exception::smart_ptr_exception(int32_t code)
    : IException(WTXT("smart ptr exception"), code, 0) {}
