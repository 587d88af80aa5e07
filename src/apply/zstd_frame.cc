#include "apply/zstd_frame.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kMagic = 0xFD2FB528u;

uint32_t Load16(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0] | bytes[1] << 8);
}

uint32_t Load32(const uint8_t* bytes) {
  return Load16(bytes) | Load16(bytes + 2) << 16;
}

// Up to 8 bytes from `bytes` (of `size`), from `at` on, little-endian; 0
// past the end.
uint64_t Load64(const uint8_t* bytes, size_t size, size_t at) {
  uint64_t word = 0;
  if (at + 8 <= size) {
    std::memcpy(&word, bytes + at, 8);
    return word;
  }
  for (size_t i = 0; at + i < size && i < 8; ++i)
    word |= static_cast<uint64_t>(bytes[at + i]) << (8 * i);
  return word;
}

// How far past its end a wide copy may write, and read past its source's:
// the history and the literals keep that much room after them.
constexpr size_t kCopySlack = 32;

// Copies `count` bytes 16 at a time, writing and reading up to 15 bytes
// past them; where the two overlap, `to` lies 16 or more after `from`, so
// that each step reads only bytes the steps before it have written.
inline void CopyWide(uint8_t* to, const uint8_t* from, size_t count) {
  uint8_t* const end = to + count;
  for (; to < end; to += 16, from += 16) std::memcpy(to, from, 16);
}

// Copies a match of `count` bytes from `offset` bytes back (at least 1) to
// `to`, as if byte by byte; writes up to 15 bytes past it. A pattern
// closer than 16 bytes is laid out whole first: from then on the same bytes
// repeat every multiple of its length, one of which is 16 to 30 bytes back.
inline void CopyMatch(uint8_t* to, uint32_t offset, uint32_t count) {
  const uint8_t* from = to - offset;
  if (offset >= 16) {
    CopyWide(to, from, count);
    return;
  }
  const uint32_t head = count < 16 ? count : 16;
  for (uint32_t k = 0; k < head; ++k) to[k] = from[k];
  if (count > 16) {
    const uint32_t period = offset * ((16 + offset - 1) / offset);
    CopyWide(to + 16, to + 16 - period, count - 16);
  }
}

int HighBit(uint32_t value) { return 31 - __builtin_clz(value); }

uint64_t Mask(int count) { return (uint64_t{1} << count) - 1; }

// The bits of an entropy-coded stream, read from its end towards its
// start, as the coders write them: the last byte's highest set bit marks
// where they begin. Bits before the stream's start read as 0.
//
// The reader holds eight bytes of the stream at `at` and has taken the
// highest `taken` bits of them; Reload moves it back over what it took, so
// that after a Reload at least 57 bits can be read, or all the stream has
// left. Nothing outside the stream is ever read.
class BackwardBits {
 public:
  bool Start(const uint8_t* bytes, size_t length) {
    if (length == 0 || bytes[length - 1] == 0) return false;
    begin = bytes;
    if (length >= 8) {
      at = bytes + length - 8;
      std::memcpy(&word, at, 8);
    } else {
      // A short stream sits in the word's highest bytes, over zeros that
      // stand for the bits before its start.
      at = bytes;
      word = 0;
      for (size_t i = 0; i < length; ++i)
        word |= static_cast<uint64_t>(bytes[i]) << (8 * (8 - length + i));
      before = static_cast<int>(8 - length) * 8;
    }
    taken = 8 - HighBit(bytes[length - 1]);
    return true;
  }
  // The next `count` bits (0 to 32), without taking them.
  uint32_t Peek(int count) const {
    if (taken >= 64) return 0;
    return static_cast<uint32_t>((word << taken) >> 1 >> (63 - count));
  }
  void Skip(int count) { taken += count; }
  uint32_t Read(int count) {
    uint32_t value = Peek(count);
    taken += count;
    return value;
  }
  void Reload() {
    if (taken < 8 || at == begin) return;
    size_t back = static_cast<size_t>(taken >> 3);
    if (back > static_cast<size_t>(at - begin))
      back = static_cast<size_t>(at - begin);
    at -= back;
    taken -= static_cast<int>(back * 8);
    std::memcpy(&word, at, 8);
  }
  // Reads `count` bits (0 to 32) wherever the reader stands.
  uint32_t ReadAny(int count) {
    Reload();
    return Read(count);
  }
  // Whether every bit was read, and no more.
  bool Exhausted() const { return Left() == 0; }
  bool Overrun() const { return Left() < 0; }

 private:
  int64_t Left() const {
    return static_cast<int64_t>(at - begin) * 8 + 64 - before - taken;
  }

  const uint8_t* begin = nullptr;
  const uint8_t* at = nullptr;
  uint64_t word = 0;
  int taken = 0;
  int before = 0;  // bits of the word before the stream's start
};

// Bits read from a stream's start, for table descriptions.
class ForwardBits {
 public:
  ForwardBits(const uint8_t* bytes, size_t length)
      : data(bytes), size(length) {}
  uint32_t Peek(int count) const {
    return static_cast<uint32_t>(
        (Load64(data, size, static_cast<size_t>(position >> 3)) >>
         (position & 7)) &
        Mask(count));
  }
  void Skip(int count) { position += static_cast<uint64_t>(count); }
  uint32_t Read(int count) {
    uint32_t value = Peek(count);
    Skip(count);
    return value;
  }
  uint64_t Used() const { return (position + 7) / 8; }

 private:
  const uint8_t* data;
  size_t size;
  uint64_t position = 0;
};

using FseEntry = ZstdFrame::FseEntry;

// Reads an FSE table's description (the normalized count of each symbol;
// -1 is a count below one) from `size` bytes at `in`.
bool ReadCounts(const uint8_t* in, size_t size, int maxSymbol, int maxLog,
                int16_t* counts, int* symbols, int* log, uint32_t* used) {
  ForwardBits bits(in, size);
  const int accuracy = static_cast<int>(bits.Read(4)) + 5;
  if (accuracy > maxLog) return false;
  int remaining = (1 << accuracy) + 1, threshold = 1 << accuracy;
  int width = accuracy + 1, symbol = 0;
  while (remaining > 1) {
    if (symbol > maxSymbol) return false;
    const int max = 2 * threshold - 1 - remaining;
    const uint32_t value = bits.Peek(width);
    int count;
    if (static_cast<int>(value & (threshold - 1)) < max) {
      count = static_cast<int>(value & (threshold - 1));
      bits.Skip(width - 1);
    } else {
      count = static_cast<int>(value & (2 * threshold - 1));
      if (count >= threshold) count -= max;
      bits.Skip(width);
    }
    --count;
    remaining -= count < 0 ? -count : count;
    counts[symbol++] = static_cast<int16_t>(count);
    // A zero count is followed by how many more zeros there are, two bits
    // at a time while they are 3.
    for (uint32_t repeat = count == 0 ? 3 : 0; repeat == 3;) {
      repeat = bits.Read(2);
      for (uint32_t i = 0; i < repeat; ++i) {
        if (symbol > maxSymbol) return false;
        counts[symbol++] = 0;
      }
    }
    if (remaining < 1) return false;
    while (remaining < threshold) {
      --width;
      threshold >>= 1;
    }
  }
  if (remaining != 1 || bits.Used() > size) return false;
  *symbols = symbol;
  *log = accuracy;
  *used = static_cast<uint32_t>(bits.Used());
  return true;
}

// The decoding table of `symbols` normalized counts that add up to 2^log.
bool BuildTable(const int16_t* counts, int symbols, int log, FseEntry* table) {
  const int size = 1 << log;
  int high = size - 1;
  uint16_t next[256];
  for (int s = 0; s < symbols; ++s) {
    if (counts[s] == -1) {
      table[high--].symbol = static_cast<uint8_t>(s);
      next[s] = 1;
    } else {
      next[s] = static_cast<uint16_t>(counts[s]);
    }
  }
  const int step = (size >> 1) + (size >> 3) + 3, mask = size - 1;
  int position = 0;
  for (int s = 0; s < symbols; ++s) {
    for (int i = 0; i < counts[s]; ++i) {
      table[position].symbol = static_cast<uint8_t>(s);
      do {
        position = (position + step) & mask;
      } while (position > high);
    }
  }
  if (position != 0) return false;
  for (int u = 0; u < size; ++u) {
    const uint32_t state = next[table[u].symbol]++;
    const int bits = log - HighBit(state);
    table[u].bits = static_cast<uint8_t>(bits);
    table[u].next = static_cast<uint16_t>((state << bits) - size);
  }
  return true;
}

// Literal and match lengths: each code's extra bits; its base is the one
// before it plus the values those bits took.
constexpr uint8_t kLiteralBits[36] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  1,  1,
    1, 1, 2, 2, 3, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr uint8_t kMatchBits[53] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  1,  1,  1, 1,
    2, 2, 3, 3, 4, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct LengthCodes {
  uint32_t literalBase[36] = {}, matchBase[53] = {};
};
constexpr LengthCodes MakeLengthCodes() {
  LengthCodes codes;
  uint32_t base = 0;
  for (int code = 0; code < 36; ++code) {
    codes.literalBase[code] = base;
    base += 1u << kLiteralBits[code];
  }
  base = 3;
  for (int code = 0; code < 53; ++code) {
    codes.matchBase[code] = base;
    base += 1u << kMatchBits[code];
  }
  return codes;
}
constexpr LengthCodes kLengths = MakeLengthCodes();

// The predefined distributions of literal length, offset and match length
// codes, their accuracy, and each kind's largest code and accuracy.
constexpr int16_t kDefaultLiterals[36] = {
    4, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1,  1,  2,  2,
    2, 2, 2, 2, 2, 2, 2, 3, 2, 1, 1, 1, 1, 1, -1, -1, -1, -1};
constexpr int16_t kDefaultOffsets[29] = {1, 1, 1, 1, 1,  1,  2,  2,  2, 1,
                                         1, 1, 1, 1, 1,  1,  1,  1,  1, 1,
                                         1, 1, 1, 1, -1, -1, -1, -1, -1};
constexpr int16_t kDefaultMatches[53] = {
    1, 4, 3, 2, 2, 2, 2, 2, 2, 1, 1,  1,  1,  1,  1,  1,  1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  1,  1,  1,  1,  1,  1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, -1, -1, -1, -1, -1, -1, -1};
struct SequenceKind {
  const int16_t* defaults;
  int defaultSymbols, defaultLog, maxSymbol, maxLog;
};
constexpr SequenceKind kKinds[3] = {{kDefaultLiterals, 36, 6, 35, 9},
                                    {kDefaultOffsets, 29, 5, 31, 8},
                                    {kDefaultMatches, 53, 6, 52, 9}};

// The next symbol of a Huffman-coded stream.
template <typename Table>
uint8_t NextSymbol(const Table& table, BackwardBits& bits) {
  const uint32_t entry = table.entries[bits.Peek(table.log)];
  bits.Skip(static_cast<int>(entry >> 8));
  return static_cast<uint8_t>(entry);
}

// Decodes symbols `from` to `count` of a Huffman-coded stream into `out`.
template <typename Table>
void DecodeRest(const Table& table, BackwardBits& bits, uint8_t* out,
                size_t from, size_t count) {
  // Four codes of at most 11 bits between reloads.
  for (; from + 4 <= count; from += 4) {
    bits.Reload();
    for (size_t k = 0; k < 4; ++k) out[from + k] = NextSymbol(table, bits);
  }
  bits.Reload();
  for (; from < count; ++from) out[from] = NextSymbol(table, bits);
}

// Decodes `count` symbols of the Huffman-coded stream of `size` bytes.
template <typename Table>
bool DecodeStream(const Table& table, const uint8_t* in, size_t size,
                  uint8_t* out, size_t count) {
  BackwardBits bits;
  if (!bits.Start(in, size)) return false;
  DecodeRest(table, bits, out, 0, count);
  return bits.Exhausted();
}

// Decodes four Huffman-coded streams side by side, `counts[i]` symbols of
// stream i (of `sizes[i]` bytes at `in[i]`) into `out[i]`; the last holds
// no more than the others.
template <typename Table>
bool DecodeFour(const Table& table, const uint8_t* const in[4],
                const uint32_t sizes[4], uint8_t* const out[4],
                const uint32_t counts[4]) {
  BackwardBits bits[4];
  for (int s = 0; s < 4; ++s) {
    if (!bits[s].Start(in[s], sizes[s])) return false;
  }
  size_t done = 0;
  for (; done + 4 <= counts[3]; done += 4) {
    for (int s = 0; s < 4; ++s) bits[s].Reload();
    for (size_t k = 0; k < 4; ++k) {
      for (int s = 0; s < 4; ++s) out[s][done + k] = NextSymbol(table, bits[s]);
    }
  }
  for (int s = 0; s < 4; ++s) {
    DecodeRest(table, bits[s], out[s], done, counts[s]);
    if (!bits[s].Exhausted()) return false;
  }
  return true;
}

}  // namespace

uint32_t ZstdFrame::HeaderSize(const uint8_t* start) {
  const uint32_t descriptor = start[4];
  const uint32_t contentFlag = descriptor >> 6;
  const bool single = (descriptor & 0x20) != 0;
  // Reserved bit, content checksum, dictionary: none in what we decode.
  if (Load32(start) != kMagic || (descriptor & 0x0F) != 0) return 0;
  const uint32_t contentBytes =
      contentFlag == 0 ? (single ? 1 : 0) : 1u << contentFlag;
  return kHeaderStart + (single ? 0 : 1) + contentBytes;
}

ZstdFrame::~ZstdFrame() {
  std::free(history);
  std::free(literals);
}

bool ZstdFrame::Begin(const uint8_t* header, uint32_t size, int maxWindowLog,
                      uint64_t reach) {
  if (size < kHeaderStart || HeaderSize(header) != size) return false;
  const uint32_t descriptor = header[4];
  const bool single = (descriptor & 0x20) != 0;
  const uint8_t* at = header + kHeaderStart;
  const uint64_t largest = uint64_t{1} << maxWindowLog;
  uint64_t windowSize = 0;
  if (!single) {
    const int log = 10 + (*at >> 3);
    if (log > maxWindowLog) return false;
    windowSize = (uint64_t{1} << log) + ((uint64_t{1} << log) >> 3) * (*at & 7);
    ++at;
  }
  const uint32_t contentBytes = static_cast<uint32_t>(header + size - at);
  if (contentBytes > 0) {
    contentSize = 0;
    for (uint32_t i = 0; i < contentBytes; ++i)
      contentSize |= static_cast<uint64_t>(at[i]) << (8 * i);
    if (contentBytes == 2) contentSize += 256;
  }
  if (single) windowSize = contentSize;
  if (windowSize > largest) return false;
  blockLimit =
      windowSize < kMaxBlock ? static_cast<uint32_t>(windowSize) : kMaxBlock;
  window = static_cast<size_t>(windowSize < reach ? windowSize : reach);
  // A frame longer than its window slides over the history: by a quarter
  // of the window at least, so that each byte is moved a few times in all,
  // not once a block.
  const size_t slide =
      windowSize < reach && window / 4 > blockLimit ? window / 4 : blockLimit;
  capacity = window + slide;
  history = static_cast<uint8_t*>(std::malloc(capacity + kCopySlack));
  literals = static_cast<uint8_t*>(std::malloc(blockLimit + kCopySlack));
  return history != nullptr && literals != nullptr;
}

bool ZstdFrame::BlockHeader(const uint8_t* header, uint32_t* size) {
  const uint32_t bits = Load16(header) | static_cast<uint32_t>(header[2]) << 16;
  lastBlock = (bits & 1) != 0;
  blockType = static_cast<int>((bits >> 1) & 3);
  blockSize = bits >> 3;
  if (ended || blockType == 3 || blockSize > blockLimit) return false;
  *size = blockType == 1 ? 1 : blockSize;
  return true;
}

bool ZstdFrame::Block(const uint8_t* content, uint32_t size) {
  if (blockType < 0 || PendingSize() != 0) return false;
  // Keep the window before the block; make room for a whole block after.
  if (end + blockLimit > capacity) {
    const size_t keep = end < window ? end : window;
    std::memmove(history, history + end - keep, keep);
    end = taken = keep;
  }
  uint8_t* out = history + end;
  uint8_t* written = out;
  switch (blockType) {
    case 0:
      std::memcpy(out, content, size);
      written = out + size;
      break;
    case 1:
      std::memset(out, content[0], blockSize);
      written = out + blockSize;
      break;
    default: {
      uint32_t used = 0;
      if (!Literals(content, size, &used) ||
          !Sequences(content + used, size - used, out, out + blockLimit,
                     &written)) {
        return false;
      }
    }
  }
  blockType = -1;
  end += static_cast<size_t>(written - out);
  total += static_cast<uint64_t>(written - out);
  if (lastBlock) {
    ended = true;
    if (contentSize != UINT64_MAX && total != contentSize) return false;
  }
  return true;
}

bool ZstdFrame::HuffmanTable(const uint8_t* in, uint32_t size, uint32_t* used) {
  if (size < 1) return false;
  uint8_t weights[256];
  uint32_t count = 0;
  const uint32_t header = in[0];
  if (header >= 128) {
    count = header - 127;
    *used = 1 + (count + 1) / 2;
    if (*used > size) return false;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t pair = in[1 + i / 2];
      weights[i] = (i & 1) != 0 ? pair & 15 : pair >> 4;
    }
  } else {
    // FSE-coded weights: two states take turns on one stream, which ends
    // when a state's update reads past its start.
    *used = 1 + header;
    if (header == 0 || *used > size) return false;
    int16_t counts[12];
    int symbols = 0, log = 0;
    uint32_t description = 0;
    FseEntry table[1 << 6];
    BackwardBits bits;
    if (!ReadCounts(in + 1, header, kMaxHuffmanLog, 6, counts, &symbols, &log,
                    &description) ||
        !BuildTable(counts, symbols, log, table) ||
        !bits.Start(in + 1 + description, header - description)) {
      return false;
    }
    // Both states come whole from the stream: a stream too short for them
    // leaves them to no rule the format gives.
    uint32_t states[2] = {bits.ReadAny(log), bits.ReadAny(log)};
    if (bits.Overrun()) return false;
    for (int turn = 0;; turn ^= 1) {
      if (count >= 255) return false;
      const FseEntry& entry = table[states[turn]];
      weights[count++] = entry.symbol;
      states[turn] = entry.next + bits.ReadAny(entry.bits);
      if (bits.Overrun()) {
        if (count >= 255) return false;
        weights[count++] = table[states[turn ^ 1]].symbol;
        break;
      }
    }
  }
  // The last symbol's weight is what completes a power of two.
  uint32_t sum = 0, ranks[kMaxHuffmanLog + 2] = {};
  for (uint32_t i = 0; i < count; ++i) {
    if (weights[i] > kMaxHuffmanLog) return false;
    if (weights[i] > 0) sum += 1u << (weights[i] - 1);
  }
  if (sum == 0) return false;
  const int log = HighBit(sum) + 1;
  const uint32_t rest = (1u << log) - sum;
  if (log > kMaxHuffmanLog || (rest & (rest - 1)) != 0) return false;
  weights[count++] = static_cast<uint8_t>(HighBit(rest) + 1);
  for (uint32_t i = 0; i < count; ++i) ++ranks[weights[i]];
  // The longest codes come in pairs: a tree has an even number of them,
  // at least two.
  if (ranks[1] < 2 || (ranks[1] & 1) != 0) return false;
  uint32_t start[kMaxHuffmanLog + 2] = {}, position = 0;
  for (int weight = 1; weight <= log; ++weight) {
    start[weight] = position;
    position += ranks[weight] << (weight - 1);
  }
  for (uint32_t symbol = 0; symbol < count; ++symbol) {
    const int weight = weights[symbol];
    if (weight == 0) continue;
    const uint32_t length = 1u << (weight - 1);
    const auto entry = static_cast<uint16_t>(symbol | (log + 1 - weight) << 8);
    std::fill_n(huffman.entries + start[weight], length, entry);
    start[weight] += length;
  }
  huffman.log = log;
  huffmanReady = true;
  return true;
}

bool ZstdFrame::Literals(const uint8_t* in, uint32_t size, uint32_t* used) {
  if (size < 1) return false;
  const uint32_t type = in[0] & 3, format = (in[0] >> 2) & 3;
  if (type < 2) {
    // Raw or run-length: a regenerated size of 5, 12 or 20 bits.
    const uint32_t header = (format & 1) == 0 ? 1 : format == 1 ? 2 : 3;
    if (header > size) return false;
    uint32_t count = header == 1 ? in[0] >> 3 : in[0] >> 4;
    if (header > 1) count += static_cast<uint32_t>(in[1]) << 4;
    if (header > 2) count += static_cast<uint32_t>(in[2]) << 12;
    const uint32_t stored = type == 0 ? count : 1;
    if (count > blockLimit || stored > size - header) return false;
    if (type == 0) {
      std::memcpy(literals, in + header, count);
    } else {
      std::memset(literals, in[header], count);
    }
    literalCount = count;
    *used = header + stored;
    return true;
  }
  // Huffman-coded, with a table of their own (2) or the last one (3): one
  // stream, or four; a regenerated and a compressed size of 10, 14 or 18
  // bits each.
  const uint32_t header = format < 2 ? 3 : format + 2;
  const int width = format < 2 ? 10 : static_cast<int>(format) * 4 + 6;
  if (header > size) return false;
  uint64_t fields = 0;
  for (uint32_t i = 0; i < header; ++i)
    fields |= static_cast<uint64_t>(in[i]) << (8 * i);
  const uint32_t count = static_cast<uint32_t>((fields >> 4) & Mask(width));
  uint32_t packed =
      static_cast<uint32_t>((fields >> (4 + width)) & Mask(width));
  if (count > blockLimit || packed > size - header) return false;
  *used = header + packed;
  const uint8_t* at = in + header;
  if (type == 2) {
    uint32_t description = 0;
    if (!HuffmanTable(at, packed, &description)) return false;
    at += description;
    packed -= description;
  } else if (!huffmanReady) {
    return false;
  }
  literalCount = count;
  if (format == 0) return DecodeStream(huffman, at, packed, literals, count);
  // Four streams after a table of the first three's sizes; each of the
  // first three holds a quarter of the literals, rounded up. Encoders code
  // fewer than six literals in one stream.
  if (packed < 6 || count < 6) return false;
  uint32_t sizes[4] = {Load16(at), Load16(at + 2), Load16(at + 4), 0};
  const uint32_t three = sizes[0] + sizes[1] + sizes[2];
  const uint32_t quarter = (count + 3) / 4;
  if (three > packed - 6 || 3 * quarter > count) return false;
  sizes[3] = packed - 6 - three;
  at += 6;
  const uint8_t* const streams[4] = {at, at + sizes[0],
                                     at + sizes[0] + sizes[1], at + three};
  uint8_t* const out[4] = {literals, literals + quarter, literals + 2 * quarter,
                           literals + 3 * quarter};
  const uint32_t counts[4] = {quarter, quarter, quarter, count - 3 * quarter};
  return DecodeFour(huffman, streams, sizes, out, counts);
}

bool ZstdFrame::SequenceHeader(int mode, int kind, const uint8_t* in,
                               uint32_t size, uint32_t* used) {
  const SequenceKind& codes = kKinds[kind];
  SequenceTable& table = tables[kind];
  FseEntry states[1 << kMaxSequenceLog];
  *used = 0;
  switch (mode) {
    case 0:
      table.log = codes.defaultLog;
      BuildTable(codes.defaults, codes.defaultSymbols, codes.defaultLog,
                 states);
      break;
    case 1:
      if (size < 1 || in[0] > codes.maxSymbol) return false;
      states[0] = {0, in[0], 0};
      table.log = 0;
      *used = 1;
      break;
    case 2: {
      int16_t counts[53];
      int symbols = 0;
      if (!ReadCounts(in, size, codes.maxSymbol, codes.maxLog, counts, &symbols,
                      &table.log, used) ||
          !BuildTable(counts, symbols, table.log, states)) {
        return false;
      }
      break;
    }
    default:
      return table.ready;
  }
  // Each state with what its code stands for.
  for (int i = 0; i < 1 << table.log; ++i) {
    const FseEntry& state = states[i];
    SequenceEntry& entry = table.entries[i];
    entry.next = state.next;
    entry.bits = state.bits;
    switch (kind) {
      case 0:
        entry.base = kLengths.literalBase[state.symbol];
        entry.extra = kLiteralBits[state.symbol];
        break;
      case 1:
        entry.base = 1u << state.symbol;
        entry.extra = state.symbol;
        break;
      default:
        entry.base = kLengths.matchBase[state.symbol];
        entry.extra = kMatchBits[state.symbol];
    }
  }
  table.ready = true;
  return true;
}

bool ZstdFrame::Sequences(const uint8_t* in, uint32_t size, uint8_t* out,
                          uint8_t* outEnd, uint8_t** written) {
  if (size < 1) return false;
  const uint8_t* const inEnd = in + size;
  uint32_t count = in[0];
  uint32_t header = 1;
  if (count >= 128) {
    header = count == 255 ? 3 : 2;
    if (size < header) return false;
    count =
        count == 255 ? Load16(in + 1) + 0x7F00 : ((count - 128) << 8) + in[1];
    // No sequences come as the single byte 0.
    if (count == 0) return false;
  }
  const uint8_t* at = in + header;
  const uint8_t* literal = literals;
  const uint8_t* const literalEnd = literals + literalCount;
  if (count == 0) {
    if (at != inEnd) return false;
  } else {
    if (at == inEnd || (*at & 3) != 0) return false;
    const uint32_t modes = *at++;
    for (int kind = 0; kind < 3; ++kind) {
      uint32_t used = 0;
      if (!SequenceHeader(static_cast<int>(modes >> (6 - 2 * kind)) & 3, kind,
                          at, static_cast<uint32_t>(inEnd - at), &used)) {
        return false;
      }
      at += used;
    }
    BackwardBits bits;
    if (!bits.Start(at, static_cast<size_t>(inEnd - at))) return false;
    const SequenceEntry* lengthTable = tables[0].entries;
    const SequenceEntry* offsetTable = tables[1].entries;
    const SequenceEntry* matchTable = tables[2].entries;
    uint32_t lengthState = bits.ReadAny(tables[0].log);
    uint32_t offsetState = bits.ReadAny(tables[1].log);
    uint32_t matchState = bits.ReadAny(tables[2].log);
    // Held here, not in the members the bytes written might alias.
    uint32_t repeat0 = repeats[0], repeat1 = repeats[1], repeat2 = repeats[2];
    const uint8_t* const start = history;
    for (uint32_t i = 0; i < count; ++i) {
      const SequenceEntry lengthEntry = lengthTable[lengthState];
      const SequenceEntry offsetEntry = offsetTable[offsetState];
      const SequenceEntry matchEntry = matchTable[matchState];
      // An offset's bits (at most 31) and a match length's (16) after one
      // reload; a literal length's (16) and the three states' (26) after
      // another.
      bits.Reload();
      uint32_t offset = offsetEntry.base + bits.Read(offsetEntry.extra);
      const uint32_t match = matchEntry.base + bits.Read(matchEntry.extra);
      bits.Reload();
      const uint32_t length = lengthEntry.base + bits.Read(lengthEntry.extra);
      if (offset > 3) {
        repeat2 = repeat1;
        repeat1 = repeat0;
        repeat0 = offset -= 3;
      } else {
        // A repeated offset; with no literals before it, the next one.
        const uint32_t index = offset - 1 + (length == 0 ? 1 : 0);
        if (index == 0) {
          offset = repeat0;
        } else {
          offset = index == 1 ? repeat1 : index == 2 ? repeat2 : repeat0 - 1;
          if (index != 1) repeat2 = repeat1;
          repeat1 = repeat0;
          repeat0 = offset;
        }
      }
      if (i + 1 < count) {
        lengthState = lengthEntry.next + bits.Read(lengthEntry.bits);
        matchState = matchEntry.next + bits.Read(matchEntry.bits);
        offsetState = offsetEntry.next + bits.Read(offsetEntry.bits);
      }
      if (length > static_cast<size_t>(literalEnd - literal) ||
          length > static_cast<size_t>(outEnd - out) ||
          match > static_cast<size_t>(outEnd - out) - length) {
        return false;
      }
      CopyWide(out, literal, length);
      out += length;
      literal += length;
      if (offset == 0 || offset > static_cast<size_t>(out - start))
        return false;
      CopyMatch(out, offset, match);
      out += match;
    }
    repeats[0] = repeat0;
    repeats[1] = repeat1;
    repeats[2] = repeat2;
    if (!bits.Exhausted()) return false;
  }
  const size_t rest = static_cast<size_t>(literalEnd - literal);
  if (rest > static_cast<size_t>(outEnd - out)) return false;
  std::memcpy(out, literal, rest);
  *written = out + rest;
  return true;
}
