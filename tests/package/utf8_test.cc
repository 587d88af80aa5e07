#include "package/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DecodeUtf8Char, Table) {
  struct Case {
    std::string bytes;
    int consumed;
    char16_t unit;
  } cases[] = {
      {"A", 1, u'A'},
      {"\x7F", 1, 0x7F},
      {"\xC2\x80", 2, 0x80},
      {"\xDF\xBF", 2, 0x7FF},
      {"\xE0\xA0\x80", 3, 0x800},  // the least three-byte form
      {"\xEF\xBF\xBF", 3, 0xFFFF},
      {"\xE0\x9F\xBF", 3, 0},  // overlong 0x7FF: a NUL unit
      {"\xC3\x29", 2, 0xE9},   // continuation top bits are not tested
      {"\x80", 0, 0},
      {"\xC1\xBF", 0, 0},
      {"\xF0\x9F\x98\x80", 0, 0},  // four-byte sequences are not decoded
      // Cut short by the string's end: never consumes the terminator.
      {"\xC3", 0, 0},
      {"\xE3\x81", 0, 0},
  };
  for (const Case& c : cases) {
    WCHAR unit = 0;
    int consumed = DecodeUtf8Char(
        &unit, reinterpret_cast<const unsigned char*>(c.bytes.c_str()));
    EXPECT_EQ(c.consumed, consumed) << c.bytes;
    if (consumed > 0) {
      EXPECT_EQ(c.unit, unit) << c.bytes;
    }
  }
}

}  // namespace
