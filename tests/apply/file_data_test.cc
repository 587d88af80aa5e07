#include "apply/file_data.h"

#include <gtest/gtest.h>

#include <random>

#include "support/test_support.h"

namespace {

using namespace testing_support;

struct ProgressLog {
  std::vector<uint64_t> positions;
  static DWORD Record(uint64_t position, uint64_t total, uintptr_t context) {
    auto* log = reinterpret_cast<ProgressLog*>(context);
    log->positions.push_back(position);
    log->total = total;
    return 0;
  }
  uint64_t total = 99;
};

// A platform read that records the amounts asked for.
std::vector<DWORD>* g_reads = nullptr;
BOOL WINAPI CountingRead(HANDLE file, LPVOID out, DWORD size, LPDWORD done,
                         LPOVERLAPPED overlapped) {
  g_reads->push_back(size);
  return ReadFile(file, out, size, done, overlapped);
}

class Streams : public ::testing::Test {
 protected:
  HANDLE OpenWith(const Bytes& content) {
    WriteAll(dir / "in", content);
    return Keep(CreateFileW(Wide(dir / "in").c_str(), GENERIC_READ,
                            FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  HANDLE CreateOutput() {
    return Keep(CreateFileW(Wide(dir / "out").c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  HANDLE Keep(HANDLE handle) {
    EXPECT_NE(INVALID_HANDLE_VALUE, handle);
    handles.push_back(handle);
    return handle;
  }
  void SetUp() override { g_reads = &reads; }
  void TearDown() override {
    for (HANDLE handle : handles) CloseHandle(handle);
  }

  ScratchDir dir;
  std::vector<HANDLE> handles;
  std::vector<DWORD> reads;
  std::mt19937 random{5};
};

TEST_F(Streams, ReadAcrossABufferBoundary) {
  Bytes content = RandomBytes(random, 100000);
  CFileReadData stream(&CountingRead, OpenWith(content), 100000);
  ProgressLog log;
  stream.progressCallback = &ProgressLog::Record;
  stream.progressContext = reinterpret_cast<uintptr_t>(&log);
  Bytes out(70000);
  uint32_t delivered = 0;
  ASSERT_TRUE(stream.Read(out.data(), 70000, &delivered));
  EXPECT_EQ(70000u, delivered);
  EXPECT_EQ(Bytes(content.begin(), content.begin() + 70000), out);
  EXPECT_EQ((std::vector<DWORD>{65536, 34464}), reads);
  EXPECT_EQ((std::vector<uint64_t>{65536, 70000}), log.positions);
  EXPECT_EQ(0u, log.total);  // progressTotal left at 0
  ASSERT_TRUE(stream.Read(out.data(), 70000, &delivered));
  EXPECT_EQ(30000u, delivered);
  ASSERT_TRUE(stream.Read(out.data(), 10, &delivered));
  EXPECT_EQ(0u, delivered);
  EXPECT_FALSE(stream.Read(out.data(), 10, nullptr));
}

TEST_F(Streams, RegionsOfWholeBuffersAndOfNothing) {
  Bytes content = RandomBytes(random, 131072);
  CFileReadData exact(&CountingRead, OpenWith(content), 131072);
  Bytes out(131072);
  uint32_t delivered = 0;
  ASSERT_TRUE(exact.Read(out.data(), 131072, &delivered));
  EXPECT_EQ(content, out);
  // After the last whole buffer one more fill asks for nothing.
  EXPECT_EQ((std::vector<DWORD>{65536, 65536, 0}), reads);
  ASSERT_TRUE(exact.Read(out.data(), 1, &delivered));
  EXPECT_EQ(0u, delivered);

  reads.clear();
  CFileReadData empty(&CountingRead, OpenWith(content), 0);
  EXPECT_EQ((std::vector<DWORD>{0}), reads);
  ASSERT_TRUE(empty.Read(out.data(), 5, &delivered));
  EXPECT_EQ(0u, delivered);
}

TEST_F(Streams, RegionStartsWhereTheHandleStandsAndWholeFileReadsAll) {
  Bytes content = RandomBytes(random, 5000);
  HANDLE file = OpenWith(content);
  SetFilePointer(file, 1000, nullptr, FILE_BEGIN);
  CFileReadData region(&::ReadFile, file, 10);
  Bytes out(10);
  uint32_t delivered;
  region.Read(out.data(), 10, &delivered);
  EXPECT_EQ(Bytes(content.begin() + 1000, content.begin() + 1010), out);

  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  CFileReadData whole(file);
  EXPECT_EQ(5000u, whole.regionSize);
  Bytes all(6000);
  whole.Read(all.data(), 6000, &delivered);
  EXPECT_EQ(5000u, delivered);
}

TEST_F(Streams, WriteFlushesWholeBuffersAndDropsTheRestUnlessFlushed) {
  Bytes content = RandomBytes(random, 65536 + 100);
  {
    CFileWriteData writer(CreateOutput());
    ProgressLog log;
    writer.progressCallback = &ProgressLog::Record;
    writer.progressContext = reinterpret_cast<uintptr_t>(&log);
    writer.progressTotal = 7;
    ASSERT_TRUE(writer.Write(content.data(), 65536));
    EXPECT_EQ(65536u, ReadAll(dir / "out").size());  // flushed inside Write
    ASSERT_TRUE(writer.Write(content.data() + 65536, 100));
    EXPECT_EQ((std::vector<uint64_t>{65536, 65636}), log.positions);
    EXPECT_EQ(7u, log.total);
  }  // destroyed without Flush: the last 100 bytes are dropped
  EXPECT_EQ(Bytes(content.begin(), content.begin() + 65536),
            ReadAll(dir / "out"));

  CloseHandle(handles.back());
  handles.pop_back();
  CFileWriteData writer(CreateOutput());
  // A write that crosses the boundary reports twice.
  ProgressLog log;
  writer.progressCallback = &ProgressLog::Record;
  writer.progressContext = reinterpret_cast<uintptr_t>(&log);
  writer.Write(content.data(), 65000);
  writer.Write(content.data() + 65000, 636);
  EXPECT_EQ((std::vector<uint64_t>{65000, 65536, 65636}), log.positions);
  EXPECT_TRUE(writer.Flush());
  EXPECT_TRUE(writer.Flush());  // an empty flush still succeeds
  EXPECT_EQ(Bytes(content.begin(), content.begin() + 65636),
            ReadAll(dir / "out"));
}

TEST_F(Streams, FlushReportsAFailedWrite) {
  // A handle open for reading only: every write fails.
  CFileWriteData writer(OpenWith(Bytes(10)));
  writer.Write("abc", 3);
  EXPECT_FALSE(writer.Flush());
}

}  // namespace
