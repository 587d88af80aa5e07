// A Zstandard frame decoded one block at a time, into a history buffer
// that holds the frame's window: the fast codec of a package's large
// streams. It decodes what selfpatch writes, which is also all that the
// format's reference encoder writes without a dictionary: one frame, no
// dictionary, no checksum. Anything else, and every damaged block, is
// refused rather than decoded.
#pragma once

#include <cstddef>
#include <cstdint>

class ZstdFrame {
 public:
  // The frame header's first bytes (magic number and descriptor), enough
  // to tell the whole header's size.
  static constexpr uint32_t kHeaderStart = 5;
  // The whole header's size (at most kMaxHeader), or 0 when it is not a
  // frame this decoder takes.
  static uint32_t HeaderSize(const uint8_t* start);
  static constexpr uint32_t kMaxHeader = 18;
  static constexpr uint32_t kBlockHeader = 3;
  static constexpr uint32_t kMaxBlock = 1u << 17;

  ZstdFrame() = default;
  ~ZstdFrame();
  ZstdFrame(const ZstdFrame&) = delete;
  ZstdFrame& operator=(const ZstdFrame&) = delete;

  // Takes the header of HeaderSize bytes: false when it is not one this
  // decoder takes, its window is larger than 2^maxWindowLog, or its memory
  // cannot be had. A distance reaches back at most as far as the frame has
  // decoded, so a window larger than `reach` (the most the frame may
  // decode) is held as `reach`.
  bool Begin(const uint8_t* header, uint32_t size, int maxWindowLog,
             uint64_t reach);

  // A block's header: how many bytes of content follow it (false when the
  // block is not one a frame may hold). After the last block, the frame
  // has ended.
  bool BlockHeader(const uint8_t* header, uint32_t* contentSize);
  // Decodes the content of the block whose header was read last; false
  // when it is damaged. What it decodes is then `Pending`.
  bool Block(const uint8_t* content, uint32_t size);
  bool Ended() const { return ended; }

  // Decoded bytes not yet taken.
  const uint8_t* Pending() const { return history + taken; }
  size_t PendingSize() const { return end - taken; }
  void Take(size_t count) { taken += count; }

  // An FSE decoding table's entry.
  struct FseEntry {
    uint16_t next;
    uint8_t symbol;
    uint8_t bits;
  };
  // Sequence codes are decoded with tables of up to 2^9 entries.
  static constexpr int kMaxSequenceLog = 9;
  static constexpr int kMaxHuffmanLog = 11;

 private:
  bool Literals(const uint8_t* in, uint32_t size, uint32_t* used);
  bool HuffmanTable(const uint8_t* in, uint32_t size, uint32_t* used);
  bool Sequences(const uint8_t* in, uint32_t size, uint8_t* out,
                 uint8_t* outEnd, uint8_t** written);

  // A sequence code table's entry: the state's, and what its code stands
  // for: `base`, plus the value of the `extra` bits that follow.
  struct SequenceEntry {
    uint16_t next;
    uint8_t bits;
    uint8_t extra;
    uint32_t base;
  };
  struct SequenceTable {
    SequenceEntry entries[1 << kMaxSequenceLog];
    int log = 0;
    bool ready = false;
  };
  bool SequenceHeader(int mode, int kind, const uint8_t* in, uint32_t size,
                      uint32_t* used);

  uint8_t* history = nullptr;
  size_t capacity = 0, window = 0, end = 0, taken = 0;
  uint64_t total = 0, contentSize = UINT64_MAX;
  bool ended = false;
  uint32_t blockLimit = kMaxBlock;
  int blockType = -1;
  uint32_t blockSize = 0;
  bool lastBlock = false;

  uint8_t* literals = nullptr;
  uint32_t literalCount = 0;
  // Each entry: the symbol in the low byte, its code's length above.
  struct Huffman {
    uint16_t entries[1 << kMaxHuffmanLog];
    int log = 0;
  } huffman;
  bool huffmanReady = false;
  SequenceTable tables[3];  // literal lengths, offsets, match lengths
  uint32_t repeats[3] = {1, 4, 8};
};
