// The patch package appended to the applier's PE image.
//
//   package offset 0    PackageHeader (96 bytes)
//   package offset 96   entryCount x (PackageEntry, 120 bytes; then the
//                       entry's UTF-8 name, nameLength bytes with its NUL)
//   after the table     data blocks, each found only through the offset and
//                       size in its entry
//   packageSize         end of the package (and of the file)
//
// Integers are little-endian and unsigned; offsets count from the header's
// first byte; there is no padding anywhere. packageDigest is the SHA-256 of
// package bytes 96..packageSize-1.
//
// Removals and sources. A package with PackageFlagRemovals makes the folder
// the new version: what the old version had and the new one has not goes,
// and a new file may be rebuilt from any old file, not only from the file
// under its own name. It reads `kind` in three parts:
//
//   bits 0..7    the kind: EntryKindPatch, EntryKindAdd, EntryKindDirectory,
//                EntryKindRemove or EntryKindRemoveDirectory
//   bits 8..15   options: EntryOptionSource (on EntryKindPatch only)
//   bits 16..31  not read here (left to other extensions)
//
// Any other kind or option in such a package refuses it (6). An entry with
// EntryOptionSource carries a second name in its name bytes, after the NUL
// that ends its own: the source, the file its new content is rebuilt from,
// NUL-terminated in turn, so that nameLength counts both names and both
// NULs. Both names obey the name rule; the source is read, never changed.
// oldSize and oldDigest are the source's.
//
// Without the flag only the low byte of `kind` is read, kinds 8 and 128 do
// nothing (as every kind besides 1, 4 and 64) and a name is every byte
// before its one NUL: such a package applies as it always has.
//
// Worked example: "lib-8.17.2.dll" (1,000 bytes) renamed "lib-8.17.3.dll"
// (1,004 bytes, rebuilt from the old file), and the empty folder "old"
// removed. Header: entryCount 3, flags 12 (Compressed | Removals). Records:
//
//   offset 96   nameLength 30: "lib-8.17.3.dll" NUL "lib-8.17.2.dll" NUL
//               (14 + 1 + 14 + 1 bytes); kind 0x101 (patch, source);
//               oldSize 1000, oldDigest of lib-8.17.2.dll; newSize 1004,
//               newDigest of lib-8.17.3.dll; its blocks as for any patch
//   offset 246  nameLength 15: "lib-8.17.2.dll" NUL; kind 8 (remove);
//               oldSize 1000 and the same oldDigest; no blocks
//   offset 381  nameLength 4: "old" NUL; kind 128 (remove the folder)
//
// The table ends at offset 505, where the first block begins. Applied to a
// folder holding lib-8.17.2.dll, the run writes lib-8.17.3.dll from it,
// moves lib-8.17.2.dll aside with the commit and deletes it once the commit
// is complete (or keeps it as lib-8.17.2.dll.bak with PackageFlagBackup),
// then removes "old" if it is empty.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

struct PackageHeader {
  uint8_t magic[8];  // "tovarkin", no terminator
  uint32_t entryCount;
  uint32_t flags;  // PackageFlag* bits
  uint64_t packageSize;
  uint64_t reserved;          // 128 in existing packages; ignored
  uint8_t reservedBytes[32];  // zero; ignored
  uint8_t packageDigest[32];
};

struct PackageEntry {
  uint32_t nameLength;  // name bytes after the record, NUL included; never 0
  uint32_t kind;        // EntryKind* in the low byte; see above
  uint64_t oldSize;
  uint64_t newSize;
  uint64_t instructionOffset;
  uint64_t instructionSize;
  uint64_t literalOffset;
  uint64_t literalSize;
  uint8_t oldDigest[32];
  uint8_t newDigest[32];
};

struct SharedLiteral {
  uint64_t streamOffset;  // the shared stream, an offset like a block's
  uint64_t streamSize;
  uint32_t skip;  // decoded bytes before the entry's
  uint32_t length;
};

#pragma pack(pop)

constexpr char kPackageMagic[8] = {'t', 'o', 'v', 'a', 'r', 'k', 'i', 'n'};
constexpr uint32_t kPackageHeaderSize = 96;
constexpr uint32_t kPackageEntrySize = 120;
constexpr uint64_t kPackageReservedValue = 128;

// A replaced file is kept as "<name>.bak" instead of being deleted.
constexpr uint32_t PackageFlagBackup = 1;
// A rebuilt file receives the times of the file it replaces.
constexpr uint32_t PackageFlagKeepTimes = 2;
// The data blocks are compressed streams. A stream is one LZMA stream as
// the LZMA SDK codes it: a properties byte (lc, lp, pb: (pb * 5 + lp) * 9 +
// lc, below 225), the dictionary size (4 bytes, at most 2^kMaxWindowLog),
// then the range-coded data, which ends with the end marker at the block's
// last byte. A literal block (patched and added entries) is one stream,
// literalSize its size in the package; its uncompressed size is not
// recorded: it decodes to exactly the literal bytes the instructions take,
// or to newSize bytes for an added entry. An instruction block is a 4-byte
// count of instruction bytes (1 to 2,147,483,647), then one stream that
// decodes to exactly that many; instructionSize counts both. A stream that
// ends early, decodes to more, is followed by other bytes or is damaged
// fails like a short block. Without this flag a block is the bytes
// themselves, and an original form's literal block may hold bytes its
// instructions never take.
constexpr uint32_t PackageFlagCompressed = 4;
// A 64 MiB dictionary: what an applier allocates at most for one stream.
constexpr int kMaxWindowLog = 26;
// Removal entries and entries rebuilt from a named source (see above).
constexpr uint32_t PackageFlagRemovals = 8;
// Bits 16..31 of a patched entry's kind carry its EntryOption* bits.
// Without this flag those bits are not examined, and every patched entry is
// rebuilt from its instruction block as the original form reads it.
constexpr uint32_t PackageFlagEntryOptions = 1u << 16;

// (With PackageFlagEntryOptions, in a patched entry's kind.) The entry's
// instruction block holds seeking instructions and a difference stream
// (apply/delta_decoder.h): it copies from anywhere in the old file, and
// takes near-copies as old bytes plus differences.
constexpr uint32_t EntryOptionSeeking = 1u << 16;
// Bits 17..19: the transform of code the old file is read through and the
// new file is written through (apply/code_transform.h); it requires
// EntryOptionSeeking, whose block carries its parameters. 0 is none.
constexpr int kEntryTransformShift = 17;
constexpr uint32_t kEntryTransformMask = 7u << kEntryTransformShift;
// Bit 20: the instruction part holds the seeking form's instructions as
// bytes grouped by field (apply/delta_decoder.h), not as bits; it requires
// EntryOptionSeeking.
constexpr uint32_t EntryOptionGrouped = 1u << 20;
// Bit 21 (in a package with PackageFlagCompressed): the entry's literal
// block is a SharedLiteral, 24 bytes that place its literal bytes in a
// stream several entries share, so that what their bytes have in common is
// coded once. The stream is coded as any compressed block; it decodes to
// the entries' literal bytes one after the other, and an entry's are the
// `length` bytes (at least one, at most newSize) after the first `skip`
// (at most kMaxSharedSkip): the entry takes exactly those, as it would take
// its own block's. What the stream holds beyond them is other entries'.
// Without PackageFlagCompressed the option is refused.
constexpr uint32_t EntryOptionSharedLiteral = 1u << 21;
constexpr uint32_t kMaxSharedSkip = uint32_t{1} << 22;
// Bit 22 (in a package with PackageFlagCompressed, on an entry with
// EntryOptionSeeking and without EntryOptionSharedLiteral): the entry's
// streams (its instruction part after the count, its difference part and
// its literal block) are Zstandard frames (RFC 8878) rather than LZMA
// streams: one frame each, without dictionary or checksum, with a window of
// at most 2^kMaxWindowLog bytes, and nothing after it. They decode several
// times faster than LZMA's and come out some 10% larger: create takes them
// for a large file. Otherwise the option is refused.
constexpr uint32_t EntryOptionZstd = 1u << 22;
// An entry whose kind has any other of bits 16..31 set is not rebuilt.
constexpr uint32_t kEntryOptionsKnown =
    EntryOptionSeeking | kEntryTransformMask | EntryOptionGrouped |
    EntryOptionSharedLiteral | EntryOptionZstd;

// A compact package: a shorter header, and the entry table after the data
// blocks, its records' numbers coded by size (package/compact_table.h).
// What the records say is the same as in the table above; block offsets
// are package offsets as everywhere.
constexpr uint32_t PackageFlagCompactTable = 1u << 17;

// Rebuild an existing file from its old version and the entry's blocks.
constexpr uint8_t EntryKindPatch = 1;
// Create a file that must not exist yet; its content is the literal block.
constexpr uint8_t EntryKindAdd = 4;
// Create a directory, with any missing parents.
constexpr uint8_t EntryKindDirectory = 64;
// With PackageFlagRemovals: remove a file that still has oldSize and
// oldDigest (one changed since is kept; one already gone is fine). It is
// moved aside with the commit and deleted once the commit is complete.
constexpr uint8_t EntryKindRemove = 8;
// With PackageFlagRemovals: remove a folder, once the commit is complete,
// if it is empty then.
constexpr uint8_t EntryKindRemoveDirectory = 128;
// With PackageFlagRemovals, on EntryKindPatch: the old file is the source
// named after the entry's name, and the file under the entry's own name
// must not exist yet, as for an added file.
constexpr uint32_t EntryOptionSource = 0x100;
// The bits of `kind` a package with PackageFlagRemovals gives meaning here.
constexpr uint32_t kEntryKindBits = 0xFFFF;

// Decoded names longer than this many UTF-16 units are cut to it.
constexpr int kMaxNameUnits = 2046;

static_assert(sizeof(PackageHeader) == 96, "header layout");
static_assert(offsetof(PackageHeader, entryCount) == 8, "header layout");
static_assert(offsetof(PackageHeader, flags) == 12, "header layout");
static_assert(offsetof(PackageHeader, packageSize) == 16, "header layout");
static_assert(offsetof(PackageHeader, reserved) == 24, "header layout");
static_assert(offsetof(PackageHeader, reservedBytes) == 32, "header layout");
static_assert(offsetof(PackageHeader, packageDigest) == 64, "header layout");

static_assert(sizeof(PackageEntry) == 120, "entry layout");
static_assert(sizeof(SharedLiteral) == 24, "shared literal layout");
static_assert(offsetof(PackageEntry, kind) == 4, "entry layout");
static_assert(offsetof(PackageEntry, oldSize) == 8, "entry layout");
static_assert(offsetof(PackageEntry, newSize) == 16, "entry layout");
static_assert(offsetof(PackageEntry, instructionOffset) == 24, "entry layout");
static_assert(offsetof(PackageEntry, instructionSize) == 32, "entry layout");
static_assert(offsetof(PackageEntry, literalOffset) == 40, "entry layout");
static_assert(offsetof(PackageEntry, literalSize) == 48, "entry layout");
static_assert(offsetof(PackageEntry, oldDigest) == 56, "entry layout");
static_assert(offsetof(PackageEntry, newDigest) == 88, "entry layout");

// The records are read and written as raw bytes: this system only runs on
// little-endian machines.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian only");
