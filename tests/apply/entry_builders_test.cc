#include "apply/entry_builders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "apply/patch_thread.h"
#include "apply/worker_fixture.h"
#include "package/package_loader.h"

namespace {

using namespace testing_support;

// A loaded package, a worker over it that is never started, and files to
// build into.
class Builders : public WorkerTest {
 protected:
  void TearDown() override {
    CloseAll();
    WorkerTest::TearDown();
  }
  // Windows will not rewrite or read back a file still open without
  // sharing: every build step starts from closed files.
  void CloseAll() {
    for (HANDLE handle : handles) CloseHandle(handle);
    handles.clear();
  }
  HANDLE Open(const std::string& name, DWORD access, DWORD disposition) {
    HANDLE handle =
        CreateFileW(Wide(In(name)).c_str(), access, FILE_SHARE_READ, nullptr,
                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, handle);
    handles.push_back(handle);
    return handle;
  }
  PackageEntry& Record(size_t index) {
    return holder.Get()->entries[index].record;
  }
  ResultCode Rebuild(const Bytes& old, size_t index = 0) {
    CloseAll();
    WriteAll(In("old"), old);
    return RebuildFile(*worker, Open("old", GENERIC_READ, OPEN_EXISTING),
                       Open("out", GENERIC_WRITE, CREATE_ALWAYS),
                       Record(index));
  }
  ResultCode Add(size_t index = 0) {
    CloseAll();
    return WriteAddedFile(Record(index), *worker,
                          Open("out", GENERIC_WRITE, CREATE_ALWAYS));
  }
  std::vector<double> Fractions() {
    std::vector<double> fractions;
    for (const RecordedMessage& m : window.Messages(WM_PATCH_PROGRESS)) {
      fractions.push_back(m.fraction);
    }
    return fractions;
  }

  std::vector<HANDLE> handles;
};

// A whole buffer reports its start and its end; an empty file only its end.
TEST_F(Builders, AddedFiles) {
  Load({AddEntry("exact", Bytes(65536, 1)), AddEntry("empty", Bytes()),
        AddEntry("outside", ToBytes("content"))});
  ASSERT_EQ(ResultSuccess, Add(0));
  EXPECT_EQ((std::vector<double>{0.0, 1.0}), Fractions());
  window.Clear();
  ASSERT_EQ(ResultSuccess, Add(1));
  EXPECT_EQ(std::vector<double>{1.0}, Fractions());
  Record(2).literalOffset = holder.Get()->header.packageSize - 3;
  EXPECT_EQ(ResultCreateFailed, Add(2));
}

TEST_F(Builders, EmptyResultAndBrokenBlocks) {
  Load({PatchEntry("a", ToBytes("old"), Bytes()),
        PatchEntry("b", ToBytes("old"), ToBytes("new"))});
  ASSERT_EQ(ResultSuccess, Rebuild(ToBytes("old"), 0));
  EXPECT_EQ(std::vector<double>{1.0}, Fractions());

  // Instructions that end before their end marker, or an empty block.
  Record(1).instructionSize = 1;
  EXPECT_EQ(ResultUpdateFailed, Rebuild(ToBytes("old"), 1));
  Record(1).instructionSize = 0;
  EXPECT_EQ(ResultUpdateFailed, Rebuild(ToBytes("old"), 1));
  // Blocks outside the package.
  uint64_t packageSize = holder.Get()->header.packageSize;
  Record(1).instructionSize = 2;
  Record(1).instructionOffset = packageSize - 1;
  EXPECT_EQ(ResultUpdateFailed, Rebuild(ToBytes("old"), 1));
  Record(1).instructionOffset = UINT64_MAX;
  EXPECT_EQ(ResultUpdateFailed, Rebuild(ToBytes("old"), 1));
  // A literal block one byte past the end, though no byte of it is used.
  Record(0).literalSize = packageSize - Record(0).literalOffset + 1;
  EXPECT_EQ(ResultUpdateFailed, Rebuild(ToBytes("old"), 0));
  // An instruction block too large to hold.
  Record(1).literalSize = 0;
  Record(1).instructionSize = uint64_t{1} << 33;
  EXPECT_EQ(ResultUpdateFailed, Rebuild(ToBytes("old"), 1));
}

TEST_F(Builders, CompressedBlocksDecodeToExactlyWhatIsTaken) {
  Bytes old = ToBytes("the old program, version one");
  Bytes target = ToBytes("the new program: version two, longer");
  Bytes content;  // more than one read buffer and one stored chunk
  for (int i = 0; i < 20000; ++i) content.push_back("0123456789abc\n"[i % 14]);
  struct Case {
    const char* what;
    std::function<Bytes(const Bytes&)> block;
    bool builds;
  } cases[] = {
      {"whole", [](const Bytes& b) { return StoredStream(b); }, true},
      {"ends early",
       [](const Bytes& b) {
         return StoredStream(Bytes(b.begin(), b.end() - 1));
       },
       false},
      {"runs long",
       [](const Bytes& b) {
         Bytes more = b;
         more.push_back('x');
         return StoredStream(more);
       },
       false},
      {"bytes after the end marker",
       [](const Bytes& b) {
         Bytes block = StoredStream(b);
         block.push_back(0);
         return block;
       },
       false},
      {"cut inside the frame",
       [](const Bytes& b) {
         Bytes block = StoredStream(b);
         block.pop_back();
         return block;
       },
       false},
      {"window over 64 MiB",
       [](const Bytes& b) {
         Bytes block = StoredStream(b);
         block[5] = (kMaxWindowLog + 1 - 10) << 3;
         return block;
       },
       false},
      {"reserved block type",
       [](const Bytes& b) {
         Bytes block = StoredStream(b);
         block[6] |= 6;
         return block;
       },
       false},
      {"not a frame",
       [](const Bytes& b) {
         Bytes block = StoredStream(b);
         block[0] ^= 1;
         return block;
       },
       false},
      {"empty block", [](const Bytes&) { return Bytes(); }, false},
  };
  TestEntry patch = Compressed(PatchEntry("p", old, target));
  Bytes instructions = PatchEntry("p", old, target).instructions;
  Bytes literal = PatchEntry("p", old, target).literal;
  for (const Case& c : cases) {
    // Each block of a patched entry in turn, and an added entry's.
    TestEntry literalBroken = patch, instructionsBroken = patch;
    instructionsBroken.name = "q";  // one name per file
    literalBroken.literal = c.block(literal);
    instructionsBroken.instructions.resize(4);
    Bytes stream = c.block(instructions);
    instructionsBroken.instructions.insert(
        instructionsBroken.instructions.end(), stream.begin(), stream.end());
    TestEntry add = AddEntry("a", content);
    add.literal = c.block(content);
    Load({literalBroken, instructionsBroken, add}, PackageFlagCompressed);
    ResultCode rebuilt = c.builds ? ResultSuccess : ResultUpdateFailed;
    for (size_t index : {0, 1}) {
      EXPECT_EQ(rebuilt, Rebuild(old, index)) << c.what << " " << index;
      CloseAll();
      if (c.builds) {
        EXPECT_EQ(target, ReadAll(In("out")));
      }
    }
    EXPECT_EQ(c.builds ? ResultSuccess : ResultCreateFailed, Add(2)) << c.what;
    CloseAll();
    if (c.builds) {
      EXPECT_EQ(content, ReadAll(In("out")));
    }
  }
  // The count of instruction bytes must be what the stream holds, and
  // within 1 to 2^31 - 1.
  for (uint32_t count : {uint32_t(instructions.size() - 1),
                         uint32_t(instructions.size() + 1), 0u, 0x80000000u}) {
    TestEntry wrongCount = patch;
    std::memcpy(wrongCount.instructions.data(), &count, 4);
    Load({wrongCount}, PackageFlagCompressed);
    EXPECT_EQ(ResultUpdateFailed, Rebuild(old)) << count;
  }
  // The literal stream yields no more than the new file's size.
  Load({patch}, PackageFlagCompressed);
  Record(0).newSize = 1;
  EXPECT_EQ(ResultUpdateFailed, Rebuild(old));
}

// The first report of a file is always sent.
TEST(ReportProgress, FractionsStayWithinZeroAndOne) {
  RecordingWindow window;
  uint64_t top = uint64_t{1} << 63;
  struct Case {
    uint64_t done, total;
    double sent;
  } cases[] = {
      {top, top, 1.0},      // the top bit is not a sign
      {top / 2, top, 0.5},  // half
      {5, 0, 1.0},          // no total
      {10, 5, 1.0},         // more than expected
      {0, 4, 0.0},
  };
  for (const Case& c : cases) {
    ProgressPace pace(window.handle());
    window.Clear();
    EXPECT_EQ(1u, ReportProgress(c.done, c.total,
                                 reinterpret_cast<uintptr_t>(&pace)));
    std::vector<RecordedMessage> sent = window.Messages(WM_PATCH_PROGRESS);
    ASSERT_EQ(1u, sent.size()) << c.done << "/" << c.total;
    EXPECT_EQ(c.sent, sent[0].fraction) << c.done << "/" << c.total;
  }
}

TEST(ReportProgress, NothingIsSentThatLeavesTheBarWhereItIs) {
  RecordingWindow window;
  SteppedClock clock(kProgressInterval);  // every report is due
  ProgressPace pace(window.handle());
  auto context = reinterpret_cast<uintptr_t>(&pace);
  uint64_t total = 1000000000;
  ReportProgress(0, total, context);
  ReportProgress(total / kProgressRange - 1, total, context);  // still 0
  ReportProgress(total, total, context);
  ReportProgress(total + 1, total, context);  // still the whole file
  std::vector<RecordedMessage> sent = window.Messages(WM_PATCH_PROGRESS);
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(0.0, sent[0].fraction);
  EXPECT_EQ(1.0, sent[1].fraction);
}

// Ten megabytes rebuilt or added: a message only when the bar moves and at
// most one per kProgressInterval, besides the first and the last.
TEST_F(Builders, LargeFilesSendAMessagePerIntervalAtMost) {
  std::mt19937 random(12);
  Bytes old = RandomBytes(random, 10 << 20);
  Bytes target = old;
  target.insert(target.begin() + 4096, 5000, 0x42);
  target[target.size() - 100] ^= 1;
  Load({PatchEntry("rebuilt", old, target), AddEntry("added", target)});
  SteppedClock clock(1);  // each reading of the clock a millisecond on
  for (int added = 0; added < 2; ++added) {
    window.Clear();
    ULONGLONG started = GetTickCount64();
    ASSERT_EQ(ResultSuccess, added ? Add(1) : Rebuild(old, 0));
    ULONGLONG took = GetTickCount64() - started;
    CloseAll();
    EXPECT_EQ(target, ReadAll(In("out")));
    std::vector<double> fractions = Fractions();
    ASSERT_LE(2u, fractions.size()) << added;
    EXPECT_GE(took / kProgressInterval + 2, fractions.size()) << added;
    EXPECT_EQ(0.0, fractions.front()) << added;
    EXPECT_EQ(1.0, fractions.back()) << added;
    for (size_t i = 1; i < fractions.size(); ++i) {
      EXPECT_LT(ProgressPosition(fractions[i - 1]),
                ProgressPosition(fractions[i]))
          << added << " at " << i;
    }
  }
}

}  // namespace
