#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "apply/patch_thread.h"
#include "producer/block_compressor.h"
#include "standin_control.h"

namespace fuzzing {

using namespace testing_support;
namespace fs = std::filesystem;

const Bytes kOldContent =
    ToBytes("the installed program, version one, with some text");

namespace {

struct Scratch {
  Scratch() {
    root = fs::temp_directory_path() /
           ("selfpatch-fuzz-" + std::to_string(getpid()));
    fs::remove_all(root);
    work = root / "work";
    fs::create_directories(work);
    WriteAll(root / "outside.txt", ToBytes("must not change"));
    window = standin::CreateSinkWindow(
        [](UINT, WPARAM, LPARAM) { return LRESULT{1}; });
  }
  fs::path root, work;
  HWND window;
};

Scratch& TheScratch() {
  static Scratch scratch;
  return scratch;
}

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

std::vector<std::pair<std::string, Bytes>> Files(const fs::path& root) {
  std::vector<std::pair<std::string, Bytes>> files;
  for (auto& file : Snapshot(root)) {
    if (file.first.back() != '/') files.push_back(file);
  }
  return files;
}

}  // namespace

const Bytes& Stub() {
  static const Bytes stub = MakePeImage(false, {0x200});
  return stub;
}

void ApplyAndCheck(const Bytes& executable) {
  Scratch& scratch = TheScratch();
  ClearFolder(scratch.work);
  WriteAll(scratch.work / "a.bin", kOldContent);
  fs::create_directory(scratch.work / "dir");
  WriteAll(scratch.work / "dir" / "b.bin", kOldContent);
  fs::path patch = scratch.root / "patch.exe";
  WriteAll(patch, executable);
  std::vector<std::pair<std::string, Bytes>> before = Files(scratch.work);

  SharedArray<PackageLoader> loader;
  loader.Attach(new PackageLoader(nullptr), 1);
  ResultCode loaded = loader.Get()->LoadFile(Wide(patch).c_str());
  Check(loaded <= ResultBadEntryList, "a load result outside 0..6");
  if (loaded == ResultSuccess) {
    CurrentDirectory cwd(scratch.work);
    g_loaderHolder = &loader;
    ResultCode result;
    {
      CPatchThread worker(scratch.window);
      g_loaderHolder = nullptr;
      result = worker.Run();
    }
    Check(result <= ResultUpdateFailed, "a worker result outside 0..14");
    if (result != ResultSuccess) {
      Check(Files(scratch.work) == before, "a failed run changed files");
    }
  }
  std::vector<std::pair<std::string, Bytes>> outside;
  for (const auto& item : fs::directory_iterator(scratch.root)) {
    outside.emplace_back(item.path().filename().string(), Bytes());
  }
  std::sort(outside.begin(), outside.end());
  Check(outside.size() == 3 && outside[0].first == "outside.txt" &&
            outside[1].first == "patch.exe" && outside[2].first == "work",
        "a file appeared beside the scratch folder");
  Check(ReadAll(scratch.root / "outside.txt") == ToBytes("must not change"),
        "a file outside the scratch folder changed");
}

std::vector<Bytes> Seeds(const std::string& target) {
  Bytes newContent =
      ToBytes("the installed program, version two, with other text");
  std::vector<Bytes> seeds;
  if (target == "package") {
    std::vector<std::vector<TestEntry>> packages = {
        {},
        {PatchEntry("a.bin", kOldContent, newContent)},
        {DirectoryEntry("new"), AddEntry("new\\file.txt", newContent),
         PatchEntry("dir\\b.bin", kOldContent, Bytes())},
        {AddEntry("a.bin", newContent)},
    };
    for (const auto& entries : packages) {
      seeds.push_back(
          BuildPackage(entries, PackageFlagBackup | PackageFlagKeepTimes));
    }
    // The same packages with compressed blocks, as the producer writes
    // them.
    for (auto entries : packages) {
      for (TestEntry& entry : entries) {
        if (entry.kind == EntryKindPatch) {
          entry.instructions = CompressInstructions(entry.instructions);
        }
        if (entry.kind != EntryKindDirectory) {
          entry.literal =
              CompressBlock(entry.literal.data(), entry.literal.size());
        }
      }
      seeds.push_back(BuildPackage(entries, PackageFlagCompressed));
    }
  } else if (target == "rebuild") {
    // Two bytes of instruction length, the instructions, the literal block.
    TestEntry entry = PatchEntry("a.bin", kOldContent, newContent);
    Bytes seed = {static_cast<uint8_t>(entry.instructions.size()),
                  static_cast<uint8_t>(entry.instructions.size() >> 8)};
    seed.insert(seed.end(), entry.instructions.begin(),
                entry.instructions.end());
    seed.insert(seed.end(), entry.literal.begin(), entry.literal.end());
    seeds.push_back(seed);
    seeds.push_back({1, 0, 0xC0});
    // The same entry with its blocks compressed.
    Bytes instructions = CompressInstructions(entry.instructions);
    Bytes literal = CompressBlock(entry.literal.data(), entry.literal.size());
    seed = {static_cast<uint8_t>(instructions.size()),
            static_cast<uint8_t>(0x80 | (instructions.size() >> 8))};
    seed.insert(seed.end(), instructions.begin(), instructions.end());
    seed.insert(seed.end(), literal.begin(), literal.end());
    seeds.push_back(seed);
  } else if (target == "utf8") {
    for (const char* text : {"plain.txt", "dir\\\xE6\x97\xA5\xE6\x9C\xAC.dat",
                             "\xC3\xA9\xE0\x80\x80x", "\xF0\x9F\x98\x80"}) {
      seeds.push_back(Bytes(text, text + std::strlen(text)));
    }
  }
  return seeds;
}

}  // namespace fuzzing
