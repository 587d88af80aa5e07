#include <gtest/gtest.h>

#include <memory>
#include <random>

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

}  // namespace
