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
//
// The seeking form (an entry with EntryOptionSeeking) reads the old file
// from anywhere and takes near-copies: old bytes plus a byte-wise
// difference (mod 256) from a third stream, the differences. Its block is
//
//   u32 parameter size P, u32 instruction part size I (little-endian),
//   P bytes: the code transform's parameters (apply/code_transform.h), there
//     exactly when the entry names a transform,
//   I bytes: the instruction part (as an original block is stored: the bits,
//     or with PackageFlagCompressed their count and stream),
//   the rest: the differences (the bytes, or one stream; none when empty).
//
// The differences are counted: each non-zero difference comes after the
// number of zero ones before it (a byte of 255 for every 255 zeros, then
// one byte below 255), and zeros after the last non-zero one are their
// number alone. The differences 00 00 07 00 are 02 07 01; 300 zeros are
// FF 2D. A count cut short, a difference after a count that is missing or
// zero, or zeros counted that no Add takes make the block invalid. The
// seeking form takes its literal bytes and differences to their last byte,
// plain or compressed; bytes it leaves over fail the entry.
//
// Its opcodes: Copy n and Insert n as above; Seek (2), then one bit (1:
// towards the start) and a length code d >= 1, moves the old position by d
// without reading; Add n (3) appends n old bytes, each plus the next
// difference byte. Add 0 is the end marker. A Seek of 0 or one that leaves
// the old file (its end is a position too) makes the block invalid.
//
// Worked example: the block 07 47 8D 14 20 3C 00 is
//
//   00000111 01000111 10001101 00010100 00100000 00111100 00000000
//   00 00011 | 10 1 00011 | 11 00011 | 01 00010 | 10 0 00100 | 00 00011 |
//   Copy 3     Seek back 3  Add 3      Insert 2   Seek on 4    Copy 3
//   11 00000 | 00000 (padding)
//   end
//
// Over the old file "ABCDEFGHIJ", the literal block "xy" and the
// differences 00 01 02 (stored 01 01 00 02) it builds "ABCACExyHIJ": ABC
// copied, back to A, A+0 B+1 C+2 added, xy inserted, on from D to H, HIJ
// copied.
//
// With EntryOptionGrouped the instruction part holds the same instructions
// as bytes, grouped by field, which compress better than the bits: a u32
// count N, N opcode bytes (0 Copy, 1 Insert, 2 Seek on, 3 Add, 4 Seek
// back), then the lengths of the Copies, of the Inserts, the Seeks'
// distances and the lengths of the Adds, each group in the order of its
// opcodes, each length a LEB128 number (7 bits a byte, low bits first, the
// top bit set on every byte but the last; at most five bytes, 1 to
// 4,294,967,295). The instructions end after the Nth, with the part: a
// part with bytes left over, a group that runs past it, a zero length or an
// unknown opcode makes the block invalid. The example above is
//
//   06 00 00 00 | 00 04 03 01 02 00 | 03 03 | 02 | 03 04 | 03
//   N = 6         opcodes             Copies  Insert Seeks Add
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

// The seeking form reads the opcodes Copy and Insert as above, and these.
enum SeekingOp : uint32_t {
  Seek = 2,  // the old file's position moves, either way
  Add = 3,   // old bytes plus as many difference bytes to the new file
};
// The grouped coding's opcode of a Seek back (a Seek on is Seek), and the
// number of opcodes it has.
constexpr uint8_t kGroupedSeekBack = 4;
constexpr uint8_t kGroupedOps = 5;

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

// One instruction of the seeking form.
struct SeekingStep {
  uint32_t op = 0;      // Copy, Insert, Seek or Add
  uint32_t length = 0;  // for a Seek the distance
  bool back = false;    // a Seek towards the old file's start
};

// The instructions of the seeking form, in either coding.
class ISeekingSteps {
 public:
  enum Result { kStep, kEnd, kInvalid };
  virtual ~ISeekingSteps() = default;
  // The next instruction into `step`; kEnd after the last one, kInvalid
  // (then for ever) where the coding is broken.
  virtual Result Next(SeekingStep* step) = 0;
};

// The bits: opcodes and length codes, up to the end marker (Add 0).
class CBitSteps : public ISeekingSteps {
 public:
  explicit CBitSteps(const SharedArray<uint8_t>& block) : reader(block) {}
  Result Next(SeekingStep* step) override;

 private:
  BitReader reader;
  bool ended = false;
};

// The grouped bytes (EntryOptionGrouped). The whole part is checked when
// it is read: the count, the opcodes and where each group starts and ends.
class CGroupedSteps : public ISeekingSteps {
 public:
  explicit CGroupedSteps(const SharedArray<uint8_t>& block);
  Result Next(SeekingStep* step) override;

 private:
  // One group of lengths per opcode, in the opcodes' order: a group is
  // indexed by its opcode.
  static constexpr int kGroups = 4;
  // The number at `position`, which moves past it; 0 where it does not end
  // within five bytes inside the part or is larger than 32 bits.
  uint64_t Number(int32_t* position) const;

  SharedArray<uint8_t> bytes;
  int32_t size = 0;
  int32_t count = 0;    // instructions
  int32_t next = 0;     // the next one's index
  int32_t at[kGroups];  // where each group's next length is
  bool invalid = false;
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
  // The same for the seeking form, in chunks of at most 16 KiB: per chunk,
  // old (or literal) bytes are read first, then differences are added, then
  // the chunk is written. False also for a Seek of 0 or one that leaves the
  // old file, before a chunk that would take the output past `newSize`
  // bytes (copies that seek back can repeat the old file without end), and
  // at the end marker with zero differences counted and not taken.
  static bool DecodeSeeking(COldFileReader& old, CFileWriteData& output,
                            ISeekingSteps& instructions,
                            CFileReadData& literalStream,
                            CFileReadData& differenceStream, uint64_t newSize);
};
