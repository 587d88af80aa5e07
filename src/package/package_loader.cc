#include "package/package_loader.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "package/compact_table.h"
#include "package/entry_names.h"
#include "package/file_hash.h"
#include "package/image_end.h"
#include "package/name_rule.h"
#include "package/sha256.h"
#include "runtime/shared_array.h"

namespace {

constexpr DWORD kModulePathUnits = 32768;  // the longest "\\?\" path
constexpr int32_t kInitialNameBuffer = 256;
constexpr int32_t kTableBuffer = 64 * 1024;

bool ReadExactly(HANDLE file, void* out, DWORD size) {
  DWORD read = 0;
  return ReadFile(file, out, size, &read, nullptr) && read == size;
}

// What an entry does, from its record's `kind` and the package's `flags`
// (see package_format.h): `sourced` when it names a source. False for a
// kind or option a package with removals may not hold.
bool DecodeKind(uint32_t flags, uint32_t kind, uint8_t* out, bool* sourced) {
  *out = static_cast<uint8_t>(kind & 0xFF);
  *sourced = false;
  if (!(flags & PackageFlagRemovals)) {
    if (*out == EntryKindRemove || *out == EntryKindRemoveDirectory) *out = 0;
    return true;
  }
  const uint32_t options = kind & kEntryKindBits & ~uint32_t{0xFF};
  switch (*out) {
    case EntryKindPatch:
      *sourced = options == EntryOptionSource;
      return options == 0 || *sourced;
    case EntryKindAdd:
    case EntryKindDirectory:
    case EntryKindRemove:
    case EntryKindRemoveDirectory:
      return options == 0;
    default:
      return false;
  }
}

// The entry table's bytes, read ahead in pieces and never past its end.
class TableReader {
 public:
  TableReader(HANDLE file, uint64_t size) : file_(file), unread_(size) {
    buffer_.Allocate(kTableBuffer);
  }

  // The table's bytes not taken yet.
  uint64_t Left() const { return unread_ + (end_ - at_); }

  bool Read(void* out, uint64_t size) {
    auto* bytes = static_cast<uint8_t*>(out);
    while (size > 0) {
      if (at_ == end_ && !Fill()) return false;
      const auto piece =
          static_cast<DWORD>(std::min<uint64_t>(size, end_ - at_));
      std::memcpy(bytes, buffer_.Get() + at_, piece);
      at_ += piece;
      bytes += piece;
      size -= piece;
    }
    return true;
  }

  // A record in the compact form (package/compact_table.h).
  bool CompactRecord(PackageEntry* record) {
    std::memset(record, 0, sizeof *record);
    uint64_t numbers[8];
    for (int i = 0; i < 8; ++i) {
      if (!Number(i < 2 ? 32 : 64, &numbers[i])) return false;
    }
    record->nameLength = static_cast<uint32_t>(numbers[0]);
    record->kind = static_cast<uint32_t>(numbers[1]);
    record->oldSize = numbers[2];
    record->newSize = numbers[3];
    record->instructionOffset = numbers[4];
    record->instructionSize = numbers[5];
    record->literalOffset = numbers[6];
    record->literalSize = numbers[7];
    return (!HoldsOldDigest(record->kind) ||
            Read(record->oldDigest, sizeof record->oldDigest)) &&
           (!HoldsNewDigest(record->kind) ||
            Read(record->newDigest, sizeof record->newDigest));
  }

 private:
  // An unsigned LEB128 number that fits in `bits` bits.
  bool Number(int bits, uint64_t* out) {
    uint64_t value = 0;
    for (int shift = 0; shift < 7 * kMaxNumberBytes; shift += 7) {
      uint8_t byte = 0;
      if (!Read(&byte, 1)) return false;
      const uint64_t part = byte & 0x7F;
      if (shift >= bits ? part != 0
                        : bits - shift < 7 && (part >> (bits - shift)) != 0) {
        return false;
      }
      value |= part << shift;
      if ((byte & 0x80) == 0) {
        *out = value;
        return true;
      }
    }
    return false;
  }

  bool Fill() {
    const auto want = static_cast<DWORD>(
        std::min<uint64_t>(unread_, static_cast<uint64_t>(kTableBuffer)));
    if (want == 0 || !ReadExactly(file_, buffer_.Get(), want)) return false;
    unread_ -= want;
    at_ = 0;
    end_ = want;
    return true;
  }

  HANDLE file_;
  uint64_t unread_;  // in the file, after the buffer's bytes
  SharedArray<uint8_t> buffer_;
  DWORD at_ = 0, end_ = 0;
};

}  // namespace

bool IsPlainRelativeName(const WString& name) {
  return CheckWideName(name) == NameFault::kNone;
}

PackageLoader::PackageLoader(HMODULE module)
    : moduleHandle(module), packageOffset(0) {
  std::memset(&header, 0, sizeof header);
}

PackageLoader::~PackageLoader() {
  entries.clear();
  fileHandle.Release();
}

ResultCode PackageLoader::Load() {
  if (moduleHandle == nullptr) moduleHandle = GetModuleHandleW(nullptr);
  SharedArray<WCHAR> path;
  path.Allocate(kModulePathUnits);
  DWORD length = GetModuleFileNameW(moduleHandle, path.Get(), kModulePathUnits);
  if (length == 0 || length >= kModulePathUnits) return ResultImageEnd;
  return LoadFile(path.Get());
}

ResultCode PackageLoader::LoadFile(const WCHAR* path) {
  uint32_t imageEnd;
  if (!ComputeImageEnd(path, &imageEnd)) return ResultImageEnd;
  packageOffset = imageEnd;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ResultOpenPackage;
  fileHandle.Attach(file, CloseHandle);
  ResultCode result = CheckHeader();
  if (result != ResultSuccess) return result;
  return ReadEntries();
}

ResultCode PackageLoader::CheckHeader() {
  HANDLE file = fileHandle.Get();
  uint64_t size = 0;
  if (!FileSize(file, &size) || size < packageOffset) {
    return ResultPackageTooSmall;
  }
  // The compact header is the shorter one, so what the file holds is read
  // before the room for a header is judged.
  uint8_t bytes[kPackageHeaderSize];
  const auto held = static_cast<DWORD>(
      std::min<uint64_t>(size - packageOffset, sizeof bytes));
  if (!SeekFile(file, packageOffset) || !ReadExactly(file, bytes, held)) {
    return ResultPackageTooSmall;
  }
  uint32_t flags = 0;
  if (held >= kCompactHeaderSize) {
    std::memcpy(&flags, bytes + offsetof(PackageHeader, flags), sizeof flags);
  }
  const bool compact = (flags & PackageFlagCompactTable) != 0;
  headerSize_ = compact ? kCompactHeaderSize : kPackageHeaderSize;
  if (held < headerSize_) return ResultPackageTooSmall;
  if (std::memcmp(bytes, kPackageMagic, sizeof header.magic) != 0) {
    return ResultBadMagic;
  }
  if (compact) {
    CompactHeader read;
    std::memcpy(&read, bytes, sizeof read);
    header = HeaderOf(read);
    tableOffset_ = read.tableOffset;
  } else {
    std::memcpy(&header, bytes, sizeof header);
    tableOffset_ = kPackageHeaderSize;
  }
  // A size below the header's would make the hashed length negative.
  if (header.packageSize < headerSize_ ||
      !SeekFile(file, packageOffset + headerSize_)) {
    return ResultBadDigest;
  }
  SharedArray<IHashCode> hash;
  hash.Attach(new CHashSHA256, 1);
  // The compact header's fields before its digest are hashed too.
  const uint32_t covered = compact ? offsetof(CompactHeader, packageDigest) : 0;
  if (!HashFileRegion(file, hash, header.packageSize - headerSize_, bytes,
                      covered)) {
    return ResultBadDigest;
  }
#ifdef SELFPATCH_FUZZ_UNSAFE_NO_DIGEST
  // Fuzzing builds only: any digest passes, so fuzzed tables are reached.
  return ResultSuccess;
#else
  return hash.Get()->CompareDigest(header.packageDigest) ? ResultSuccess
                                                         : ResultBadDigest;
#endif
}

ResultCode PackageLoader::ReadEntries() {
  HANDLE file = fileHandle.Get();
  const bool compact = (header.flags & PackageFlagCompactTable) != 0;
  // The table lies between its offset and the package's end (which the
  // compact one reaches exactly). A count of records that cannot fit there
  // is refused before anything is reserved.
  if (tableOffset_ < headerSize_ || tableOffset_ > header.packageSize ||
      !SeekFile(file, packageOffset + tableOffset_)) {
    return ResultBadEntryList;
  }
  const uint64_t room = header.packageSize - tableOffset_;
  if (header.entryCount >
          room / (compact ? kMinCompactRecord : kPackageEntrySize + 1) ||
      (compact && header.entryCount > kMaxCompactEntries)) {
    return ResultBadEntryList;
  }
  // The list grows as records are read: a count that fits the room may
  // still ask for more memory than a 32-bit process has, and records that
  // are not there fail before it is taken.
  TableReader table(file, room);
  SharedArray<uint8_t> nameBytes;
  nameBytes.Allocate(kInitialNameBuffer);
  LoadedEntry working;
  for (uint32_t i = 0; i < header.entryCount; ++i) {
    if (!(compact ? table.CompactRecord(&working.record)
                  : table.Read(&working.record, kPackageEntrySize))) {
      return ResultBadEntryList;
    }
    uint32_t nameLength = working.record.nameLength;
    if (nameLength == 0 || nameLength > table.Left() ||
        nameLength > static_cast<uint32_t>(INT32_MAX)) {
      return ResultBadEntryList;
    }
    if (nameLength > static_cast<uint32_t>(nameBytes.capacity)) {
      if (!nameBytes.TryAllocate(static_cast<int32_t>(nameLength))) {
        return ResultBadEntryList;
      }
    }
    if (!table.Read(nameBytes.Get(), nameLength)) return ResultBadEntryList;
    bool sourced = false;
    if (!DecodeKind(header.flags, working.record.kind, &working.kind,
                    &sourced)) {
      return ResultBadEntryList;
    }
    // The name is every byte before the first NUL; a source follows it up
    // to the terminator, which ends the bytes. Each obeys the same rule as
    // every name the producer writes.
    const auto* bytes = reinterpret_cast<const char*>(nameBytes.Get());
    if (bytes[nameLength - 1] != 0) return ResultBadEntryList;
    const size_t end = std::strlen(bytes);
    if (sourced != (end + 1 < nameLength)) return ResultBadEntryList;
    working.source.clear();
    if (CheckEntryName(std::string(bytes, end), &working.name) !=
            NameFault::kNone ||
        (sourced &&
         CheckEntryName(std::string(bytes + end + 1, nameLength - end - 2),
                        &working.source) != NameFault::kNone)) {
      return ResultBadEntryList;
    }
    entries.push_back(working);
  }
  if (compact && table.Left() != 0) return ResultBadEntryList;
  // A file rebuilt from a source is placed as an added file is.
  std::vector<NamedEntry> names;
  names.reserve(entries.size());
  for (const LoadedEntry& entry : entries) {
    names.push_back(
        {entry.name, entry.source.empty() ? entry.kind : EntryKindAdd});
  }
  bool backups = (header.flags & PackageFlagBackup) != 0;
  if (FindNameCollision(names, backups).clash != NameClash::kNone) {
    return ResultBadEntryList;
  }
  return ResultSuccess;
}
