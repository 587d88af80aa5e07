// Buffered streams over an open file handle: 64 KiB buffers, 64-bit counts,
// and an optional progress callback told the running count after every move
// of bytes. A stream never opens, positions or closes its handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "apply/code_transform.h"
#include "package/sha256.h"
#include "platform/platform.h"
#include "runtime/shared_array.h"
#include "runtime/thread.h"

constexpr int32_t kStreamBufferSize = 65536;

// position: bytes moved so far; total and context: as the owner set them.
// The result is ignored.
typedef DWORD (*ProgressCallback)(uint64_t position, uint64_t total,
                                  uintptr_t context);
typedef BOOL(WINAPI* ReadFunction)(HANDLE, LPVOID, DWORD, LPDWORD,
                                   LPOVERLAPPED);

class IFileDataBase {
 public:
  virtual ~IFileDataBase();
  IFileDataBase(const IFileDataBase&) = delete;
  IFileDataBase& operator=(const IFileDataBase&) = delete;

  HANDLE handle;
  uint64_t progressTotal = 0;
  ProgressCallback progressCallback = nullptr;
  uintptr_t progressContext = 0;
  // The buffer's `index` is the position inside it.
  SharedArray<uint8_t> buffer;

 protected:
  explicit IFileDataBase(HANDLE file);
  void ReportProgress(uint64_t position) const {
    if (progressCallback != nullptr) {
      progressCallback(position, progressTotal, progressContext);
    }
  }
};

// Reads a region of `regionSize` bytes that starts at the file offset
// `origin`, 64 KiB ahead at a time. Every load positions the handle first,
// so streams over one handle do not disturb each other; streams that read
// one handle on different threads share a `handleLock`, which a load holds
// from its seek to the end of its read. Read faults are not
// reported: bytes a failed or short platform read did not deliver are
// handed out as zeros, and the caller judges the result by its size and
// digest.
class CFileReadData : public IFileDataBase {
 public:
  // The whole file.
  explicit CFileReadData(HANDLE file);
  CFileReadData(ReadFunction read, HANDLE file, uint64_t origin,
                uint64_t regionSize, ICriticalSection* handleLock = nullptr);

  // Copies up to `count` bytes; fewer only when the region is exhausted.
  // False, moving nothing, when `delivered` is null.
  virtual bool Read(void* destination, uint32_t count, uint32_t* delivered);

  uint64_t origin;
  uint64_t regionSize;
  ICriticalSection* handleLock = nullptr;
  uint64_t consumed = 0;
  uint32_t available = 0;

 protected:
  // A stream of bytes of its own making, over no file.
  CFileReadData();
  // Loads the next block of the region (at most 64 KiB) into the buffer.
  void Fill();

 private:
  ReadFunction transfer;
};

// What the old file's cache holds at most: the whole of most programs, in
// memory the applier can spare.
constexpr uint32_t kOldCacheSize = 32u << 20;
// The most blocks the cache reads from the file at once.
constexpr size_t kOldReadBlocks = kStreamBufferSize / kTransformBlock;

// The old file of an entry in the seeking form, read at any position
// through a cache of its blocks of kTransformBlock bytes: a block is read
// (and, with a `transform`, put in the transform's forward form) when a
// read first wants it, with the blocks after it whose slots are empty, and
// kept until another block needs its slot (slot = block number modulo the
// slot count, a power of two). The cache holds the whole file when it fits
// in `cacheSize`: copies taken from all over a program, some bytes at a
// time, then read each block once. Read faults are not reported, as with
// CFileReadData: the caller judges the result by its digest.
class COldFileReader {
 public:
  COldFileReader(HANDLE file, const CodeTransform* transform,
                 uint32_t cacheSize = kOldCacheSize);
  ~COldFileReader();
  COldFileReader(const COldFileReader&) = delete;
  COldFileReader& operator=(const COldFileReader&) = delete;

  // Starts proving that the file's bytes have the SHA-256 `digest`, from
  // the handle's offset 0. Where the whole file fits in the cache, a thread
  // of its own reads it in order into the cache, 64 KiB at a time, and
  // hashes each run, and a Read waits until its blocks are in; reads see
  // exactly the bytes that were hashed (transformed on the reader's thread
  // once hashed). Otherwise the file is hashed here first; without a
  // thread, it is loaded and hashed here. At most once, before the first
  // Read; `digest` is copied. False when the file is already known not to
  // have the digest.
  bool Prove(const uint8_t* digest);
  // Whether the file had the digest: waits for the loading thread to end.
  // False when Prove was not called.
  bool Proven();

  // Copies `count` bytes from `position`. False, copying nothing, when they
  // reach past the file's end.
  bool Read(uint64_t position, void* destination, uint32_t count);

  uint64_t size = 0;

 private:
  // The slot that holds block `number`, loaded if it does not yet.
  const uint8_t* Block(uint64_t number);
  // The file's blocks of kTransformBlock bytes, the last maybe shorter.
  uint64_t BlockCount() const {
    return (size + kTransformBlock - 1) / kTransformBlock;
  }
  // Reads and hashes the whole file into the cache in order, counting the
  // blocks done in `loaded`; stops early when `halted`.
  void LoadAll();
  static DWORD Load(void* self);

  HANDLE handle;
  const CodeTransform* transform;
  SharedArray<uint8_t> slots;
  std::vector<uint64_t> held;  // per slot: the block it holds, plus 1; 0 none

  // While the file is proven as it loads: blocks in order, each in the slot
  // of its number. `loaded` counts the blocks read and hashed (written
  // last, after their bytes), and `progress` is set after each count;
  // `transformed` (the reader's) counts those the reader has transformed.
  bool whole = false;
  std::atomic<uint64_t> loaded{0};
  uint64_t transformed = 0;
  std::atomic<bool> halted{false};
  CEvent progress;
  // The cache's first `touched` bytes have had each of their pages written
  // once, on the reader's thread (`touching` is set after each count): the
  // loader reads into no page before. A page of fresh memory costs a fault
  // when it is first written; the reader, which waits for the first blocks
  // anyway, takes those faults, and the loader only reads and hashes.
  std::atomic<uint64_t> touched{0};
  CEvent touching;
  CThread loader;
  bool threaded = false;
  bool proving = false;
  uint8_t expected[32] = {};  // the digest to prove
  CHashSHA256 hash;
  bool matched = false;  // the loader's verdict, read after it has ended
};

// Collects bytes and hands them to the file 64 KiB at a time. Only an
// explicit Flush commits the last partial buffer; destroying the stream
// drops it. With a `transform`, what is handed to the file is the inverse
// form of what was written (only the last Flush may end off a multiple of
// kTransformBlock).
class CFileWriteData : public IFileDataBase {
 public:
  explicit CFileWriteData(HANDLE file);

  // Always true: a failure of a flush made inside it shows in the file's
  // size and digest.
  bool Write(const void* source, uint32_t count);
  // Hands the buffered bytes to the file; false when the platform write
  // fails or writes less.
  bool Flush();

  uint64_t written = 0;
  const CodeTransform* transform = nullptr;
};
