#include "package/utf8.h"

int DecodeUtf8Char(WCHAR* out, const unsigned char* in) {
  unsigned b = in[0];
  if (b < 0x80) {
    *out = static_cast<WCHAR>(b);
    return 1;
  }
  if (b >= 0xC2 && b <= 0xDF) {
    if (in[1] == 0) return 0;
    *out = static_cast<WCHAR>(((b & 0x1F) << 6) | (in[1] & 0x3F));
    return 2;
  }
  if (b >= 0xE0 && b <= 0xEF) {
    if (in[1] == 0 || in[2] == 0) return 0;
    unsigned value =
        ((b & 0x0F) << 12) | ((in[1] & 0x3Fu) << 6) | (in[2] & 0x3Fu);
    *out = static_cast<WCHAR>(value < 0x800 ? 0 : value);
    return 3;
  }
  return 0;
}

int Utf8ToWide(WCHAR* out, const unsigned char* in, int capacity) {
  if (capacity <= 0) return -1;
  int limit = capacity - 1;
  int count = 0;
  // The count never passes the limit, so a cut output still reports it.
  while (*in != 0) {
    if (count >= limit) break;
    int used = DecodeUtf8Char(out + count, in);
    if (used == 0) break;
    in += used;
    ++count;
  }
  if (count < limit) {
    out[count] = 0;
  } else if (count > 0) {
    out[count - 1] = 0;
  } else {
    out[0] = 0;  // capacity 1: only the terminator fits
  }
  return count;
}
