// A reversible transform of x86 and x64 machine code: the 32-bit operands
// of relative branches (and, in x64 code, of RIP-relative addressing) become
// the addresses they point at, so that a call to a function that moved is
// the same bytes at every call site, in the old file and in the new.
//
// The transform works on ranges of a file (its code sections: file offset,
// size, the address of the first byte) and, inside a range, on each piece
// that lies in one block of kTransformBlock bytes of the file on its own:
// any whole blocks of a file can be transformed, or restored, without the
// rest. Inside a piece, from its start, an operand is the 4 bytes at i
// when the bytes just before i are a header and none of those header bytes
// belongs to the previous operand:
//
//   E8 or E9 (call, jmp rel32)                       every kind
//   an opcode of kRipOpcodes, then a ModRM byte      x64
//     whose mod is 00 and r/m 101 (RIP + disp32)
//   0F, an opcode of kRipOpcodes0F, such a ModRM     x64
//
// The scan goes on at i + 4 after an operand, at i + 1 otherwise. An
// operand v (little-endian) is converted only when it lies in the signed
// range of `width` bits, [-2^(width-1), 2^(width-1)); it becomes
// v + (address of i + 4), wrapped into that same range. The conversion maps
// the range onto itself one to one and the decision to convert depends only
// on bytes the transform does not change, so Inverse finds the same
// operands and subtracts: Inverse(Forward(x)) is x for any bytes x.
//
// Where the CPU has SSSE3, the headers of 64 positions at a time are found
// with vector compares and table lookups, and only their positions are
// visited; elsewhere the bytes that can end a header are found eight at a
// time. Both visit the same positions in the same order.
//
// Worked example (x86, width 24, a range at offset 0 and address 0x1000):
// the bytes E8 10 00 00 00 at offset 0 hold the operand 0x10 at i = 1; the
// address of i + 4 is 0x1005, so Forward writes 0x1015 (E8 15 10 00 00):
// the call's target. An operand 0x7FFFFF00 lies outside [-2^23, 2^23) and
// stays as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Transforms a package can name (bits 17..19 of an entry's kind).
enum CodeTransformKind : uint32_t {
  kTransformNone = 0,
  kTransformX86 = 1,  // E8/E9 rel32
  kTransformX64 = 2,  // E8/E9 rel32 and RIP-relative disp32
};

constexpr uint32_t kTransformBlock = 4096;

struct CodeRange {
  uint64_t offset;  // in the file
  uint32_t size;
  uint32_t address;  // of the range's first byte, when loaded
};

class CodeTransform {
 public:
  // `vectors` false: the portable scan, even where the CPU has SSSE3.
  CodeTransform(uint32_t kind, uint32_t width, std::vector<CodeRange> ranges,
                bool vectors = true);

  // `data` holds the file's `size` bytes from `offset`, which is a multiple
  // of kTransformBlock; offset + size is one too, or the file's end.
  void Forward(uint8_t* data, uint64_t offset, size_t size) const;
  void Inverse(uint8_t* data, uint64_t offset, size_t size) const;

 private:
  void Run(uint8_t* data, uint64_t offset, size_t size, bool inverse) const;
  void Piece(uint8_t* bytes, uint32_t size, uint32_t address,
             bool inverse) const;
  // Converts the operands of a piece that start in [i, to), to at most
  // size - 3, where `floor` is where the bytes after the last operand
  // start (and moves it on); returns the position to go on from.
  uint32_t ScanBytes(uint8_t* bytes, uint32_t size, uint32_t i, uint32_t to,
                     uint32_t address, bool inverse, uint32_t* floor) const;
  // The same from i (at least 3), 64 positions at a time while a round
  // ends 4 bytes or more before the piece does.
  uint32_t ScanVectors(uint8_t* bytes, uint32_t size, uint32_t i,
                       uint32_t address, bool inverse, uint32_t* floor) const;
  // Converts the operand at i, its header checked.
  void Convert(uint8_t* operand, uint32_t i, uint32_t address,
               bool inverse) const;
  // Of the eight bytes at `p`, the first that can end a header (as lead_
  // says) as its bit 7 set, the lowest set bit; 0 when none can.
  uint64_t Leads(const uint8_t* p) const;
  // Whether an operand starts at i, its header lying in [floor, i).
  bool Header(const uint8_t* bytes, uint32_t i, uint32_t floor) const;

  uint32_t kind_;
  uint64_t span_;  // 2^width
  bool vectors_;   // the CPU has SSSE3, and the caller allows it
  // Whether a byte can be the last of a header: E8, E9, or in x64 code a
  // ModRM byte that names RIP + disp32.
  bool lead_[256];
  std::vector<CodeRange> ranges_;
};

// The parameters of an entry's transform, as its instruction block holds
// them (all little-endian):
//   u32 width (16..32), u32 old range count, u32 new range count (each at
//   most kMaxCodeRanges), then the old file's ranges and the new file's,
//   each u64 offset, u32 size, u32 address: in increasing order of offset,
//   not overlapping, not empty, inside the file.
struct TransformParameters {
  uint32_t width = 0;
  std::vector<CodeRange> old, target;
};
constexpr uint32_t kMaxCodeRanges = 96;  // a PE image's most sections
constexpr uint32_t kMinTransformWidth = 16;

// False, leaving `out` as it was, for anything but exactly that layout.
bool ParseTransformParameters(const uint8_t* data, size_t size,
                              uint64_t oldSize, uint64_t newSize,
                              TransformParameters* out);
