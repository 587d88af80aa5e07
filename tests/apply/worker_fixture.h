// A package loaded from a patch executable in its own folder, applied to a
// scratch "installed program" folder that is the current folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "apply/code_transform.h"
#include "apply/compressed_read_data.h"
#include "apply/delta_decoder.h"
#include "apply/patch_thread.h"
#include "support/platform_support.h"
#include "support/test_support.h"

namespace testing_support {

namespace fs = std::filesystem;

// A folder's files and their contents; a name ending in "/" is a folder.
typedef std::vector<std::pair<std::string, Bytes>> Files;

const Bytes kOld = ToBytes("the old program, version one");
const Bytes kNew = ToBytes("the new program: version two, longer");
const Bytes kVictim = ToBytes("a file outside the folder");

inline void ReadOnly(const fs::path& path) {
  fs::permissions(
      path,
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
      fs::perm_options::remove);
}

// A journal as a run writes it: UTF-16 with a byte-order mark, the header
// naming the package by `digest` (none: zeros), `lines` (ASCII), then with
// `complete` the mark.
inline Bytes Journal(const std::vector<std::string>& lines,
                     bool complete = false, const uint8_t* digest = nullptr) {
  std::string text = "selfpatch journal 2\t";
  char hex[3];
  for (int i = 0; i < 32; ++i) {
    snprintf(hex, sizeof hex, "%02x", digest ? digest[i] : 0);
    text += hex;
  }
  for (const std::string& line : lines) text += "\n" + line;
  text += complete ? "\nC\n" : "\n";
  Bytes bytes = {0xFF, 0xFE};
  for (char c : text) bytes.insert(bytes.end(), {uint8_t(c), 0});
  return bytes;
}

// `entry` in the seeking form: `instructions`, `differences` and `literal`
// bytes, all three compressed when `compressed`, as LZMA streams or as
// Zstandard frames (`codec`).
inline TestEntry Seeking(TestEntry entry, Bytes instructions, Bytes differences,
                         Bytes literal, const Bytes& parameters,
                         uint32_t transform, bool compressed,
                         StreamCodec codec = StreamCodec::kLzma) {
  entry.kind |= EntryOptionSeeking | transform << kEntryTransformShift;
  entry.literal = literal;
  if (compressed) {
    const bool zstd = codec == StreamCodec::kZstd;
    auto stream = [zstd](const Bytes& bytes) {
      return zstd ? ZstdFrameOf(bytes) : CompressedStream(bytes);
    };
    if (zstd) entry.kind |= EntryOptionZstd;
    entry.literal = stream(literal);
    Bytes part(4);
    const uint32_t count = static_cast<uint32_t>(instructions.size());
    std::memcpy(part.data(), &count, 4);
    Bytes coded = stream(instructions);
    part.insert(part.end(), coded.begin(), coded.end());
    instructions = part;
    differences = stream(differences);
  }
  entry.instructions = SeekingBlock(parameters, instructions, differences);
  return entry;
}

// A seeking entry: "the " copied, "new" inserted, "old" passed over,
// " program," near-copied to " program:", the rest inserted; `cut`
// difference bytes short.
inline TestEntry SeekingEntry(const std::string& name, const Bytes& parameters,
                              uint32_t transform, bool compressed,
                              size_t cut = 0,
                              StreamCodec codec = StreamCodec::kLzma) {
  Bytes differences = {8, ':' - ','};  // eight zeros, then ',' to ':'
  differences.resize(differences.size() - cut);
  return Seeking(
      PatchEntry(name, kOld, kNew),
      EncodeSeekingInstructions(
          {{Copy, 4}, {Insert, 3}, {Seek, 3}, {Add, 9}, {Insert, 20}}),
      differences, ToBytes("new version two, longer"), parameters, transform,
      compressed, codec);
}

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { cwd_.reset(new CurrentDirectory(app.path())); }
  void TearDown() override {
    RemoveLinks();
    worker.reset();
    holder.Release();
    module_.reset();
    cwd_.reset();
  }

  void Load(const std::vector<TestEntry>& entries, uint32_t flags = 0) {
    worker.reset();
    holder.Release();
    module_.reset();
    Bytes exe = BaseExecutable();
    Bytes package = BuildPackage(entries, flags);
    exe.insert(exe.end(), package.begin(), package.end());
    fs::path path = tools / ("patch" + std::to_string(++count_) + ".exe");
    WriteAll(path, exe);
    module_.reset(new TestModule(path));
    holder.Attach(new PackageLoader(module_->handle()), 1);
    ASSERT_EQ(ResultSuccess, holder.Get()->Load());
    g_loaderHolder = &holder;
    worker.reset(new CPatchThread(window.handle()));
    g_loaderHolder = nullptr;
  }

  // Loads the package, lets `plant` change the folder or set faults,
  // remembers the folder as it was, and runs the worker on this thread.
  ResultCode Apply(const std::vector<TestEntry>& entries, uint32_t flags = 0,
                   const std::function<void()>& plant = nullptr) {
    Load(entries, flags);
    Loaded();
    if (plant) plant();
    window.Clear();
    before = Snapshot(app.path());
    ResultCode result = worker->Run();
    Ran();
    window.Pump();
    return result;
  }
  // Around a run of Apply: once the package is loaded, and once it ran.
  virtual void Loaded() {}
  virtual void Ran() {}

  // The error the worker reported: its code and path.
  std::pair<ResultCode, fs::path> ReportedError() {
    std::vector<RecordedMessage> errors = window.Messages(WM_PATCH_ERROR);
    EXPECT_EQ(1u, errors.size());
    if (errors.empty()) return {0xFFFFFFFF, {}};
    return {static_cast<ResultCode>(errors[0].wParam),
            fs::path(errors[0].text)};
  }
  bool Completed() { return window.Messages(WM_PATCH_COMPLETE).size() == 1; }
  bool Unchanged() { return Snapshot(app.path()) == before; }
  fs::path In(const std::string& name) { return app / name; }

  // Runs the package and expects what a user of a failed run cares about:
  // the code and the name reported, and this folder and the outside one as
  // they were (no temporary, no journal, no folder made for the run).
  void ExpectFailure(const std::vector<TestEntry>& entries, uint32_t flags,
                     ResultCode code, const fs::path& at,
                     const std::function<void()>& plant = nullptr) {
    const Files outsideBefore = Snapshot(outside.path());
    EXPECT_EQ(code, Apply(entries, flags, plant));
    EXPECT_EQ(std::make_pair(code, at), ReportedError());
    EXPECT_FALSE(Completed());
    EXPECT_TRUE(Unchanged());
    EXPECT_EQ(outsideBefore, Snapshot(outside.path()));
  }
  // Empties the folder and puts `files` in it.
  void Put(const Files& files) {
    ClearFolder(app.path());
    for (const auto& file : files) {
      if (file.first.back() == '/') {
        fs::create_directory(In(file.first));
      } else {
        WriteAll(In(file.first), file.second);
      }
    }
  }

  // Plants a link `name` in the folder to `target`; false where the
  // platform cannot make one it reports as a link (see MakeLink).
  bool Link(const std::string& name, const fs::path& target) {
    if (!MakeLink(In(name), target)) return false;
    links_.push_back(In(name));
    return true;
  }
  // Removes the planted links (before the folders are cleared: what they
  // lead to stays).
  void RemoveLinks() {
    for (const auto& link : links_) RemoveLink(link);
    links_.clear();
  }

  ScratchDir app;
  ScratchDir tools;
  ScratchDir outside;  // where a planted link leads
  RecordingWindow window;
  SharedArray<PackageLoader> holder;
  std::unique_ptr<CPatchThread> worker;
  Files before;

 private:
  std::unique_ptr<CurrentDirectory> cwd_;
  std::unique_ptr<TestModule> module_;
  std::vector<fs::path> links_;
  int count_ = 0;
};

}  // namespace testing_support
