// Arbitrary seeking blocks in a patch entry that is otherwise right (the
// installed file and its digest match), through the worker: the sizes at
// the block's head, the transform's parameters, the instructions, the
// differences and the literal block reach the parsers, the transform and
// the decoder. Input: one byte of options (bit 0: compressed blocks; bits
// 1-2: the transform the entry names; bit 3: instructions grouped by
// field; bit 4: the literal bytes are a window of a shared stream; bit 5:
// the streams are Zstandard frames), two
// bytes of instruction block length (little-endian), the instruction
// block, the literal block. With bit 4 the literal block is the window's
// skip and length (a byte each), then the stream, which a directory entry
// after the patched one carries as its block.
#include <cstring>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace testing_support;
  if (size < 3) return 0;
  const size_t length =
      std::min<size_t>(data[1] | static_cast<size_t>(data[2]) << 8, size - 3);
  const bool shared = (data[0] & 16) != 0;
  TestEntry entry =
      PatchEntry("a.bin", fuzzing::kOldContent, ToBytes("the new content"));
  entry.kind |= EntryOptionSeeking |
                static_cast<uint32_t>((data[0] >> 1) & 3)
                    << kEntryTransformShift |
                ((data[0] & 8) != 0 ? EntryOptionGrouped : 0) |
                (shared ? EntryOptionSharedLiteral : 0) |
                ((data[0] & 32) != 0 ? EntryOptionZstd : 0);
  entry.instructions.assign(data + 3, data + 3 + length);
  entry.literal.assign(data + 3 + length, data + size);
  const uint32_t flags = PackageFlagEntryOptions |
                         ((data[0] & 1) != 0 ? PackageFlagCompressed : 0);
  if (!shared || entry.literal.size() < 2) {
    fuzzing::ApplyAndCheck(BuildPackage({entry}, flags));
    return 0;
  }
  TestEntry carrier = DirectoryEntry("d");
  carrier.literal.assign(entry.literal.begin() + 2, entry.literal.end());
  SharedLiteral window{0, carrier.literal.size(), entry.literal[0],
                       entry.literal[1]};
  entry.literal.assign(sizeof window, 0);
  // The carrier's block is the package's last: where it starts does not
  // depend on what the window holds.
  window.streamOffset =
      BuildPackage({entry, carrier}, flags).size() - carrier.literal.size();
  std::memcpy(entry.literal.data(), &window, sizeof window);
  fuzzing::ApplyAndCheck(BuildPackage({entry, carrier}, flags));
  return 0;
}
