// Arbitrary bytes through Utf8ToWide, into a buffer of exactly the given
// capacity: the result stays within it and is terminated.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "package/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int capacity = 1 + data[0] % 64;
  std::vector<unsigned char> input(data + 1, data + size);
  input.push_back(0);
  for (int units : {capacity, 2048}) {
    std::vector<WCHAR> out(static_cast<size_t>(units));
    int count = Utf8ToWide(out.data(), input.data(), units);
    if (count < 0 || count > units - 1) std::abort();
    if (std::find(out.begin(), out.end(), 0) == out.end()) std::abort();
  }
  return 0;
}
