// Arbitrary seeking blocks in a patch entry that is otherwise right (the
// installed file and its digest match), through the worker: the sizes at
// the block's head, the transform's parameters, the instructions, the
// differences and the literal block reach the parsers, the transform and
// the decoder. Input: one byte of options (bit 0: compressed blocks; bits
// 1-2: the transform the entry names; bit 3: instructions grouped by
// field), two bytes of instruction block
// length (little-endian), the instruction block, the literal block.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace testing_support;
  if (size < 3) return 0;
  const size_t length =
      std::min<size_t>(data[1] | static_cast<size_t>(data[2]) << 8, size - 3);
  TestEntry entry =
      PatchEntry("a.bin", fuzzing::kOldContent, ToBytes("the new content"));
  entry.kind |= EntryOptionSeeking |
                static_cast<uint32_t>((data[0] >> 1) & 3)
                    << kEntryTransformShift |
                ((data[0] & 8) != 0 ? EntryOptionGrouped : 0);
  entry.instructions.assign(data + 3, data + 3 + length);
  entry.literal.assign(data + 3 + length, data + size);
  fuzzing::ApplyAndCheck(BuildPackage(
      {entry}, PackageFlagEntryOptions |
                   ((data[0] & 1) != 0 ? PackageFlagCompressed : 0)));
  return 0;
}
