#include "producer/block_compressor.h"

#include <LzmaEnc.h>
#include <zstd.h>

#include <cstdlib>
#include <cstring>
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

void* Allocate(void*, size_t size) { return std::malloc(size); }
void Release(void*, void* block) { std::free(block); }
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
