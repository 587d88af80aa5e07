#include "apply/file_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "apply/read_ahead_data.h"
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
// and past it, through a cache that holds the whole file, through one of
// eight blocks whose reads of several blocks stop at a held slot and at the
// last, and through one of two blocks that must give blocks back and load
// them again; through a transform too, the bytes read are the file's as the
// transform of the whole file holds them. Proving the file as it loads
// (on the loader's thread where the cache holds it, hashed first where it
// does not) changes none of that, and tells a file from another of its
// size.
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
    for (uint32_t cache :
         {kOldCacheSize, 8 * kTransformBlock, 2 * kTransformBlock}) {
      for (int prove : {0, 1, 2}) {  // no, the file's digest, another
        COldFileReader old(file, transform, cache);
        Bytes digest = Sha256(content);
        digest[31] ^= prove == 2 ? 1 : 0;
        // A file the cache does not hold is hashed first, its verdict known.
        if (prove != 0) {
          EXPECT_EQ(prove == 1 || cache == kOldCacheSize,
                    old.Prove(digest.data()));
        }
        for (uint64_t at : {100u, 50u, 70000u, 4090u, 131072u, 8190u, 199990u,
                            3u, 65535u, 195000u, 0u}) {
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
        EXPECT_EQ(prove == 1, old.Proven()) << prove << " " << cache;
      }
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

// A read that takes its time, so that reads of streams on other threads
// come between a stream's choice of where to read and its read.
BOOL WINAPI SlowRead(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done,
                     LPOVERLAPPED at) {
  Sleep(1);
  return ReadFile(file, buffer, count, done, at);
}

// Two compressed blocks over one handle (and its lock), decoded ahead on
// their own threads while read by turns: each hands out exactly its content,
// also when that ends on a chunk's end, and is finished when all of it was
// read. Read short of the end, or cut, a block is not finished, and a reader
// that stops early does not wait for the decoder.
TEST_F(Streams, ReadAheadHandsOutWhatTheBlockDecodesTo) {
  constexpr uint32_t kChunk = CReadAheadData::kChunk;
  const Bytes first = RandomBytes(random, 3 * kChunk);
  const Bytes second = RandomBytes(random, 3 * kChunk + 777);
  const Bytes blocks[] = {CompressedStream(first), CompressedStream(second),
                          CompressedStream(Bytes(8 * kChunk))};
  Bytes file;
  uint64_t origins[3];
  for (int i = 0; i < 3; ++i) {
    origins[i] = file.size();
    file.insert(file.end(), blocks[i].begin(), blocks[i].end());
  }
  WriteAll(dir / "in", file);
  HANDLE handle = Open("in", GENERIC_READ, OPEN_EXISTING);
  CCriticalSection handleLock;
  auto open = [&](int which, uint64_t size) {
    SharedArray<CCompressedReadData> source;
    source.Attach(new CCompressedReadData(&SlowRead, handle, origins[which],
                                          size, UINT64_MAX, &handleLock),
                  1);
    return new CReadAheadData(source);
  };
  auto read = [](CReadAheadData& stream, Bytes* out, uint32_t count) {
    const size_t at = out->size();
    out->resize(at + count);
    uint32_t delivered = 0;
    EXPECT_TRUE(stream.Read(out->data() + at, count, &delivered));
    out->resize(at + delivered);
    return delivered;
  };

  {
    std::unique_ptr<CReadAheadData> a(open(0, blocks[0].size()));
    std::unique_ptr<CReadAheadData> b(open(1, blocks[1].size()));
    Bytes outA, outB;
    while (read(*a, &outA, 50000) + read(*b, &outB, 70001) > 0) {
    }
    EXPECT_EQ(first, outA);
    EXPECT_EQ(second, outB);
    EXPECT_TRUE(a->Finished());
    EXPECT_TRUE(b->Finished());
  }
  for (uint32_t shortOfEnd : {1u, 777u + kChunk}) {
    std::unique_ptr<CReadAheadData> b(open(1, blocks[1].size()));
    Bytes out;
    read(*b, &out, static_cast<uint32_t>(second.size()) - shortOfEnd);
    EXPECT_FALSE(b->Finished()) << shortOfEnd;
  }
  {
    std::unique_ptr<CReadAheadData> cut(open(1, blocks[1].size() / 2));
    Bytes out;
    while (read(*cut, &out, kChunk) > 0) {
    }
    EXPECT_LT(out.size(), second.size() / 2 + kChunk);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), second.begin()));
    EXPECT_FALSE(cut->Finished());
  }
  // Abandoned with every slot decoded and the decoder waiting for room.
  std::unique_ptr<CReadAheadData> abandoned(open(2, blocks[2].size()));
  Bytes out;
  read(*abandoned, &out, 10);
}

}  // namespace
