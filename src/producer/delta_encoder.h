// Writing instruction blocks: the inverse of the applier's BitReader.
#pragma once

#include <cstdint>
#include <vector>

// Opcodes as the decoder reads them.
enum : uint32_t { kOpCopy = 0, kOpInsert = 1, kOpSkip = 2, kOpReplace = 3 };

struct DeltaInstruction {
  uint32_t op;
  uint32_t length;  // never 0: a zero length is the end marker's alone
};

// Opcodes of the seeking form besides kOpCopy and kOpInsert.
enum : uint32_t { kOpSeek = 2, kOpAdd = 3 };

struct SeekingInstruction {
  uint32_t op;
  uint32_t length;    // never 0; for kOpSeek the distance
  bool back = false;  // kOpSeek: towards the old file's start
};

// Bits of the length code for `length`: 5, 10, 15, ... 40.
int LengthCodeBits(uint32_t length);

// Appends fields most significant bit first.
class BitWriter {
 public:
  void WriteBits(uint32_t value, int count);
  // k one-bits, a zero, then k + 1 groups of four bits: the shortest code
  // whose class holds the length.
  void WriteLength(uint32_t length);
  // Writes the end marker (Replace 0), pads with zero bits and returns the
  // block: the marker always ends in its last byte.
  std::vector<uint8_t> Finish();

 private:
  std::vector<uint8_t> bytes_;
  int used_ = 8;  // bits used in the last byte
};

std::vector<uint8_t> EncodeInstructions(
    const std::vector<DeltaInstruction>& instructions);
// The seeking form: a Seek is its opcode, a direction bit (1: back) and a
// length code.
std::vector<uint8_t> EncodeSeekingInstructions(
    const std::vector<SeekingInstruction>& instructions);
// The same grouped by field, as an entry with EntryOptionGrouped holds
// them (apply/delta_decoder.h).
std::vector<uint8_t> EncodeGroupedInstructions(
    const std::vector<SeekingInstruction>& instructions);
