// The instruction block of a patched entry, and the decoder that rebuilds
// the new file from it.
//
// Bits are read from the most significant bit of each byte down, bytes in
// increasing order; a field of n bits is the number whose first bit read is
// its most significant. One instruction is a 2-bit opcode and a length code:
//
//   length code: k one-bits, a zero bit, then k + 1 groups of 4 bits
//   (payload P); the length is base(k) + P with base(0) = 0 and
//   base(k) = 16 + 16^2 + ... + 16^k. So 0-15 take 5 bits, 16-271 take 10,
//   272-4,367 take 15, ... up to 4,294,967,295 with k = 7.
//
// Worked example: the block 0A 8E 16 1C 00 is
//
//   00001010 10001110 00010110 00011100 00000000
//   00 00101 | 01 00011 | 10 00010 | 11 00001 | 11 00000 | 00000 (padding)
//   Copy 5     Insert 3   Skip 2     Replace 1  end
//
// Over the old file "ABCDEFGHIJ" and the literal block "xyzw" it builds
// "ABCDExyzw": A-E copied, x-z inserted, F-G skipped, H dropped for w.
// The end marker is Replace with length 0; a zero length with any other
// opcode makes the block invalid.
#pragma once

#include <cstdint>

#include "apply/file_data.h"
#include "runtime/shared_array.h"

enum DeltaOp : uint32_t {
  Copy = 0,     // old bytes to the new file
  Insert = 1,   // literal bytes to the new file
  Skip = 2,     // old bytes dropped
  Replace = 3,  // old bytes dropped, as many literal bytes to the new file
};

// Reads fields from an instruction block held wholly in memory. It never
// fetches a byte outside the block: a read that wants bits past the block's
// end, or a length code whose value does not fit in 32 bits, marks the reader
// failed, and every read after that returns 0.
class BitReader {
 public:
  explicit BitReader(const SharedArray<uint8_t>& bytes);

  // The next n bits, 1 <= n <= 32.
  uint32_t ReadBits(int n);
  // One length code.
  uint32_t ReadLength();
  bool Failed() const { return failed; }

 private:
  // The byte at `position`, or 0 (and failed) outside the block.
  uint32_t Fetch(int32_t position);

  SharedArray<uint8_t> bytes;
  int32_t bytePosition = 0;
  int bitPosition = 0;
  bool failed = false;
};

class DeltaDecoder {
 public:
  // Runs the instructions until their end marker, moving bytes in chunks of
  // at most 1,024: per chunk, old bytes are read first, then literal bytes,
  // then the chunk is written. True when the block ended with the end
  // marker; false for a zero-length Copy, Insert or Skip, a block that
  // ends (or whose length overflows) before its end marker, or an
  // instruction that wants more old or literal bytes than are left. The
  // output is not flushed.
  static bool Decode(CFileReadData& oldStream, CFileWriteData& output,
                     BitReader& instructions, CFileReadData& literalStream);
};
