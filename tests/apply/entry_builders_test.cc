#include "apply/entry_builders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "apply/delta_decoder.h"
#include "apply/patch_thread.h"
#include "apply/worker_fixture.h"
#include "package/package_loader.h"

namespace {

using namespace testing_support;

// A loaded package, a worker over it that is never started, and files to
// build into.
class Builders : public WorkerTest {
 protected:
  PackageEntry& Record(size_t index) {
    return holder.Get()->entries[index].record;
  }
  // Builds entry `index` into the file "out", a patched one from `old`, and
  // reads it back into `built` (Windows will not read back a file still
  // open without sharing).
  ResultCode Build(size_t index, const Bytes& old = Bytes()) {
    WriteAll(In("old"), old);
    auto open = [this](const char* name, DWORD access, DWORD disposition) {
      return CreateFileW(Wide(In(name)).c_str(), access, FILE_SHARE_READ,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE in = open("old", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = open("out", GENERIC_WRITE, CREATE_ALWAYS);
    EXPECT_NE(INVALID_HANDLE_VALUE, out);
    OpenedBlocks blocks;
    ResultCode result = (Record(index).kind & 0xFF) == EntryKindAdd
                            ? WriteAddedFile(Record(index), *worker, out)
                            : OpenBlocks(*worker, Record(index), &blocks);
    if (result == ResultSuccess && (Record(index).kind & 0xFF) != EntryKindAdd)
      result = RebuildFile(*worker, blocks, in, out, Record(index));
    CloseHandle(in);
    CloseHandle(out);
    built = ReadAll(In("out"));
    return result;
  }
  std::vector<double> Fractions() {
    std::vector<double> fractions;
    for (const RecordedMessage& m : window.Messages(WM_PATCH_PROGRESS)) {
      fractions.push_back(m.fraction);
    }
    return fractions;
  }

  Bytes built;
};

// Every block is checked against the package before a byte of it is used.
TEST_F(Builders, ProgressOfSmallFilesAndBrokenBlocks) {
  Load({PatchEntry("empty", ToBytes("old"), Bytes()),
        PatchEntry("b", ToBytes("old"), ToBytes("new")),
        AddEntry("exact", Bytes(65536, 1)), AddEntry("none", Bytes())});
  // An empty file reports only its end.
  for (size_t empty : {0, 3}) {
    window.Clear();
    ASSERT_EQ(ResultSuccess, Build(empty, ToBytes("old")));
    EXPECT_EQ(std::vector<double>{1.0}, Fractions());
  }
  const uint64_t end = holder.Get()->header.packageSize;
  const struct Case {
    const char* what;
    size_t index;
    uint64_t PackageEntry::*field;
    uint64_t value;
  } cases[] = {
      {"instructions that end before their end marker", 1,
       &PackageEntry::instructionSize, 1},
      {"an empty instruction block", 1, &PackageEntry::instructionSize, 0},
      {"instructions past the package's end", 1,
       &PackageEntry::instructionOffset, end - 1},
      {"instructions at the last offset", 1, &PackageEntry::instructionOffset,
       UINT64_MAX},
      // Though no byte of it is used.
      {"a literal block one byte past the end", 0, &PackageEntry::literalSize,
       end - Record(0).literalOffset + 1},
      {"an added file's block past the end", 2, &PackageEntry::literalOffset,
       end - 3},
  };
  for (const Case& c : cases) {
    const PackageEntry saved = Record(c.index);
    Record(c.index).*c.field = c.value;
    EXPECT_EQ(c.index == 2 ? ResultCreateFailed : ResultUpdateFailed,
              Build(c.index, ToBytes("old")))
        << c.what;
    Record(c.index) = saved;
  }
}

// The block `content` as a stream, then broken as `how` says.
Bytes Framed(const std::string& how, Bytes content) {
  if (how == "empty block") return Bytes();
  if (how == "ends early") content.pop_back();
  if (how == "runs long") content.push_back('x');
  Bytes block = CompressedStream(content);
  if (how == "bytes after the end marker") block.push_back(0);
  if (how == "cut inside the stream") block.pop_back();
  if (how == "header only") block.resize(5);
  if (how == "dictionary over 64 MiB") {
    const uint32_t size = (uint32_t{1} << kMaxWindowLog) + 1;
    std::memcpy(block.data() + 1, &size, 4);
  }
  if (how == "properties out of range") block[0] = 9 * 5 * 5;
  if (how == "damaged coder start") block[5] ^= 0x80;
  return block;
}

TEST_F(Builders, CompressedBlocksDecodeToExactlyWhatIsTaken) {
  const Bytes& old = kOld;
  const Bytes& target = kNew;
  Bytes content;  // more than one read buffer and one stored chunk
  for (int i = 0; i < 20000; ++i) content.push_back("0123456789abc\n"[i % 14]);
  TestEntry patch = Compressed(PatchEntry("p", old, target));
  const TestEntry plain = PatchEntry("p", old, target);
  for (const char* how :
       {"whole", "ends early", "runs long", "bytes after the end marker",
        "cut inside the stream", "header only", "dictionary over 64 MiB",
        "properties out of range", "damaged coder start", "empty block"}) {
    const bool builds = std::string(how) == "whole";
    // Each block of a patched entry in turn, and an added entry's.
    TestEntry literalBroken = patch, instructionsBroken = patch;
    instructionsBroken.name = "q";  // one name per file
    literalBroken.literal = Framed(how, plain.literal);
    instructionsBroken.instructions.resize(4);
    Bytes stream = Framed(how, plain.instructions);
    instructionsBroken.instructions.insert(
        instructionsBroken.instructions.end(), stream.begin(), stream.end());
    TestEntry add = AddEntry("a", content);
    add.literal = Framed(how, content);
    Load({literalBroken, instructionsBroken, add}, PackageFlagCompressed);
    for (size_t index : {0, 1, 2}) {
      ResultCode failed = index == 2 ? ResultCreateFailed : ResultUpdateFailed;
      EXPECT_EQ(builds ? ResultSuccess : failed, Build(index, old))
          << how << " " << index;
      if (builds) {
        EXPECT_EQ(index == 2 ? content : target, built);
      }
    }
  }
  // Instructions of over a MiB (every other byte replaced), whose stream
  // is far smaller than a sixteenth of them, build; their count must be
  // what the stream holds, and within 1 to 2^31 - 1.
  std::mt19937 random(5);
  const Bytes many = RandomBytes(random, 1300000);
  Bytes changed = many;
  std::vector<Instruction> pairs;
  Bytes replaced;
  for (size_t i = 1; i < many.size(); i += 2) {
    changed[i] ^= 0x5A;
    replaced.push_back(changed[i]);
    pairs.push_back({Copy, 1});
    pairs.push_back({Replace, 1});
  }
  TestEntry large = PatchEntry("p", many, changed);
  large.instructions = EncodeInstructions(pairs);
  large.literal = replaced;
  ASSERT_GT(large.instructions.size(), 1u << 20);
  const uint32_t size = static_cast<uint32_t>(large.instructions.size());
  large = Compressed(large);
  Load({large}, PackageFlagCompressed);
  EXPECT_EQ(ResultSuccess, Build(0, many));
  EXPECT_EQ(changed, built);
  for (uint32_t count : {size - 1, size + 1, 0u, 0x80000000u, 0x7FFFFFFFu}) {
    TestEntry wrongCount = large;
    std::memcpy(wrongCount.instructions.data(), &count, 4);
    Load({wrongCount}, PackageFlagCompressed);
    EXPECT_EQ(ResultUpdateFailed, Build(0, many)) << count;
  }
  // The literal stream yields no more than the new file's size, also where
  // that is larger than the stream's dictionary: nothing past it is written.
  Load({Compressed(PatchEntry("p", old, content))}, PackageFlagCompressed);
  Record(0).newSize = content.size() / 2;
  EXPECT_EQ(ResultUpdateFailed, Build(0, old));
  EXPECT_LE(built.size(), content.size() / 2);
}

// Copies that seek back can repeat the old file without end: the entry
// fails before anything past the new file's size is written, in either
// coding of its instructions.
TEST_F(Builders, SeekingCopiesStopAtTheNewFileSize) {
  std::vector<Instruction> program;
  const auto size = static_cast<uint32_t>(kOld.size());
  for (int i = 0; i < 1000; ++i) {
    program.push_back({Copy, size});
    program.push_back({Seek, size, true});
  }
  for (bool grouped : {false, true}) {
    TestEntry entry = PatchEntry("p", kOld, kNew);
    entry.kind |= EntryOptionSeeking | (grouped ? EntryOptionGrouped : 0);
    entry.instructions =
        SeekingBlock({},
                     grouped ? EncodeGroupedInstructions(program)
                             : EncodeSeekingInstructions(program),
                     {});
    entry.literal.clear();
    Load({entry}, PackageFlagEntryOptions);
    EXPECT_EQ(ResultUpdateFailed, Build(0, kOld)) << grouped;
    EXPECT_LE(built.size(), kNew.size()) << grouped;
  }
}

// The seeking form rebuilds only from a block whose parts fit and agree
// with the options its entry names; any other fails the entry (14).
TEST_F(Builders, SeekingBlocksAreCheckedBeforeUse) {
  Bytes parameters(12 + 32);  // width 24, one range of each file, at 0
  const uint32_t head[] = {24, 1, 1};
  std::memcpy(parameters.data(), head, sizeof head);
  parameters[20] = static_cast<uint8_t>(kOld.size());
  parameters[36] = static_cast<uint8_t>(kNew.size());
  const uint32_t seeking = PackageFlagEntryOptions;
  const uint32_t compressed = seeking | PackageFlagCompressed;
  const TestEntry plain = SeekingEntry("p", {}, kTransformNone, false);
  const TestEntry x86 = SeekingEntry("p", parameters, kTransformX86, false);
  const TestEntry packed = SeekingEntry("p", {}, kTransformNone, true);
  const TestEntry zstd =
      SeekingEntry("p", {}, kTransformNone, true, 0, StreamCodec::kZstd);
  TestEntry ordered = PatchEntry("p", kOld, kNew);
  ordered.kind |= 0xFFFF0000u;
  // Every byte one more than the old: a count of no zeros before each.
  Bytes increments = kOld, ones;
  for (uint8_t& byte : increments) {
    ++byte;
    ones.insert(ones.end(), {0, 1});
  }
  const TestEntry twice = Seeking(
      PatchEntry("p", kOld, increments),
      EncodeSeekingInstructions({{Add, static_cast<uint32_t>(kOld.size())}}),
      ones, {}, {}, kTransformNone, true);
  // The original form's blocks as frames: the applier would decode them.
  TestEntry framesInOrder = PatchEntry("p", kOld, kNew);
  Bytes count(4);
  const auto instructionCount =
      static_cast<uint32_t>(framesInOrder.instructions.size());
  std::memcpy(count.data(), &instructionCount, 4);
  const Bytes instructionFrame = ZstdFrameOf(framesInOrder.instructions);
  count.insert(count.end(), instructionFrame.begin(), instructionFrame.end());
  framesInOrder.instructions = count;
  framesInOrder.literal = ZstdFrameOf(framesInOrder.literal);
  framesInOrder.kind |= EntryOptionZstd;
  auto changed = [](TestEntry entry, const std::function<void(TestEntry&)>& f) {
    f(entry);
    return entry;
  };
  auto size = [](TestEntry entry, int at, uint32_t value) {
    std::memcpy(entry.instructions.data() + at, &value, 4);
    return entry;
  };
  const struct Case {
    const char* what;
    TestEntry entry;
    uint32_t flags;
    bool builds = false;
    Bytes expected = kNew;
  } cases[] = {
      {"the seeking form", plain, seeking, true},
      {"through a transform", x86, seeking, true},
      {"compressed", packed, compressed, true},
      {"options without the flag", ordered, 0, true},
      {"a block shorter than its sizes",
       changed(plain, [](TestEntry& e) { e.instructions.resize(7); }), seeking},
      {"parameters past the block", size(x86, 0, 1000), seeking},
      {"instructions past the block", size(plain, 4, 1000), seeking},
      {"parameters and no transform",
       changed(x86, [](TestEntry& e) { e.kind &= ~kEntryTransformMask; }),
       seeking},
      {"a transform and no parameters",
       changed(plain, [](TestEntry& e) { e.kind |= 1u << 17; }), seeking},
      {"parameters that do not parse",
       changed(x86, [](TestEntry& e) { e.instructions[8] = 15; }), seeking},
      {"an option nobody knows",
       changed(plain, [](TestEntry& e) { e.kind |= 1u << 20; }), seeking},
      {"a transform past the last",
       changed(x86, [](TestEntry& e) { e.kind |= 3u << 17; }), seeking},
      {"a transform without the seeking form",
       changed(ordered,
               [](TestEntry& e) { e.kind = EntryKindPatch | 1u << 17; }),
       seeking},
      {"differences cut short", SeekingEntry("p", {}, kTransformNone, false, 1),
       seeking},
      {"a difference stream cut short",
       SeekingEntry("p", {}, kTransformNone, true, 1), compressed},
      {"differences twice the size of the new file", twice, compressed, true,
       increments},
      {"bytes after the difference stream",
       changed(packed, [](TestEntry& e) { e.instructions.push_back(0); }),
       compressed},
      {"bytes after the plain differences",
       changed(plain, [](TestEntry& e) { e.instructions.push_back(0); }),
       seeking},
      {"literal bytes it does not take",
       changed(plain, [](TestEntry& e) { e.literal.push_back('.'); }), seeking},
      {"Zstandard frames", zstd, compressed, true},
      {"Zstandard frames through a transform",
       SeekingEntry("p", parameters, kTransformX86, true, 0,
                    StreamCodec::kZstd),
       compressed, true},
      {"the frames' option in a package without compression",
       changed(plain, [](TestEntry& e) { e.kind |= EntryOptionZstd; }),
       seeking},
      {"Zstandard frames in the original form", framesInOrder, compressed},
      {"LZMA streams taken for frames",
       changed(packed, [](TestEntry& e) { e.kind |= EntryOptionZstd; }),
       compressed},
      {"frames taken for LZMA streams",
       changed(zstd, [](TestEntry& e) { e.kind &= ~EntryOptionZstd; }),
       compressed},
      {"a difference frame cut short",
       SeekingEntry("p", {}, kTransformNone, true, 1, StreamCodec::kZstd),
       compressed},
      {"bytes after the difference frame",
       changed(zstd, [](TestEntry& e) { e.instructions.push_back(0); }),
       compressed},
      {"the ordered form's literal bytes it does not take",
       changed(PatchEntry("p", kOld, kNew),
               [](TestEntry& e) { e.literal.push_back('.'); }),
       0, true},
  };
  for (const Case& c : cases) {
    Load({c.entry}, c.flags);
    EXPECT_EQ(c.builds ? ResultSuccess : ResultUpdateFailed, Build(0, kOld))
        << c.what;
    if (c.builds) {
      EXPECT_EQ(c.expected, built) << c.what;
    }
  }
}

// A SharedLiteral as its entry's literal block.
Bytes Reference(uint64_t offset, uint64_t size, uint32_t skip,
                uint32_t length) {
  const SharedLiteral shared{offset, size, skip, length};
  Bytes block(sizeof shared);
  std::memcpy(block.data(), &shared, sizeof shared);
  return block;
}

// Entries whose literal bytes lie in one stream each take their own window
// of it, exactly; a window the entry does not take whole, or one that lies
// outside the stream or the package, fails the entry (14).
TEST_F(Builders, SharedLiteralWindowsAreTakenExactly) {
  // A window the stream decodes ahead on a thread of its own, and one that
  // ends further in than the dictionary of a stream made for a short one.
  Bytes large;
  for (int i = 0; i < (5 << 20); ++i) large.push_back("window\n"[i % 7]);
  const std::vector<TestEntry> plain = {PatchEntry("a", kOld, kNew),
                                        PatchEntry("b", kOld, ToBytes("other")),
                                        PatchEntry("c", kOld, large)};
  Bytes bytes;
  std::vector<uint32_t> skips, lengths;
  for (const TestEntry& entry : plain) {
    skips.push_back(static_cast<uint32_t>(bytes.size()));
    lengths.push_back(static_cast<uint32_t>(entry.literal.size()));
    bytes.insert(bytes.end(), entry.literal.begin(), entry.literal.end());
  }
  const uint32_t compressed = PackageFlagCompressed | PackageFlagEntryOptions;
  // The stream is an added file's block; the table's layout does not depend
  // on what the references hold. Its header names a dictionary larger than
  // any window's reach.
  std::vector<TestEntry> entries = {Compressed(AddEntry("s", bytes))};
  const uint32_t dictionary = uint32_t{1} << kMaxWindowLog;
  std::memcpy(entries[0].literal.data() + 1, &dictionary, 4);
  for (const TestEntry& entry : plain) {
    entries.push_back(Compressed(entry));
    entries.back().kind |= EntryOptionSharedLiteral;
  }
  auto load = [&](const std::vector<Bytes>& references, uint32_t flags) {
    for (size_t i = 0; i < plain.size(); ++i)
      entries[i + 1].literal = references[i];
    Load(entries, flags);
  };
  load({Bytes(24), Bytes(24), Bytes(24)}, compressed);
  const uint64_t at = Record(0).literalOffset, size = Record(0).literalSize;
  auto window = [&](size_t i) {
    return Reference(at, size, skips[i], lengths[i]);
  };
  load({window(0), window(1), window(2)}, compressed);
  // In table order each window decodes on from the last; out of it, or
  // after a window that failed, the stream starts again.
  const Bytes news[] = {kNew, ToBytes("other"), large};
  for (size_t i : {0, 1, 2, 0, 2, 1, 1}) {
    ASSERT_EQ(ResultSuccess, Build(i + 1, kOld)) << i;
    EXPECT_EQ(news[i], built) << i;
  }
  EXPECT_EQ(ResultUpdateFailed, Build(1, ToBytes("short")));
  ASSERT_EQ(ResultSuccess, Build(2, kOld));
  EXPECT_EQ(news[1], built);

  const uint64_t end = holder.Get()->header.packageSize;
  const uint32_t total = static_cast<uint32_t>(bytes.size());
  const Bytes first = window(0);
  const struct Case {
    const char* what;
    Bytes reference;
    size_t entry = 0;
  } cases[] = {
      {"a window one byte longer", Reference(at, size, 0, lengths[0] + 1)},
      {"a window one byte shorter", Reference(at, size, 0, lengths[0] - 1)},
      {"a large window one byte longer",
       Reference(at, size, skips[2], lengths[2] + 1), 2},
      {"a window past the stream's end",
       Reference(at, size, total - lengths[0] + 1, lengths[0])},
      {"a skip past the stream's end", Reference(at, size, total, lengths[0])},
      {"a skip over the largest",
       Reference(at, size, kMaxSharedSkip + 1, lengths[0])},
      {"an empty window", Reference(at, size, 0, 0)},
      {"a window longer than the new file",
       Reference(at, size, 0, static_cast<uint32_t>(kNew.size() + 1))},
      {"a stream past the package's end", Reference(at, end - at + 1, 0, 1)},
      {"a stream at the last offset", Reference(UINT64_MAX, 1, 0, 1)},
      {"a stream cut in half", Reference(at, size / 2, skips[2], lengths[2]),
       2},
      {"a reference one byte short", Bytes(first.begin(), first.end() - 1)},
  };
  for (const Case& c : cases) {
    std::vector<Bytes> references = {window(0), window(1), window(2)};
    references[c.entry] = c.reference;
    load(references, compressed);
    EXPECT_EQ(ResultUpdateFailed, Build(c.entry + 1, kOld)) << c.what;
  }
  // Only compressed packages share streams.
  load({window(0), window(1), window(2)}, PackageFlagEntryOptions);
  EXPECT_EQ(ResultUpdateFailed, Build(1, kOld));
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
    ASSERT_EQ(ResultSuccess, Build(added, old));
    ULONGLONG took = GetTickCount64() - started;
    EXPECT_EQ(target, built);
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
