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

std::u16string Convert(const std::string& utf8, int capacity, int* result) {
  std::u16string out(capacity > 0 ? capacity : 1, u'#');
  *result = Utf8ToWide(reinterpret_cast<WCHAR*>(&out[0]),
                       reinterpret_cast<const unsigned char*>(utf8.c_str()),
                       capacity);
  return std::u16string(out.c_str());
}

TEST(Utf8ToWide, StopsAndCuts) {
  int result;
  EXPECT_EQ(u"ab", Convert("abc", 4, &result));  // the last unit gives way
  EXPECT_EQ(3, result);
  EXPECT_EQ(u"A", Convert("A\xC0"
                          "B",
                          10, &result));  // stops at a byte that starts nothing
  EXPECT_EQ(1, result);
  EXPECT_EQ(u"n", Convert("n\xE0\x80\x80m", 10, &result));  // a NUL unit
  EXPECT_EQ(3, result);
  Convert("abc", 0, &result);
  EXPECT_EQ(-1, result);
}

}  // namespace
