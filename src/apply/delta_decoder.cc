#include "apply/delta_decoder.h"

#include <cstring>

namespace {

constexpr uint32_t kChunkSize = 1024;
// The seeking form's chunks: its copies come from a cache in memory, and
// its near-copies are mostly long.
constexpr uint32_t kSeekingChunkSize = 16384;
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

// The differences of near-copies from their counted form (see the header),
// read from the stream a buffer at a time. No more than `room` differences
// are taken in all (the new file's bytes): a count beyond what is left of
// them fails as it is read, not after up to 2 * `room` more stream bytes.
class CountedDifferences {
 public:
  CountedDifferences(CFileReadData& stream, uint64_t room)
      : stream_(stream), room_(room) {}

  // Adds the next `count` differences to `bytes`, or false when the stream
  // ends first: the zeros counted leave their bytes as they are.
  bool Add(uint8_t* bytes, uint32_t count) {
    if (count > room_) return false;
    room_ -= count;
    while (count > 0) {
      if (zeros_ > 0) {
        uint32_t piece = zeros_ < count ? static_cast<uint32_t>(zeros_) : count;
        bytes += piece;
        count -= piece;
        zeros_ -= piece;
        continue;
      }
      uint8_t byte = 0;
      if (!Next(&byte)) return false;
      if (counted_) {
        if (byte == 0) return false;  // zeros are counted, never stored
        *bytes++ += byte;
        --count;
        counted_ = false;
        continue;
      }
      zeros_ = byte;
      while (byte == 255) {
        if (!Next(&byte)) return false;
        zeros_ += byte;
        if (zeros_ > room_ + count) return false;
      }
      counted_ = true;
    }
    return true;
  }

  // True when every zero counted and every byte read ahead was taken;
  // bytes left in the stream are for its owner to find.
  bool Finished() const { return zeros_ == 0 && next_ == end_; }

 private:
  bool Next(uint8_t* byte) {
    if (next_ == end_) {
      uint32_t delivered = 0;
      stream_.Read(buffer_, sizeof buffer_, &delivered);
      if (delivered == 0) return false;
      next_ = 0;
      end_ = delivered;
    }
    *byte = buffer_[next_++];
    return true;
  }

  CFileReadData& stream_;
  uint64_t room_;         // differences not yet asked for
  uint64_t zeros_ = 0;    // counted and not yet taken
  bool counted_ = false;  // a non-zero difference comes next
  uint8_t buffer_[4096];
  uint32_t next_ = 0, end_ = 0;  // the bytes of buffer_ not yet taken
};

}  // namespace

ISeekingSteps::Result CBitSteps::Next(SeekingStep* step) {
  if (ended) return kInvalid;
  step->op = reader.ReadBits(2);
  step->back = step->op == Seek && reader.ReadBits(1) == 1;
  step->length = reader.ReadLength();
  if (reader.Failed()) return kInvalid;
  if (step->length != 0) return kStep;
  ended = true;
  return step->op == Add ? kEnd : kInvalid;
}

CGroupedSteps::CGroupedSteps(const SharedArray<uint8_t>& block)
    : bytes(block), size(block.capacity - block.index) {
  uint32_t declared = 0;
  for (int i = 0; i < 4 && i < size; ++i)
    declared |= uint32_t{*bytes.At(i)} << (8 * i);
  if (size < 4 || declared > static_cast<uint32_t>(size - 4)) {
    invalid = true;
    return;
  }
  count = static_cast<int32_t>(declared);
  // Each group starts where the one before it ends.
  int32_t lengths[kGroups] = {};
  for (int32_t i = 0; i < count; ++i) {
    uint8_t op = *bytes.At(4 + i);
    if (op >= kGroupedOps) {
      invalid = true;
      return;
    }
    ++lengths[op == kGroupedSeekBack ? uint8_t{Seek} : op];
  }
  int32_t position = 4 + count;
  for (int group = 0; group < kGroups; ++group) {
    at[group] = position;
    for (int32_t i = 0; i < lengths[group]; ++i) {
      if (Number(&position) == 0) {
        invalid = true;
        return;
      }
    }
  }
  invalid = position != size;
}

uint64_t CGroupedSteps::Number(int32_t* position) const {
  uint64_t value = 0;
  for (int shift = 0; shift < 35 && *position < size; shift += 7) {
    uint8_t byte = *bytes.At((*position)++);
    value |= uint64_t{byte & 0x7Fu} << shift;
    if ((byte & 0x80) == 0) return value <= UINT32_MAX ? value : 0;
  }
  return 0;
}

ISeekingSteps::Result CGroupedSteps::Next(SeekingStep* step) {
  if (invalid) return kInvalid;
  if (next == count) return kEnd;
  uint8_t op = *bytes.At(4 + next++);
  step->back = op == kGroupedSeekBack;
  step->op = step->back ? uint32_t{Seek} : op;
  // The lengths were all found and checked when the part was read.
  step->length = static_cast<uint32_t>(Number(&at[step->op]));
  return kStep;
}

bool DeltaDecoder::DecodeSeeking(COldFileReader& old, CFileWriteData& output,
                                 ISeekingSteps& instructions,
                                 CFileReadData& literalStream,
                                 CFileReadData& differenceStream,
                                 uint64_t newSize) {
  SharedArray<uint8_t> chunk;
  chunk.Allocate(kSeekingChunkSize);
  uint8_t* bytes = chunk.Get();
  CountedDifferences counted(differenceStream, newSize);
  uint64_t at = 0;  // the old file's position
  SeekingStep step;
  for (;;) {
    ISeekingSteps::Result result = instructions.Next(&step);
    if (result != ISeekingSteps::kStep)
      return result == ISeekingSteps::kEnd && counted.Finished();
    const uint32_t op = step.op;
    if (op == Seek) {
      uint64_t distance = step.length;
      if (step.back ? distance > at : distance > old.size - at) return false;
      at = step.back ? at - distance : at + distance;
      continue;
    }
    uint32_t length = step.length;
    if (length > newSize - output.written) return false;
    while (length > 0) {
      uint32_t piece = length < kSeekingChunkSize ? length : kSeekingChunkSize;
      if (op == Insert) {
        if (!ReadAll(literalStream, bytes, piece)) return false;
      } else {
        if (!old.Read(at, bytes, piece)) return false;
        at += piece;
      }
      if (op == Add && !counted.Add(bytes, piece)) return false;
      output.Write(bytes, piece);
      length -= piece;
    }
  }
}
