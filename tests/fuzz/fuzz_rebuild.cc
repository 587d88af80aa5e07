// Arbitrary instruction and literal blocks in a patch entry that is
// otherwise right (the installed file and its digest match), so that they
// reach RebuildFile and the decoder through the worker. Input: two bytes of
// instruction length (little-endian; its top bit set makes the package one
// with compressed literal blocks), the instructions, the literal block.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace testing_support;
  if (size < 2) return 0;
  bool compressed = (data[1] & 0x80) != 0;
  size_t length = std::min<size_t>(data[0] | ((data[1] & 0x7F) << 8), size - 2);
  TestEntry entry =
      PatchEntry("a.bin", fuzzing::kOldContent, ToBytes("the new content"));
  entry.instructions.assign(data + 2, data + 2 + length);
  entry.literal.assign(data + 2 + length, data + size);
  fuzzing::ApplyAndCheck(
      BuildPackage({entry}, compressed ? PackageFlagCompressed : 0));
  return 0;
}
