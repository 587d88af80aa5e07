#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "apply/file_data.h"
#include "apply/read_ahead_data.h"
#include "standin_control.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

// A block decoded ahead hands out the same bytes, and ends as it should,
// when its thread cannot start (it then decodes on the reader's thread) and
// when the thread runs but its start signal could not be made.
TEST(StreamFaults, ReadAheadWithoutItsThreadOrItsStartSignal) {
  ScratchDir dir;
  std::mt19937 random{7};
  const Bytes content = RandomBytes(random, 6 * CReadAheadData::kChunk + 5);
  const Bytes block = CompressedStream(content);
  WriteAll(dir / "in", block);
  HANDLE handle =
      CreateFileW(Wide(dir / "in").c_str(), GENERIC_READ, FILE_SHARE_READ,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  // The thread's start signal is the first event the stream makes.
  const std::pair<const char*, uint64_t> faults[] = {{"_beginthreadex", 1},
                                                     {"CreateEventW", 1}};
  for (const auto& fault : faults) {
    for (bool abandoned : {false, true}) {
      standin::ResetCalls();
      standin::FailCall(fault.first, fault.second, ERROR_NOT_ENOUGH_MEMORY);
      SharedArray<CCompressedReadData> source;
      source.Attach(new CCompressedReadData(&::ReadFile, handle, 0,
                                            block.size(), UINT64_MAX),
                    1);
      std::unique_ptr<CReadAheadData> stream(new CReadAheadData(source));
      standin::ResetCalls();
      Bytes out(content.size() + 1000);
      uint32_t delivered = 0, total = 0;
      if (abandoned) {
        // Gone with its decoder waiting for room.
        ASSERT_TRUE(stream->Read(out.data(), 10, &delivered));
        stream.reset();
        continue;
      }
      do {
        ASSERT_TRUE(stream->Read(out.data() + total, 1000, &delivered));
        total += delivered;
      } while (delivered > 0);
      out.resize(total);
      EXPECT_EQ(content, out) << fault.first;
      EXPECT_TRUE(stream->Finished()) << fault.first;
    }
  }
  CloseHandle(handle);
}

// The old file's cache reads a file it holds whole 64 KiB at a time, and
// once, also while proving it (the proof hashes the bytes the reads take);
// a smaller cache reads ahead only into slots that hold nothing, so it
// never gives back a block it holds for one nobody asked for.
TEST(StreamFaults, OldFileReadsAheadIntoEmptySlotsOnly) {
  ScratchDir dir;
  std::mt19937 random{8};
  const Bytes content = RandomBytes(random, (1u << 20) + 100);
  WriteAll(dir / "in", content);
  HANDLE handle =
      CreateFileW(Wide(dir / "in").c_str(), GENERIC_READ, FILE_SHARE_READ,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  Bytes out(content.size());
  COldFileReader whole(handle, nullptr);
  for (uint64_t expected : {17u, 0u}) {
    standin::ResetCalls();
    for (uint64_t at = 0; at < content.size(); at += 1000) {
      uint32_t count =
          static_cast<uint32_t>(std::min<uint64_t>(1000, content.size() - at));
      ASSERT_TRUE(whole.Read(at, out.data() + at, count));
    }
    EXPECT_EQ(content, out);
    EXPECT_EQ(expected, standin::CallCount("ReadFile"));
  }
  {
    standin::ResetCalls();
    COldFileReader proving(handle, nullptr);
    proving.Prove(Sha256(content).data());
    ASSERT_TRUE(proving.Read(content.size() - 1, out.data(), 1));
    ASSERT_TRUE(proving.Read(0, out.data(), 1000));
    EXPECT_TRUE(proving.Proven());
    EXPECT_EQ(17u, standin::CallCount("ReadFile"));
  }

  // Eight slots over the file's first sixteen blocks: (where a read starts,
  // in blocks; the loads it makes).
  COldFileReader small(handle, nullptr, 8 * kTransformBlock);
  const std::pair<uint64_t, uint64_t> reads[] = {
      {12, 1},  // blocks 12..15 into slots 4..7
      {0, 1},   // blocks 0..3, up to the held slot 4
      {12, 0},  // still held
      {4, 1},   // block 4 alone: it takes slot 4, the next ones are held
      {13, 0}};
  for (const auto& read : reads) {
    standin::ResetCalls();
    uint8_t byte = 0;
    ASSERT_TRUE(small.Read(read.first * kTransformBlock, &byte, 1));
    EXPECT_EQ(content[read.first * kTransformBlock], byte) << read.first;
    EXPECT_EQ(read.second, standin::CallCount("ReadFile")) << read.first;
  }
  CloseHandle(handle);
}

}  // namespace
