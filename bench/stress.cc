// Large and awkward packages: 10,000 entries, a 4 GiB file, a name of
// 2,046 units, a deep directory chain. Each must apply (or fail cleanly
// where Windows would), in memory that does not grow with the data; built
// with the sanitizers, LeakSanitizer checks for leaks when it exits.
//   stress [GiB]      (default 4)
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "apply/patch_thread.h"
#include "package/sha256.h"
#include "support/platform_support.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

long MaxRssMiB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

// Applies `package` to `folder`; returns the result code and the time.
ResultCode Apply(const Bytes& package, const fs::path& folder,
                 double* seconds) {
  fs::path patch = folder.parent_path() / "patch.exe";
  {
    Bytes exe = MakePeImage(false, {0x200});
    exe.insert(exe.end(), package.begin(), package.end());
    WriteAll(patch, exe);
  }
  auto started = std::chrono::steady_clock::now();
  ResultCode result = ApplyPatchFile(patch, folder);
  std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - started;
  *seconds = took.count();
  return result;
}

bool Report(const char* what, bool ok, double seconds) {
  std::printf("%-44s %s  %7.2f s  max RSS %ld MiB\n", what,
              ok ? "ok  " : "FAIL", seconds, MaxRssMiB());
  std::fflush(stdout);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t gib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4;
  if (gib == 0) {
    std::fprintf(stderr, "usage: stress [GiB, at least 1]\n");
    return 2;
  }
  fs::path root = fs::temp_directory_path() /
                  ("selfpatch-stress-" + std::to_string(getpid()));
  fs::create_directories(root / "app");
  bool all = true;
  double seconds;

  {  // 10,000 entries: folders, and a small file added in each.
    std::vector<TestEntry> entries;
    for (int i = 0; i < 5000; ++i) {
      std::string folder = "f" + std::to_string(i);
      entries.push_back(DirectoryEntry(folder));
      entries.push_back(AddEntry(folder + "\\file.txt",
                                 ToBytes("entry " + std::to_string(i))));
    }
    ResultCode result = Apply(BuildPackage(entries), root / "app", &seconds);
    all &= Report(
        "10,000 entries",
        result == ResultSuccess &&
            ReadAll(root / "app/f4999/file.txt") == ToBytes("entry 4999"),
        seconds);
    fs::remove_all(root / "app");
    fs::create_directories(root / "app");
  }

  {  // A file of `gib` GiB rebuilt from a sparse old one with a few changes.
    uint64_t size = gib << 30;
    fs::path old = root / "app" / "huge.bin";
    { std::ofstream(old, std::ios::binary).close(); }
    fs::resize_file(old, size);  // sparse: zeros that take no disk
    // Copy the first 3 GiB, replace 16 bytes, copy the rest.
    const uint64_t kFirst = std::min<uint64_t>(size - 16, 3ull << 30);
    std::vector<Instruction> program = {{0, static_cast<uint32_t>(kFirst)},
                                        {3, 16}};
    uint64_t rest = size - kFirst - 16;
    while (rest > 0) {
      uint32_t piece =
          static_cast<uint32_t>(std::min<uint64_t>(rest, 0xFFFFFFFFu));
      program.push_back({0, piece});
      rest -= piece;
    }
    TestEntry entry;
    entry.name = "huge.bin";
    entry.kind = EntryKindPatch;
    entry.oldSize = size;
    entry.newSize = size;
    entry.instructions = EncodeInstructions(program);
    entry.literal = Bytes(16, 0x5A);
    // Digests of zeros with and without the 16 changed bytes, computed in
    // a stream as the applier does.
    auto digestOf = [&](bool changed) {
      CHashSHA256 hash;
      Bytes zeros(1 << 20);
      for (uint64_t at = 0; at < size; at += zeros.size()) {
        if (changed && at <= kFirst && kFirst < at + zeros.size()) {
          Bytes block = zeros;
          std::fill(block.begin() + static_cast<long>(kFirst - at),
                    block.begin() + static_cast<long>(kFirst - at + 16), 0x5A);
          hash.Update(block.data(), static_cast<uint32_t>(block.size()));
        } else {
          hash.Update(zeros.data(), static_cast<uint32_t>(zeros.size()));
        }
      }
      hash.Final();
      Bytes digest(32);
      hash.GetDigest(digest.data());
      return digest;
    };
    entry.oldDigest = digestOf(false);
    entry.newDigest = digestOf(true);
    ResultCode result = Apply(BuildPackage({entry}), root / "app", &seconds);
    bool ok = result == ResultSuccess && fs::file_size(old) == size;
    char what[64];
    std::snprintf(what, sizeof what, "%llu GiB file rebuilt",
                  static_cast<unsigned long long>(gib));
    all &= Report(what, ok, seconds);
    fs::remove_all(root / "app");
    fs::create_directories(root / "app");
  }

  {  // A name of 2,046 units, in folders: longer than Windows lets a
     // temporary file be named, so it fails with 7 and leaves nothing.
    std::string name;
    while (name.size() + 100 < 2046) name += std::string(99, 'd') + "\\";
    name += std::string(2046 - name.size(), 'f');
    ResultCode result = Apply(BuildPackage({AddEntry(name, ToBytes("x"))}),
                              root / "app", &seconds);
    all &= Report("a name of 2,046 units (fails with 7)",
                  result == ResultNoTempName && fs::is_empty(root / "app"),
                  seconds);
  }

  {  // A chain of 60 nested folders, made one entry at a time.
    std::vector<TestEntry> entries;
    std::string path;
    for (int level = 0; level < 60; ++level) {
      path += (level ? "\\" : "") + std::string("d");
      entries.push_back(DirectoryEntry(path));
    }
    entries.push_back(AddEntry(path + "\\leaf.txt", ToBytes("deep")));
    ResultCode result = Apply(BuildPackage(entries), root / "app", &seconds);
    fs::path leaf = root / "app";
    for (int level = 0; level < 60; ++level) leaf /= "d";
    all &= Report("60 nested folders",
                  result == ResultSuccess &&
                      ReadAll(leaf / "leaf.txt") == ToBytes("deep"),
                  seconds);
  }

  fs::remove_all(root);
  std::printf("stress: %s\n", all ? "all passed" : "FAILED");
  return all ? 0 : 1;
}
