#include "apply/file_data.h"

#include <cstring>
#include <new>

#include "package/file_hash.h"

namespace {

// The old-file cache's pages are touched ahead of the loader this many
// bytes at a time.
constexpr uint64_t kTouchRun = uint64_t{256} << 10;

}  // namespace

IFileDataBase::IFileDataBase(HANDLE file) : handle(file) {
  buffer.Allocate(kStreamBufferSize);
}

IFileDataBase::~IFileDataBase() = default;

CFileReadData::CFileReadData(HANDLE file)
    : IFileDataBase(file), origin(0), regionSize(0), transfer(&::ReadFile) {
  FileSize(file, &regionSize);
  Fill();
}

CFileReadData::CFileReadData(ReadFunction read, HANDLE file, uint64_t start,
                             uint64_t region, ICriticalSection* lock)
    : IFileDataBase(file),
      origin(start),
      regionSize(region),
      handleLock(lock),
      transfer(read) {
  Fill();
}

CFileReadData::CFileReadData()
    : IFileDataBase(nullptr), origin(0), regionSize(0), transfer(nullptr) {}

namespace {

// Reads `amount` bytes at `offset` into `destination`, holding `lock`, if
// any, from the seek to the end of the read; what the platform does not
// deliver becomes zeros.
void LoadAt(ReadFunction read, HANDLE file, uint64_t offset,
            uint8_t* destination, uint32_t amount, ICriticalSection* lock) {
  if (lock != nullptr) lock->Lock();
  DWORD done = 0;
  if (!SeekFile(file, offset) ||
      !read(file, destination, amount, &done, nullptr)) {
    done = 0;
  }
  if (lock != nullptr) lock->Unlock();
  if (done < amount) std::memset(destination + done, 0, amount - done);
}

}  // namespace

void CFileReadData::Fill() {
  uint64_t left = regionSize - consumed;
  uint32_t amount = left < static_cast<uint64_t>(kStreamBufferSize)
                        ? static_cast<uint32_t>(left)
                        : static_cast<uint32_t>(kStreamBufferSize);
  buffer.index = 0;
  LoadAt(transfer, handle, origin + consumed, buffer.data, amount, handleLock);
  available = amount;
}

bool CFileReadData::Read(void* destination, uint32_t count,
                         uint32_t* delivered) {
  if (delivered == nullptr) return false;
  *delivered = 0;
  auto* out = static_cast<uint8_t*>(destination);
  while (count > 0 && available > 0) {
    uint32_t piece = available < count ? available : count;
    std::memcpy(out, buffer.Get(), piece);
    buffer.index += static_cast<int32_t>(piece);
    consumed += piece;
    available -= piece;
    ReportProgress(consumed);
    *delivered += piece;
    out += piece;
    count -= piece;
    if (available == 0 && consumed < regionSize) Fill();
  }
  return true;
}

COldFileReader::COldFileReader(HANDLE file, const CodeTransform* code,
                               uint32_t cacheSize)
    : handle(file), transform(code), progress(0), touching(0) {
  FileSize(file, &size);
  // A power of two slots: as many as the file has blocks, up to the cache.
  const uint64_t blocks = BlockCount();
  uint64_t count = 1;
  while (count < blocks && (count * 2) * kTransformBlock <= cacheSize)
    count *= 2;
  // Not cleared: a slot is read only after a block is loaded into it, and
  // memory no block reaches is never touched. Short of memory, fewer slots:
  // a smaller cache only reads the file more often.
  uint8_t* memory = nullptr;
  while (count > 1 && (memory = new (std::nothrow)
                           uint8_t[count * kTransformBlock]) == nullptr) {
    count /= 2;
  }
  if (memory == nullptr) memory = new uint8_t[kTransformBlock];
  slots.Attach(memory, static_cast<int32_t>(count * kTransformBlock));
  held.assign(count, 0);
}

COldFileReader::~COldFileReader() {
  // The loader uses the cache, the hash and the handle: it ends first.
  halted.store(true, std::memory_order_relaxed);
  touching.Set();
  if (threaded) loader.Stop();
}

bool COldFileReader::Prove(const uint8_t* digest) {
  proving = true;
  std::memcpy(expected, digest, sizeof expected);
  if (BlockCount() > held.size()) {
    // Larger than the cache: hashed first, then read again as copies want.
    SharedArray<IHashCode> hasher;
    hasher.Attach(new CHashSHA256, 1);
    matched =
        HashWholeFile(handle, hasher) && hasher.Get()->CompareDigest(digest);
    return matched;
  }
  whole = true;
  if (progress.GetHandle() != nullptr && touching.GetHandle() != nullptr &&
      loader.SetThreadProcC(&COldFileReader::Load, this) == 1) {
    // As with the read-ahead streams: a thread handle is a thread that
    // loads, which the destructor must end.
    loader.Start();
    threaded = loader.GetThreadHandle() != nullptr;
  }
  if (!threaded) {
    touched.store(size, std::memory_order_relaxed);
    LoadAll();
    return true;
  }
  uint8_t* cache = slots.Get();
  for (uint64_t at = 0; at < size;) {
    const uint64_t end = size - at > kTouchRun ? at + kTouchRun : size;
    for (; at < end; at += kTransformBlock) cache[at] = 0;
    touched.store(end, std::memory_order_release);
    touching.Set();
  }
  return true;
}

DWORD COldFileReader::Load(void* self) {
  static_cast<COldFileReader*>(self)->LoadAll();
  return 0;
}

void COldFileReader::LoadAll() {
  hash.Init();
  const uint64_t blocks = BlockCount();
  for (uint64_t number = 0; number < blocks; number += kOldReadBlocks) {
    if (halted.load(std::memory_order_relaxed)) return;
    uint64_t start = number * kTransformBlock;
    uint64_t left = size - start;
    uint32_t amount = left < uint64_t{kStreamBufferSize}
                          ? static_cast<uint32_t>(left)
                          : static_cast<uint32_t>(kStreamBufferSize);
    uint8_t* data = slots.At(static_cast<int32_t>(start));
    while (touched.load(std::memory_order_acquire) < start + amount) {
      if (halted.load(std::memory_order_relaxed)) return;
      touching.Wait(INFINITE);
    }
    LoadAt(&::ReadFile, handle, start, data, amount, nullptr);
    hash.Update(data, amount);
    uint64_t next = number + kOldReadBlocks;
    loaded.store(next < blocks ? next : blocks, std::memory_order_release);
    progress.Set();
  }
  hash.Final();
  matched = hash.CompareDigest(expected);
}

bool COldFileReader::Proven() {
  if (threaded) {
    loader.Stop();  // the loader never stops early unless halted
    threaded = false;
  }
  return proving && matched;
}

const uint8_t* COldFileReader::Block(uint64_t number) {
  if (whole) {
    // The reader puts the blocks the loader has hashed into the transform's
    // form, in order, up to the one it wants: while the loader reads and
    // hashes ahead, on the other core. Every count is followed by a Set: a
    // count made after the test wakes the wait, one made before passes it.
    while (transformed <= number) {
      const uint64_t ready = loaded.load(std::memory_order_acquire);
      if (ready == transformed) {
        progress.Wait(INFINITE);
        continue;
      }
      const uint64_t start = transformed * kTransformBlock;
      const uint64_t end =
          ready * kTransformBlock < size ? ready * kTransformBlock : size;
      if (transform != nullptr) {
        transform->Forward(slots.At(static_cast<int32_t>(start)), start,
                           static_cast<size_t>(end - start));
      }
      transformed = ready;
    }
    return slots.At(static_cast<int32_t>(number * kTransformBlock));
  }
  size_t slot = number & (held.size() - 1);
  uint8_t* data = slots.At(static_cast<int32_t>(slot * kTransformBlock));
  if (held[slot] != number + 1) {
    // The blocks after it come along in the same read while their slots,
    // the next ones, are empty: a cache that fills up reads the file 64 KiB
    // at a time, and gives back no block it holds for one not yet asked for.
    uint64_t start = number * kTransformBlock;
    size_t run = 1;
    while (run < kOldReadBlocks && slot + run < held.size() &&
           held[slot + run] == 0 && start + run * kTransformBlock < size) {
      ++run;
    }
    uint64_t left = size - start;
    uint32_t amount = left < run * kTransformBlock
                          ? static_cast<uint32_t>(left)
                          : static_cast<uint32_t>(run * kTransformBlock);
    LoadAt(&::ReadFile, handle, start, data, amount, nullptr);
    if (transform != nullptr) transform->Forward(data, start, amount);
    for (size_t block = 0; block < run; ++block)
      held[slot + block] = number + block + 1;
  }
  return data;
}

bool COldFileReader::Read(uint64_t position, void* destination,
                          uint32_t count) {
  if (position > size || count > size - position) return false;
  auto* out = static_cast<uint8_t*>(destination);
  while (count > 0) {
    uint32_t offset = static_cast<uint32_t>(position % kTransformBlock);
    uint32_t piece = kTransformBlock - offset;
    if (piece > count) piece = count;
    std::memcpy(out, Block(position / kTransformBlock) + offset, piece);
    position += piece;
    out += piece;
    count -= piece;
  }
  return true;
}

CFileWriteData::CFileWriteData(HANDLE file) : IFileDataBase(file) {}

bool CFileWriteData::Write(const void* source, uint32_t count) {
  const auto* in = static_cast<const uint8_t*>(source);
  while (count > 0) {
    uint32_t room = static_cast<uint32_t>(kStreamBufferSize - buffer.index);
    uint32_t piece = room < count ? room : count;
    std::memcpy(buffer.Get(), in, piece);
    buffer.index += static_cast<int32_t>(piece);
    written += piece;
    ReportProgress(written);
    in += piece;
    count -= piece;
    if (buffer.index == kStreamBufferSize) Flush();
  }
  return true;
}

bool CFileWriteData::Flush() {
  DWORD amount = static_cast<DWORD>(buffer.index);
  buffer.index = 0;
  if (transform != nullptr) {
    transform->Inverse(buffer.data, written - amount, amount);
  }
  DWORD done = 0;
  return WriteFile(handle, buffer.data, amount, &done, nullptr) &&
         done == amount;
}
