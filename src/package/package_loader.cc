#include "package/package_loader.h"

#include <cstring>
#include <string>

#include "package/entry_names.h"
#include "package/file_hash.h"
#include "package/image_end.h"
#include "package/name_rule.h"
#include "package/sha256.h"
#include "runtime/shared_array.h"

namespace {

constexpr DWORD kModulePathUnits = 32768;  // the longest "\\?\" path
constexpr int32_t kInitialNameBuffer = 256;

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
  if (!FileSize(file, &size) || size < packageOffset + kPackageHeaderSize) {
    return ResultPackageTooSmall;
  }
  if (!SeekFile(file, packageOffset) ||
      !ReadExactly(file, &header, sizeof header)) {
    return ResultPackageTooSmall;
  }
  if (std::memcmp(header.magic, kPackageMagic, sizeof header.magic) != 0) {
    return ResultBadMagic;
  }
  // A size below the header's would make the hashed length negative.
  if (header.packageSize < kPackageHeaderSize) return ResultBadDigest;
  SharedArray<IHashCode> hash;
  hash.Attach(new CHashSHA256, 1);
  if (!HashFileRegion(file, hash, header.packageSize - kPackageHeaderSize)) {
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
  // Every record with its name takes at least 121 bytes; a count that
  // cannot fit in the package is refused before anything is reserved.
  uint64_t room = header.packageSize - kPackageHeaderSize;
  if (header.entryCount > room / (kPackageEntrySize + 1)) {
    return ResultBadEntryList;
  }
  entries.reserve(header.entryCount);
  SharedArray<uint8_t> nameBytes;
  nameBytes.Allocate(kInitialNameBuffer);
  uint64_t position = kPackageHeaderSize;  // package offset of the next record
  LoadedEntry working;
  for (uint32_t i = 0; i < header.entryCount; ++i) {
    if (header.packageSize - position < kPackageEntrySize ||
        !ReadExactly(file, &working.record, kPackageEntrySize)) {
      return ResultBadEntryList;
    }
    position += kPackageEntrySize;
    uint32_t nameLength = working.record.nameLength;
    if (nameLength == 0 || nameLength > header.packageSize - position ||
        nameLength > static_cast<uint32_t>(INT32_MAX)) {
      return ResultBadEntryList;
    }
    if (nameLength > static_cast<uint32_t>(nameBytes.capacity)) {
      if (!nameBytes.TryAllocate(static_cast<int32_t>(nameLength))) {
        return ResultBadEntryList;
      }
    }
    if (!ReadExactly(file, nameBytes.Get(), nameLength)) {
      return ResultBadEntryList;
    }
    position += nameLength;
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
