#include "producer/block_compressor.h"

#include <LzmaEnc.h>
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "package/package_format.h"
#include "producer/patch_builder.h"

namespace {

// The encoder's smallest dictionary.
constexpr int kMinWindowLog = 12;
// At the highest level the encoder looks for matches up to the longest it
// can code, 273 bytes: on the differences of the benchmark's programs that
// came out 0.1-0.3% smaller than the level's own 64, at little cost.
constexpr int kLongestMatch = 273;

// The smallest window that holds the whole block, at least 2^kMinWindowLog:
// a larger one finds nothing more and costs the applier memory.
int WindowLogFor(size_t size, int maxWindowLog) {
  int windowLog = kMinWindowLog;
  while (windowLog < maxWindowLog && (size_t{1} << windowLog) < size)
    ++windowLog;
  return windowLog;
}

// The encoder's memory, kept for the blocks that follow. A patch compresses
// many blocks, trials among them, and every encoder asks for the same few
// tables, of sizes its dictionary sets; fresh ones cost a page fault for
// each of their pages, most of a small file's time. A request takes the
// smallest block kept that holds it, if at most twice its size: a small
// request takes no table another encoder will ask for. What is kept is
// bounded, so a large block's tables go back at once.
class EncoderMemory {
 public:
  // Room for every block kept, so that Release, which the encoder's C code
  // calls, never allocates and so never throws.
  EncoderMemory() { kept_.reserve(kMostKept); }
  EncoderMemory(const EncoderMemory&) = delete;
  EncoderMemory& operator=(const EncoderMemory&) = delete;
  ~EncoderMemory() {
    for (const Kept& kept : kept_) std::free(kept.block);
  }

  void* Allocate(size_t size) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      auto best = kept_.end();
      for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        if (it->capacity >= size && it->capacity / 2 <= size &&
            (best == kept_.end() || it->capacity < best->capacity)) {
          best = it;
        }
      }
      if (best != kept_.end()) {
        void* block = best->block;
        held_ -= best->capacity;
        *best = kept_.back();
        kept_.pop_back();
        return static_cast<Header*>(block) + 1;
      }
    }
    if (size > SIZE_MAX - sizeof(Header)) return nullptr;
    void* block = std::malloc(sizeof(Header) + size);
    if (block == nullptr) return nullptr;
    static_cast<Header*>(block)->capacity = size;
    return static_cast<Header*>(block) + 1;
  }

  void Release(void* address) {
    if (address == nullptr) return;
    void* block = static_cast<Header*>(address) - 1;
    const size_t capacity = static_cast<Header*>(block)->capacity;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (capacity <= kMostHeld - held_ && kept_.size() < kMostKept) {
        kept_.push_back({capacity, block});
        held_ += capacity;
        return;
      }
    }
    std::free(block);
  }

 private:
  // Before each block, what it holds, padded so that what follows is
  // aligned as malloc's own.
  union Header {
    size_t capacity;
    std::max_align_t alignment;
  };
  struct Kept {
    size_t capacity;
    void* block;
  };
  // Enough for the encoders of both threads of a side-by-side choice.
  static constexpr size_t kMostHeld = size_t{16} << 20;
  static constexpr size_t kMostKept = 32;

  std::mutex lock_;
  std::vector<Kept> kept_;
  size_t held_ = 0;
};

EncoderMemory memory;
void* Allocate(void*, size_t size) { return memory.Allocate(size); }
void Release(void*, void* block) { memory.Release(block); }
ISzAlloc allocator = {&Allocate, &Release};

}  // namespace

std::vector<uint8_t> CompressBlock(const uint8_t* data, size_t size,
                                   int maxWindowLog, int level,
                                   const StreamModel& model) {
  // An empty block may come as a null pointer, which the encoder would
  // read from.
  static const uint8_t kNothing = 0;
  if (size == 0) data = &kNothing;
  CLzmaEncProps properties;
  LzmaEncProps_Init(&properties);
  properties.level = level != 0 ? level : 9;
  if (level == 0) properties.fb = kLongestMatch;
  properties.dictSize = uint32_t{1} << WindowLogFor(size, maxWindowLog);
  properties.writeEndMark = 1;
  properties.numThreads = 1;
  properties.lc = model.literalContext;
  properties.lp = model.literalPosition;
  properties.pb = model.position;
  // What a block grows to at most: incompressible bytes cost an LZMA
  // encoder a little over one bit in 256.
  std::vector<uint8_t> block(LZMA_PROPS_SIZE + size + size / 64 + 64);
  SizeT written = block.size() - LZMA_PROPS_SIZE;
  SizeT headerSize = LZMA_PROPS_SIZE;
  SRes result = LzmaEncode(block.data() + LZMA_PROPS_SIZE, &written, data, size,
                           &properties, block.data(), &headerSize, 1, nullptr,
                           &allocator, &allocator);
  if (result != SZ_OK || headerSize != LZMA_PROPS_SIZE) {
    throw ProducerError("compressing a block failed (LZMA error " +
                        std::to_string(result) + ")");
  }
  block.resize(LZMA_PROPS_SIZE + written);
  return block;
}

std::vector<uint8_t> CompressFrame(const uint8_t* data, size_t size,
                                   int maxWindowLog, int level) {
  static const uint8_t kNothing = 0;
  if (size == 0) data = &kNothing;
  ZSTD_CCtx* context = ZSTD_createCCtx();
  if (context == nullptr) throw ProducerError("compressing a block failed");
  // The quick level for choosing, the highest for the package.
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel,
                         level != 0 ? level : ZSTD_maxCLevel());
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog,
                         WindowLogFor(size, maxWindowLog));
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0);
  ZSTD_CCtx_setParameter(context, ZSTD_c_dictIDFlag, 0);
  std::vector<uint8_t> block(ZSTD_compressBound(size));
  const size_t written =
      ZSTD_compress2(context, block.data(), block.size(), data, size);
  ZSTD_freeCCtx(context);
  if (ZSTD_isError(written)) {
    throw ProducerError(std::string("compressing a block failed (") +
                        ZSTD_getErrorName(written) + ")");
  }
  block.resize(written);
  return block;
}

std::vector<uint8_t> CompressStream(const uint8_t* data, size_t size,
                                    int maxWindowLog, int level,
                                    const StreamModel& model,
                                    StreamCodec codec) {
  return codec == StreamCodec::kZstd
             ? CompressFrame(data, size, maxWindowLog, level)
             : CompressBlock(data, size, maxWindowLog, level, model);
}

std::vector<uint8_t> CompressInstructions(
    const std::vector<uint8_t>& instructions, int level, StreamCodec codec) {
  std::vector<uint8_t> block(4);
  uint32_t count = static_cast<uint32_t>(instructions.size());
  std::memcpy(block.data(), &count, 4);
  std::vector<uint8_t> stream =
      CompressStream(instructions.data(), instructions.size(), kMaxWindowLog,
                     level, kInstructionModel, codec);
  block.insert(block.end(), stream.begin(), stream.end());
  return block;
}
