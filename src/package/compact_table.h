// The compact form of a package (PackageFlagCompactTable): a shorter
// header, the data blocks, then the entry table, whose records hold their
// numbers in as few bytes as they need and only the digests their kind
// uses. For a small patch the fixed-size records of the other form are
// most of the package.
//
//   package offset 0    CompactHeader (64 bytes)
//   package offset 64   data blocks, each found only through the offset and
//                       size in its record (package offsets, as always)
//   tableOffset         entryCount records, the last ending at packageSize;
//                       each holds, in this order:
//                         nameLength, kind, oldSize, newSize,
//                         instructionOffset, instructionSize,
//                         literalOffset, literalSize: unsigned LEB128
//                           numbers (7 bits a byte, the lowest first, the
//                           top bit set on every byte but the last; at most
//                           10 bytes and no more bits than the field holds)
//                         oldDigest, when the kind's low byte is
//                           EntryKindPatch or EntryKindRemove
//                         newDigest, when it is EntryKindPatch or
//                           EntryKindAdd
//                         the name bytes, nameLength of them
//
// packageDigest is the SHA-256 of the header's first 32 bytes (all of it but
// the digest) and package bytes 64..packageSize-1: unlike the other form's,
// it covers the flags, count and offsets the applier acts on. A digest a
// record does not hold reads as 32 zero bytes. A number may take more bytes
// than it needs (zero groups above its value) within the 10: the digest
// covers the table, so either reads the same. Every field means what it
// means in the other form (package_format.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/package_format.h"

#pragma pack(push, 1)

struct CompactHeader {
  uint8_t magic[8];  // kPackageMagic
  uint32_t entryCount;
  uint32_t flags;  // PackageFlagCompactTable among the others
  uint64_t packageSize;
  uint64_t tableOffset;
  uint8_t packageDigest[32];
};

#pragma pack(pop)

constexpr uint32_t kCompactHeaderSize = 64;
// The longest number a record holds, in bytes.
constexpr int kMaxNumberBytes = 10;
// The shortest record: eight one-byte numbers and a one-byte name.
constexpr uint32_t kMinCompactRecord = 9;
// The most records a compact table holds. The applier keeps some 200 bytes
// an entry: a table of the shortest records would otherwise make it ask for
// 20 times the package's size, beyond what a 32-bit process has.
constexpr uint32_t kMaxCompactEntries = 1u << 20;

static_assert(sizeof(CompactHeader) == kCompactHeaderSize, "header layout");
static_assert(offsetof(CompactHeader, flags) == offsetof(PackageHeader, flags),
              "the flags are found before the form is known");

// The compact header holding `header`'s fields, and the header it holds.
CompactHeader CompactHeaderOf(const PackageHeader& header,
                              uint64_t tableOffset);
PackageHeader HeaderOf(const CompactHeader& compact);

// Whether a compact record of `kind` holds the old or the new digest.
bool HoldsOldDigest(uint32_t kind);
bool HoldsNewDigest(uint32_t kind);

// Appends `record`, with `names` as its name bytes, in the compact form.
void AppendCompactRecord(std::vector<uint8_t>* table,
                         const PackageEntry& record, const std::string& names);
