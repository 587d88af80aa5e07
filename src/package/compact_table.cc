#include "package/compact_table.h"

#include <cstring>

namespace {

void AppendNumber(std::vector<uint8_t>* table, uint64_t value) {
  while (value >= 0x80) {
    table->push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  table->push_back(static_cast<uint8_t>(value));
}

}  // namespace

CompactHeader CompactHeaderOf(const PackageHeader& header,
                              uint64_t tableOffset) {
  CompactHeader compact;
  std::memcpy(compact.magic, header.magic, sizeof compact.magic);
  compact.entryCount = header.entryCount;
  compact.flags = header.flags;
  compact.packageSize = header.packageSize;
  compact.tableOffset = tableOffset;
  std::memcpy(compact.packageDigest, header.packageDigest,
              sizeof compact.packageDigest);
  return compact;
}

PackageHeader HeaderOf(const CompactHeader& compact) {
  PackageHeader header;
  std::memset(&header, 0, sizeof header);
  std::memcpy(header.magic, compact.magic, sizeof header.magic);
  header.entryCount = compact.entryCount;
  header.flags = compact.flags;
  header.packageSize = compact.packageSize;
  std::memcpy(header.packageDigest, compact.packageDigest,
              sizeof header.packageDigest);
  return header;
}

bool HoldsOldDigest(uint32_t kind) {
  const uint8_t low = kind & 0xFF;
  return low == EntryKindPatch || low == EntryKindRemove;
}

bool HoldsNewDigest(uint32_t kind) {
  const uint8_t low = kind & 0xFF;
  return low == EntryKindPatch || low == EntryKindAdd;
}

void AppendCompactRecord(std::vector<uint8_t>* table,
                         const PackageEntry& record, const std::string& names) {
  for (uint64_t number :
       {uint64_t{record.nameLength}, uint64_t{record.kind}, record.oldSize,
        record.newSize, record.instructionOffset, record.instructionSize,
        record.literalOffset, record.literalSize}) {
    AppendNumber(table, number);
  }
  if (HoldsOldDigest(record.kind))
    table->insert(table->end(), record.oldDigest, record.oldDigest + 32);
  if (HoldsNewDigest(record.kind))
    table->insert(table->end(), record.newDigest, record.newDigest + 32);
  table->insert(table->end(), names.begin(), names.end());
}
