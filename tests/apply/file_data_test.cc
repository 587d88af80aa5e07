#include "apply/file_data.h"

#include <gtest/gtest.h>

#include <random>

#include "support/test_support.h"

namespace {

using namespace testing_support;

// The running counts a stream reports.
struct ProgressLog {
  template <typename Stream>
  explicit ProgressLog(Stream* stream) {
    stream->progressCallback = &ProgressLog::Record;
    stream->progressContext = reinterpret_cast<uintptr_t>(this);
  }
  static DWORD Record(uint64_t position, uint64_t, uintptr_t context) {
    reinterpret_cast<ProgressLog*>(context)->positions.push_back(position);
    return 0;
  }
  std::vector<uint64_t> positions;
};

class Streams : public ::testing::Test {
 protected:
  HANDLE Open(const char* name, DWORD access, DWORD disposition) {
    HANDLE handle =
        CreateFileW(Wide(dir / name).c_str(), access, FILE_SHARE_READ, nullptr,
                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, handle);
    handles.push_back(handle);
    return handle;
  }
  void TearDown() override {
    for (HANDLE handle : handles) CloseHandle(handle);
  }

  ScratchDir dir;
  std::vector<HANDLE> handles;
  std::mt19937 random{5};
};

// A region of two whole buffers, from offset 1000, read in
// pieces that cross a buffer's end, then runs dry.
TEST_F(Streams, ReadAcrossABufferBoundary) {
  Bytes content = RandomBytes(random, 140000);
  WriteAll(dir / "in", content);
  HANDLE file = Open("in", GENERIC_READ, OPEN_EXISTING);
  CFileReadData region(&::ReadFile, file, 1000, 131072);
  ProgressLog log(&region);
  Bytes out(140000);
  uint32_t delivered = 0;
  ASSERT_TRUE(region.Read(out.data(), 70000, &delivered));
  EXPECT_EQ(70000u, delivered);
  ASSERT_EQ((std::vector<uint64_t>{65536, 70000}), log.positions);
  ASSERT_TRUE(region.Read(out.data() + 70000, 70000, &delivered));
  EXPECT_EQ(61072u, delivered);
  EXPECT_EQ(131072u, log.positions.back());
  out.resize(131072);
  EXPECT_EQ(Bytes(content.begin() + 1000, content.begin() + 132072), out);
  ASSERT_TRUE(region.Read(out.data(), 10, &delivered));
  EXPECT_EQ(0u, delivered);
}

// Reads anywhere in the old file, either way, across blocks, up to the end
// and past it, through a cache that holds the whole file and through one
// of two blocks that must give blocks back and load them again; through a
// transform too, the bytes read are the file's as the transform of the
// whole file holds them.
TEST_F(Streams, OldFileReadAnywhere) {
  Bytes content = RandomBytes(random, 200000);
  for (size_t i = 0; i + 5 < content.size(); i += 37) {
    content[i] = 0xE8;
    content[i + 4] = 0;
  }
  WriteAll(dir / "in", content);
  HANDLE file = Open("in", GENERIC_READ, OPEN_EXISTING);
  const CodeTransform code(kTransformX86, 24, {{1000, 150000, 0x1000}});
  Bytes transformed = content;
  code.Forward(transformed.data(), 0, transformed.size());
  for (const CodeTransform* transform :
       {&code, (const CodeTransform*)nullptr}) {
    const Bytes& expected = transform != nullptr ? transformed : content;
    for (uint32_t cache : {kOldCacheSize, 2 * kTransformBlock}) {
      COldFileReader old(file, transform, cache);
      for (uint64_t at : {100u, 50u, 70000u, 4090u, 131072u, 8190u, 199990u, 3u,
                          65535u, 195000u, 0u}) {
        Bytes out(10000);
        uint32_t count = static_cast<uint32_t>(
            std::min<uint64_t>(out.size(), content.size() - at));
        ASSERT_TRUE(old.Read(at, out.data(), count)) << at;
        out.resize(count);
        EXPECT_EQ(Bytes(expected.begin() + at, expected.begin() + at + count),
                  out)
            << at << " " << cache;
      }
      uint8_t byte = 0x55;
      EXPECT_TRUE(old.Read(200000, &byte, 0));
      EXPECT_FALSE(old.Read(199999, &byte, 2));
      EXPECT_EQ(0x55, byte);
    }
  }
}

// Whole buffers go to the file as they fill, the rest with Flush; a write
// the platform refuses fails Flush.
TEST_F(Streams, FlushReportsAFailedWrite) {
  Bytes content = RandomBytes(random, 65536 + 100);
  CFileWriteData writer(Open("out", GENERIC_WRITE, CREATE_ALWAYS));
  ProgressLog log(&writer);
  ASSERT_TRUE(writer.Write(content.data(), 65000));
  ASSERT_TRUE(writer.Write(content.data() + 65000, 636));
  EXPECT_EQ(65536u, ReadAll(dir / "out").size());  // flushed inside Write
  // The write that crosses the buffer's end reports at it and after it.
  EXPECT_EQ((std::vector<uint64_t>{65000, 65536, 65636}), log.positions);
  EXPECT_TRUE(writer.Flush());
  EXPECT_EQ(content, ReadAll(dir / "out"));

  // A handle open for reading only: every write fails.
  WriteAll(dir / "in", Bytes(10));
  CFileWriteData refused(Open("in", GENERIC_READ, OPEN_EXISTING));
  refused.Write("abc", 3);
  EXPECT_FALSE(refused.Flush());
}

}  // namespace
