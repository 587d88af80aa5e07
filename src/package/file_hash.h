// Feeding files through a hash object in 64 KiB chunks.
#pragma once

#include <cstdint>

#include "package/sha256.h"
#include "platform/platform.h"
#include "runtime/shared_array.h"

constexpr uint32_t kHashChunkSize = 65536;

// Digest of `prefixSize` bytes at `prefix`, then `length` bytes from the
// file's current position, which is restored on success. False when a read
// fails or the file ends early: a region that reaches past the end of the
// file never verifies.
bool HashFileRegion(HANDLE file, const SharedArray<IHashCode>& hash,
                    uint64_t length, const void* prefix = nullptr,
                    uint32_t prefixSize = 0);

// Digest of the whole file; leaves the position at 0. False when a read
// fails or delivers less than the size promised.
bool HashWholeFile(HANDLE file, const SharedArray<IHashCode>& hash);

// 64-bit file position helpers over SetFilePointer.
bool SeekFile(HANDLE file, uint64_t offset);
uint64_t TellFile(HANDLE file);
// Size of an open file; false when the platform cannot tell.
bool FileSize(HANDLE file, uint64_t* size);
