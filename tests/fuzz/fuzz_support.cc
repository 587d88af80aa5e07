#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "producer/block_compressor.h"
#include "producer/diff_engine.h"
#include "support/platform_support.h"

namespace fuzzing {

using namespace testing_support;

const Bytes kOldContent =
    ToBytes("the installed program, version one, with some text");

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// The files below `root`: directory entries may leave folders made.
std::vector<std::pair<std::string, Bytes>> Files(
    const std::filesystem::path& root) {
  std::vector<std::pair<std::string, Bytes>> files;
  for (auto& file : Snapshot(root)) {
    if (file.first.back() != '/') files.push_back(file);
  }
  return files;
}

// `entry` with its blocks compressed as the producer writes them.
TestEntry ProducerCompressed(TestEntry entry) {
  const uint8_t kind = entry.kind & 0xFF;
  if (kind == EntryKindPatch) {
    entry.instructions = CompressInstructions(entry.instructions);
  }
  if (kind == EntryKindPatch || kind == EntryKindAdd) {
    entry.literal = CompressBlock(entry.literal.data(), entry.literal.size());
  }
  return entry;
}

}  // namespace

void ApplyAndCheck(const Bytes& package) {
  // The installed program in work/, the patch and a file that is not the
  // program's beside it.
  static const ScratchDir scratch;
  const std::filesystem::path work = scratch / "work";
  ClearFolder(work);
  std::filesystem::create_directories(work / "dir");
  WriteAll(work / "a.bin", kOldContent);
  WriteAll(work / "dir" / "b.bin", kOldContent);
  WriteAll(scratch / "outside.txt", ToBytes("must not change"));
  Bytes executable = MakePeImage(false, {0x200});
  executable.insert(executable.end(), package.begin(), package.end());
  WriteAll(scratch / "patch.exe", executable);
  const std::vector<std::pair<std::string, Bytes>> before = Files(work);

  ResultCode result = ApplyPatchFile(scratch / "patch.exe", work);
  Check(result <= ResultUpdateFailed, "a result outside 0..14");
  Check(result == ResultSuccess || Files(work) == before,
        "a failed run changed files");
  Check(ListFolder(scratch.path()) ==
            std::vector<std::string>{"outside.txt", "patch.exe", "work"},
        "a file appeared beside the installed folder");
  Check(ReadAll(scratch / "outside.txt") == ToBytes("must not change"),
        "a file outside the installed folder changed");
}

std::vector<Bytes> Seeds(const std::string& target) {
  const Bytes newContent =
      ToBytes("the installed program, version two, with other text");
  std::vector<Bytes> seeds;
  if (target == "package") {
    std::vector<std::vector<TestEntry>> packages = {
        {},
        {PatchEntry("a.bin", kOldContent, newContent)},
        {DirectoryEntry("new"), AddEntry("new\\file.txt", newContent),
         PatchEntry("dir\\b.bin", kOldContent, Bytes())},
        {AddEntry("a.bin", newContent)},
        // A rename, a removed file and a removed folder.
        {SourcedEntry("c.bin", "a.bin", kOldContent, newContent),
         RemoveEntry("a.bin", kOldContent),
         RemoveEntry("dir\\b.bin", kOldContent), RemoveDirectoryEntry("dir")},
    };
    for (const std::vector<TestEntry>& entries : packages) {
      seeds.push_back(BuildPackage(entries, PackageFlagBackup |
                                                PackageFlagKeepTimes |
                                                PackageFlagRemovals));
      std::vector<TestEntry> compressed;
      for (const TestEntry& entry : entries) {
        compressed.push_back(ProducerCompressed(entry));
      }
      seeds.push_back(BuildPackage(
          compressed, PackageFlagCompressed | PackageFlagRemovals));
      seeds.push_back(BuildPackage(compressed, PackageFlagCompressed |
                                                   PackageFlagRemovals |
                                                   PackageFlagCompactTable));
    }
  } else if (target == "rebuild") {
    // Two bytes of instruction length (the top bit for compressed blocks),
    // the instructions, the literal block.
    auto seed = [](const TestEntry& entry, uint8_t compressed) {
      const size_t size = entry.instructions.size();
      Bytes seed = entry.instructions;
      seed.insert(seed.end(), entry.literal.begin(), entry.literal.end());
      const uint8_t length[] = {static_cast<uint8_t>(size),
                                static_cast<uint8_t>(compressed | (size >> 8))};
      seed.insert(seed.begin(), length, length + 2);
      return seed;
    };
    TestEntry entry = PatchEntry("a.bin", kOldContent, newContent);
    seeds = {
        seed(entry, 0), {1, 0, 0xC0}, seed(ProducerCompressed(entry), 0x80)};
  } else if (target == "seeking") {
    // Options (compressed, transform, grouped, shared, frames), two bytes
    // of instruction block length, the block, the literal block: the
    // producer's seeking form of the new content, plain and compressed (as
    // LZMA streams and as Zstandard frames), through each transform, in
    // both codings, and its compressed literal bytes also as a window of a
    // shared stream.
    SeekingDelta delta = ComputeSeekingDelta(
        kOldContent.data(), kOldContent.size(),
        SortSuffixes(kOldContent.data(), kOldContent.size()).data(),
        newContent.data(), newContent.size(), kMatchGain);
    for (uint8_t options = 0; options < 62; ++options) {
      if ((options & 7) == 6 || (options & 7) == 7) continue;
      // Shared streams and frames are compressed ones; frames, never shared.
      if ((options & 48) != 0 && (options & 1) == 0) continue;
      if ((options & 48) == 48) continue;
      const bool compressed = (options & 1) != 0;
      const bool zstd = (options & 32) != 0;
      auto stream = [zstd](const Bytes& bytes) {
        return zstd ? CompressFrame(bytes.data(), bytes.size())
                    : CompressBlock(bytes.data(), bytes.size());
      };
      const Bytes instructions =
          (options & 8) != 0 ? EncodeGroupedInstructions(delta.instructions)
                             : EncodeSeekingInstructions(delta.instructions);
      Bytes parameters;
      if ((options & 6) != 0) {  // width 24, the whole of each file as code
        const uint32_t head[] = {24, 1, 1};
        parameters.assign(reinterpret_cast<const uint8_t*>(head),
                          reinterpret_cast<const uint8_t*>(head + 3));
        for (size_t size : {kOldContent.size(), newContent.size()}) {
          Bytes range(16);
          range[8] = static_cast<uint8_t>(size);
          parameters.insert(parameters.end(), range.begin(), range.end());
        }
      }
      Bytes block = SeekingBlock(
          parameters,
          compressed ? CompressInstructions(
                           instructions, 0,
                           zstd ? StreamCodec::kZstd : StreamCodec::kLzma)
                     : instructions,
          compressed ? stream(delta.differences) : delta.differences);
      Bytes literal = compressed ? stream(delta.literal) : delta.literal;
      if ((options & 16) != 0) {  // the window after two other bytes
        Bytes bytes = ToBytes("ab");
        bytes.insert(bytes.end(), delta.literal.begin(), delta.literal.end());
        literal = CompressBlock(bytes.data(), bytes.size());
        literal.insert(literal.begin(),
                       {2, static_cast<uint8_t>(delta.literal.size())});
      }
      Bytes seed = {options, static_cast<uint8_t>(block.size()),
                    static_cast<uint8_t>(block.size() >> 8)};
      seed.insert(seed.end(), block.begin(), block.end());
      seed.insert(seed.end(), literal.begin(), literal.end());
      seeds.push_back(seed);
    }
  } else if (target == "zstd") {
    // Frames of text and of a program's bytes, at a quick level and at the
    // highest, with windows smaller than the data and as large.
    Bytes program = kOldContent;
    for (int i = 0; i < 64; ++i)
      program.insert(program.end(), newContent.begin(), newContent.end());
    for (int level : {1, 19}) {
      for (int windowLog : {0, 10}) {
        seeds.push_back(ZstdFrameOf(program, level, windowLog));
        seeds.push_back(ZstdFrameOf(newContent, level, windowLog));
      }
    }
  } else if (target == "utf8") {
    for (const char* text : {"plain.txt", "dir\\\xE6\x97\xA5\xE6\x9C\xAC.dat",
                             "\xC3\xA9\xE0\x80\x80x", "\xF0\x9F\x98\x80"}) {
      seeds.push_back(Bytes(text, text + std::strlen(text)));
    }
  }
  return seeds;
}

}  // namespace fuzzing
