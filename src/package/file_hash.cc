#include "package/file_hash.h"

namespace {

bool HashChunks(HANDLE file, const SharedArray<IHashCode>& hash,
                uint64_t length, const void* prefix = nullptr,
                uint32_t prefixSize = 0) {
  SharedArray<uint8_t> buffer;
  buffer.Allocate(kHashChunkSize);
  IHashCode* hasher = hash.Get();
  hasher->Init();
  if (prefixSize > 0) hasher->Update(prefix, prefixSize);
  while (length > 0) {
    DWORD chunk =
        length < kHashChunkSize ? static_cast<DWORD>(length) : kHashChunkSize;
    DWORD read = 0;
    if (!ReadFile(file, buffer.Get(), chunk, &read, nullptr) || read != chunk) {
      return false;
    }
    hasher->Update(buffer.Get(), chunk);
    length -= chunk;
  }
  hasher->Final();
  return true;
}

}  // namespace

bool SeekFile(HANDLE file, uint64_t offset) {
  LONG high = static_cast<LONG>(offset >> 32);
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFFu),
                             &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

uint64_t TellFile(HANDLE file) {
  LONG high = 0;
  DWORD low = SetFilePointer(file, 0, &high, FILE_CURRENT);
  return (static_cast<uint64_t>(static_cast<DWORD>(high)) << 32) | low;
}

bool FileSize(HANDLE file, uint64_t* size) {
  DWORD high = 0;
  SetLastError(NO_ERROR);
  DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  *size = (static_cast<uint64_t>(high) << 32) | low;
  return true;
}

bool HashFileRegion(HANDLE file, const SharedArray<IHashCode>& hash,
                    uint64_t length, const void* prefix, uint32_t prefixSize) {
  uint64_t position = TellFile(file);
  if (!HashChunks(file, hash, length, prefix, prefixSize)) return false;
  SeekFile(file, position);
  return true;
}

bool HashWholeFile(HANDLE file, const SharedArray<IHashCode>& hash) {
  uint64_t size = 0;
  if (!SeekFile(file, 0) || !FileSize(file, &size)) return false;
  if (!HashChunks(file, hash, size)) return false;
  SeekFile(file, 0);
  return true;
}
