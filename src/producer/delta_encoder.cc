#include "producer/delta_encoder.h"

#include <cstring>

#include "apply/delta_decoder.h"

namespace {

// Length class k holds base(k) .. base(k) + 16^(k+1) - 1.
int LengthClass(uint32_t length, uint64_t* base) {
  *base = 0;
  int k = 0;
  while (length - *base >= (uint64_t{1} << (4 * (k + 1)))) {
    *base += uint64_t{1} << (4 * (k + 1));
    ++k;
  }
  return k;
}

}  // namespace

int LengthCodeBits(uint32_t length) {
  uint64_t base;
  int k = LengthClass(length, &base);
  return 5 * (k + 1);
}

void BitWriter::WriteBits(uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    if (used_ == 8) {
      bytes_.push_back(0);
      used_ = 0;
    }
    if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> used_);
    ++used_;
  }
}

void BitWriter::WriteLength(uint32_t length) {
  uint64_t base;
  int k = LengthClass(length, &base);
  for (int i = 0; i < k; ++i) WriteBits(1, 1);
  WriteBits(0, 1);
  uint64_t payload = length - base;
  for (int group = k; group >= 0; --group) {
    WriteBits(static_cast<uint32_t>((payload >> (4 * group)) & 0xF), 4);
  }
}

std::vector<uint8_t> BitWriter::Finish() {
  WriteBits(kOpReplace, 2);
  WriteLength(0);
  return bytes_;
}

std::vector<uint8_t> EncodeInstructions(
    const std::vector<DeltaInstruction>& instructions) {
  BitWriter writer;
  for (const DeltaInstruction& instruction : instructions) {
    writer.WriteBits(instruction.op, 2);
    writer.WriteLength(instruction.length);
  }
  return writer.Finish();
}

std::vector<uint8_t> EncodeSeekingInstructions(
    const std::vector<SeekingInstruction>& instructions) {
  BitWriter writer;
  for (const SeekingInstruction& instruction : instructions) {
    writer.WriteBits(instruction.op, 2);
    if (instruction.op == kOpSeek) writer.WriteBits(instruction.back, 1);
    writer.WriteLength(instruction.length);
  }
  return writer.Finish();
}

std::vector<uint8_t> EncodeGroupedInstructions(
    const std::vector<SeekingInstruction>& instructions) {
  const auto count = static_cast<uint32_t>(instructions.size());
  std::vector<uint8_t> out(4);
  std::memcpy(out.data(), &count, 4);
  std::vector<uint8_t> groups[4];
  for (const SeekingInstruction& instruction : instructions) {
    const bool back = instruction.op == kOpSeek && instruction.back;
    out.push_back(
        static_cast<uint8_t>(back ? kGroupedSeekBack : instruction.op));
    std::vector<uint8_t>& group = groups[instruction.op];
    uint32_t value = instruction.length;
    for (; value >= 0x80; value >>= 7)
      group.push_back(static_cast<uint8_t>(value | 0x80));
    group.push_back(static_cast<uint8_t>(value));
  }
  for (const std::vector<uint8_t>& group : groups)
    out.insert(out.end(), group.begin(), group.end());
  return out;
}
