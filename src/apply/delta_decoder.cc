#include "apply/delta_decoder.h"

namespace {

constexpr uint32_t kChunkSize = 1024;
// Length codes have at most 7 one-bits before the groups.
constexpr int kMaxLengthPrefix = 7;
// base(k): 0, 0x10, 0x110, ... 0x11111110.
constexpr uint64_t kLengthBase[kMaxLengthPrefix + 1] = {
    0x0, 0x10, 0x110, 0x1110, 0x11110, 0x111110, 0x1111110, 0x11111110};

}  // namespace

BitReader::BitReader(const SharedArray<uint8_t>& block) : bytes(block) {}

uint32_t BitReader::Fetch(int32_t position) {
  if (failed || position < 0 || position >= bytes.capacity - bytes.index) {
    failed = true;
    return 0;
  }
  return *bytes.At(position);
}

uint32_t BitReader::ReadBits(int n) {
  // Five whole bytes ahead inside the block hold any field of up to 32 bits
  // from any bit position: read them at once.
  if (!failed && bytePosition <= bytes.capacity - bytes.index - 5) {
    const uint8_t* p = bytes.At(bytePosition);
    uint64_t window = (uint64_t{p[0]} << 32) | (uint64_t{p[1]} << 24) |
                      (uint64_t{p[2]} << 16) | (uint64_t{p[3]} << 8) | p[4];
    int end = bitPosition + n;
    bytePosition += end >> 3;
    bitPosition = end & 7;
    return static_cast<uint32_t>((window >> (40 - end)) &
                                 ((uint64_t{1} << n) - 1));
  }
  int p = bitPosition;
  if (n < 8 - p) {
    uint32_t byte = Fetch(bytePosition);
    bitPosition = p + n;
    return failed ? 0 : ((byte & (0xFFu >> p)) >> (8 - p - n));
  }
  uint32_t result = Fetch(bytePosition) & (0xFFu >> p);
  ++bytePosition;
  int remaining = n - (8 - p);
  while (remaining >= 8) {
    result = (result << 8) | Fetch(bytePosition);
    ++bytePosition;
    remaining -= 8;
  }
  if (remaining > 0) {
    result = (result << remaining) | (Fetch(bytePosition) >> (8 - remaining));
  }
  bitPosition = remaining;
  return failed ? 0 : result;
}

uint32_t BitReader::ReadLength() {
  // Eight whole bytes ahead inside the block hold the longest code (40
  // bits) from any bit position: decode it from them at once.
  if (!failed && bytePosition <= bytes.capacity - bytes.index - 8) {
    const uint8_t* p = bytes.At(bytePosition);
    uint64_t window = 0;
    for (int i = 0; i < 8; ++i) window = (window << 8) | p[i];
    window <<= bitPosition;
    // k one-bits, then a zero (the window has at least 57 valid bits).
    int ones = ~window == 0 ? 64 : __builtin_clzll(~window);
    if (ones > kMaxLengthPrefix) {
      failed = true;
      return 0;
    }
    int groups = 4 * (ones + 1);
    uint64_t value = (window << (ones + 1)) >> (64 - groups);
    uint64_t length = kLengthBase[ones] + value;
    int end = bitPosition + ones + 1 + groups;
    bytePosition += end >> 3;
    bitPosition = end & 7;
    if (length > 0xFFFFFFFFu) {
      failed = true;
      return 0;
    }
    return static_cast<uint32_t>(length);
  }
  int ones = 0;
  uint64_t base = 0;
  int shift = 4;
  while (ReadBits(1) == 1) {
    if (++ones > kMaxLengthPrefix) {
      failed = true;
      return 0;
    }
    base += uint64_t{1} << shift;
    shift += 4;
  }
  uint64_t value = 0;
  for (int group = 0; group <= ones; ++group)
    value = (value << 4) | ReadBits(4);
  uint64_t length = base + value;
  if (failed || length > 0xFFFFFFFFu) {
    failed = true;
    return 0;
  }
  return static_cast<uint32_t>(length);
}

bool DeltaDecoder::Decode(CFileReadData& oldStream, CFileWriteData& output,
                          BitReader& instructions,
                          CFileReadData& literalStream) {
  SharedArray<uint8_t> chunk;
  chunk.Allocate(kChunkSize);
  uint8_t* bytes = chunk.Get();
  uint32_t op = instructions.ReadBits(2);
  uint32_t length = instructions.ReadLength();
  while (length != 0) {
    while (length > 0) {
      uint32_t piece = length < kChunkSize ? length : kChunkSize;
      uint32_t delivered;
      // A stream that runs dry means a file that cannot verify: stop, rather
      // than write up to 4 GiB per instruction of bytes nobody has.
      if (op != Insert) {
        oldStream.Read(bytes, piece, &delivered);
        if (delivered < piece) return false;
      }
      if (op == Insert || op == Replace) {
        literalStream.Read(bytes, piece, &delivered);
        if (delivered < piece) return false;
      }
      if (op != Skip) output.Write(bytes, piece);
      length -= piece;
    }
    op = instructions.ReadBits(2);
    length = instructions.ReadLength();
  }
  return !instructions.Failed() && op == Replace;
}

namespace {

// Reads `count` bytes or fails.
bool ReadAll(CFileReadData& stream, uint8_t* bytes, uint32_t count) {
  uint32_t delivered = 0;
  stream.Read(bytes, count, &delivered);
  return delivered == count;
}

}  // namespace

bool DeltaDecoder::DecodeSeeking(COldFileReader& old, CFileWriteData& output,
                                 BitReader& instructions,
                                 CFileReadData& literalStream,
                                 CFileReadData& differenceStream) {
  SharedArray<uint8_t> chunks;
  chunks.Allocate(2 * kChunkSize);
  uint8_t* bytes = chunks.Get();
  uint8_t* differences = bytes + kChunkSize;
  uint64_t at = 0;  // the old file's position
  for (;;) {
    uint32_t op = instructions.ReadBits(2);
    if (op == Seek) {
      bool back = instructions.ReadBits(1) == 1;
      uint64_t distance = instructions.ReadLength();
      if (instructions.Failed() || distance == 0 ||
          (back ? distance > at : distance > old.size - at)) {
        return false;
      }
      at = back ? at - distance : at + distance;
      continue;
    }
    uint32_t length = instructions.ReadLength();
    if (length == 0) return !instructions.Failed() && op == Add;
    while (length > 0) {
      uint32_t piece = length < kChunkSize ? length : kChunkSize;
      if (op == Insert) {
        if (!ReadAll(literalStream, bytes, piece)) return false;
      } else {
        if (!old.Read(at, bytes, piece)) return false;
        at += piece;
      }
      if (op == Add) {
        if (!ReadAll(differenceStream, differences, piece)) return false;
        for (uint32_t i = 0; i < piece; ++i) bytes[i] += differences[i];
      }
      output.Write(bytes, piece);
      length -= piece;
    }
  }
}
