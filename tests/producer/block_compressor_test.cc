#include "producer/block_compressor.h"

#include <LzmaDec.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "producer/side_by_side.h"

namespace {

void* Allocate(void*, size_t size) { return std::malloc(size); }
void Release(void*, void* block) { std::free(block); }
ISzAlloc allocator = {&Allocate, &Release};

std::vector<uint8_t> Decoded(const std::vector<uint8_t>& block, size_t size) {
  std::vector<uint8_t> out(size + 1);
  SizeT outSize = out.size();
  SizeT inSize = block.size() - LZMA_PROPS_SIZE;
  ELzmaStatus status;
  SRes result = LzmaDecode(out.data(), &outSize, block.data() + LZMA_PROPS_SIZE,
                           &inSize, block.data(), LZMA_PROPS_SIZE,
                           LZMA_FINISH_END, &status, &allocator);
  EXPECT_EQ(result, SZ_OK);
  EXPECT_EQ(status, LZMA_STATUS_FINISHED_WITH_MARK);
  out.resize(outSize);
  return out;
}

// Bytes that compress some: runs of a few values with now and then a
// random one.
std::vector<uint8_t> Sample(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245 + 12345;
    bytes[i] = (seed >> 28) == 0 ? static_cast<uint8_t>(seed >> 16)
                                 : static_cast<uint8_t>(i / 64 % 7);
  }
  return bytes;
}

// The encoder's tables are kept from one block to the next and shared by
// the threads of a side-by-side choice: blocks of sizes whose tables
// differ, coded on two threads at once in opposite orders and at both
// levels, each decode to their own bytes.
TEST(CompressBlock, BlocksOfManySizesOnTwoThreadsDecodeToTheirBytes) {
  const size_t sizes[] = {0, 1, 300, 5000, 70000, 300000};
  const size_t count = sizeof sizes / sizeof sizes[0];
  auto run = [&](bool backwards, uint32_t seed) {
    for (int level : {2, 0}) {
      for (size_t i = 0; i < count; ++i) {
        const size_t size = sizes[backwards ? count - 1 - i : i];
        std::vector<uint8_t> bytes = Sample(size, seed + i);
        std::vector<uint8_t> block =
            CompressBlock(bytes.data(), bytes.size(), kMaxWindowLog, level,
                          level == 0 ? kFileModel : kInstructionModel);
        EXPECT_EQ(Decoded(block, size), bytes) << size << " at " << level;
      }
    }
  };
  RunSideBySide([&] { run(false, 1); }, [&] { run(true, 100); });
}

}  // namespace
