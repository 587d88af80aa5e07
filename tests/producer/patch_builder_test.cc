#include "producer/patch_builder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "apply/patch_thread.h"
#include "support/platform_support.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const Bytes kStub = MakePeImage(false, {0x400});

// The old and new trees of a program, with every kind of difference.
class Trees : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 random(30);
    Bytes program = RandomBytes(random, 80000);
    Bytes newer = program;
    newer.insert(newer.begin() + 5000, 700, 0x90);
    for (int i = 0; i < 30; ++i) newer[random() % newer.size()] ^= 1;
    Write("old/bin/app.exe", program);
    Write("new/bin/app.exe", newer);
    Write("old/same.txt", ToBytes("unchanged"));
    Write("new/same.txt", ToBytes("unchanged"));
    Write("old/empty-before.dat", Bytes());
    Write("new/empty-before.dat", ToBytes("now with content"));
    Write("old/empty-after.dat", ToBytes("content that goes"));
    Write("new/empty-after.dat", Bytes());
    Write("new/plugins/deep/er/new.dll", ToBytes("a new plugin"));
    Write("new/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E/readme.txt",
          ToBytes("Unicode folder"));
    Write("new/added-empty.txt", Bytes());
    Write("old/only-old.txt", ToBytes("left alone"));
  }
  void Write(const std::string& name, const Bytes& data) {
    fs::path path = dir / name;
    fs::create_directories(path.parent_path());
    WriteAll(path, data);
  }

  ResultCode Apply(const fs::path& patch, const fs::path& target) {
    return ApplyPatchFile(patch, target);
  }

  ScratchDir dir;
};

TEST_F(Trees, PlanListsEveryDifferenceInOrder) {
  TreePlan plan = PlanTrees(dir / "old", dir / "new");
  std::vector<std::pair<uint8_t, std::string>> entries;
  for (const PlannedEntry& entry : plan.entries)
    entries.emplace_back(entry.kind, entry.name);
  std::vector<std::pair<uint8_t, std::string>> expected = {
      {EntryKindAdd, "added-empty.txt"},
      {EntryKindPatch, "bin\\app.exe"},
      {EntryKindPatch, "empty-after.dat"},
      {EntryKindPatch, "empty-before.dat"},
      {EntryKindDirectory, "plugins"},
      {EntryKindDirectory, "plugins\\deep"},
      {EntryKindDirectory, "plugins\\deep\\er"},
      {EntryKindAdd, "plugins\\deep\\er\\new.dll"},
      {EntryKindDirectory, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      {EntryKindAdd, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\\readme.txt"},
  };
  EXPECT_EQ(expected, entries);
  EXPECT_EQ(std::vector<std::string>{"only-old.txt"}, plan.onlyInOld);
  EXPECT_EQ(1u, plan.unchanged);
}

TEST_F(Trees, CreatedPatchAppliesAndIsDeterministic) {
  TreePlan plan = PlanTrees(dir / "old", dir / "new");
  BuildSummary summary = WritePatch(kStub, plan, dir / "patch.exe", {});
  EXPECT_EQ(3u, summary.patched);
  EXPECT_EQ(3u, summary.added);
  EXPECT_EQ(4u, summary.directories);
  WritePatch(kStub, PlanTrees(dir / "old", dir / "new"), dir / "again.exe", {});
  EXPECT_EQ(ReadAll(dir / "patch.exe"), ReadAll(dir / "again.exe"));
  // Much smaller than the new files: the program is patched, not shipped.
  EXPECT_LT(summary.packageSize, 5000u);

  fs::copy(dir / "old", dir / "target", fs::copy_options::recursive);
  ASSERT_EQ(ResultSuccess, Apply(dir / "patch.exe", dir / "target"));
  std::vector<std::pair<std::string, Bytes>> expected = Snapshot(dir / "new");
  expected.emplace_back("only-old.txt", ToBytes("left alone"));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, Snapshot(dir / "target"));
}

TEST_F(Trees, SingleFiles) {
  TreePlan plan = PlanTrees(dir / "old/bin/app.exe", dir / "new/bin/app.exe");
  ASSERT_EQ(1u, plan.entries.size());
  EXPECT_EQ("app.exe", plan.entries[0].name);
  WritePatch(kStub, plan, dir / "patch.exe", {});
  fs::create_directory(dir / "target");
  fs::copy(dir / "old/bin/app.exe", dir / "target/app.exe");
  ASSERT_EQ(ResultSuccess, Apply(dir / "patch.exe", dir / "target"));
  EXPECT_EQ(ReadAll(dir / "new/bin/app.exe"), ReadAll(dir / "target/app.exe"));
}

TEST_F(Trees, BadInputIsOneClearErrorAndNoOutput) {
  auto message = [&](const std::function<void()>& action) {
    try {
      action();
    } catch (const ProducerError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ("no such file or folder: " + (dir / "missing").u8string(),
            message([&] { PlanTrees(dir / "missing", dir / "new"); }));
  Write("folder-to-file/old/x/inner", ToBytes("1"));
  Write("folder-to-file/new/x", ToBytes("2"));
  EXPECT_EQ("a folder becomes a file: x", message([&] {
              PlanTrees(dir / "folder-to-file/old", dir / "folder-to-file/new");
            }));
  Write("devices/new/CON.txt", ToBytes("x"));
  fs::create_directories(dir / "devices/old");
  EXPECT_EQ("name Windows cannot hold inside the folder: CON.txt", message([&] {
              PlanTrees(dir / "devices/old", dir / "devices/new");
            }));
  // The applier keeps its journal under this name in the folder.
  Write("journal/new/SelfPatch.Journal", ToBytes("x"));
  fs::create_directories(dir / "journal/old");
  EXPECT_EQ(
      "name the applier keeps for its journal: SelfPatch.Journal",
      message([&] { PlanTrees(dir / "journal/old", dir / "journal/new"); }));

  // Names the applier would refuse together, each error naming both.
  Write("case/new/Readme.txt", ToBytes("1"));
  Write("case/new/README.txt", ToBytes("2"));
  fs::create_directories(dir / "case/old");
  EXPECT_EQ("names Windows takes for one file: README.txt and Readme.txt",
            message([&] { PlanTrees(dir / "case/old", dir / "case/new"); }));
  Write("backup/old/app.exe", ToBytes("old"));
  Write("backup/new/app.exe", ToBytes("new"));
  Write("backup/new/app.exe.bak", ToBytes("a file of its own"));
  TreePlan backups = PlanTrees(dir / "backup/old", dir / "backup/new");
  BuildOptions keep;
  keep.flags = PackageFlagBackup;
  EXPECT_EQ(
      "name the applier gives the backup of app.exe: app.exe.bak",
      message([&] { WritePatch(kStub, backups, dir / "out.exe", keep); }));
  TreePlan under = {{{EntryKindAdd, "data", {}, dir / "new/bin/app.exe"},
                     {EntryKindAdd, "DATA\\x", {}, dir / "new/bin/app.exe"}},
                    {},
                    0};
  EXPECT_EQ("DATA\\x lies under data, which the patch makes a file",
            message([&] { WritePatch(kStub, under, dir / "out.exe", {}); }));

  // A stub with bytes after its image would put the package in the wrong
  // place; nothing is written.
  Bytes signedStub = kStub;
  signedStub.resize(signedStub.size() + 100, 0);
  TreePlan plan = PlanTrees(dir / "old", dir / "new");
  EXPECT_EQ(
      "the applier stub has 100 bytes after its image; use an unsigned, "
      "stripped stub",
      message([&] { WritePatch(signedStub, plan, dir / "out.exe", {}); }));
  EXPECT_EQ("the applier stub is not a valid PE executable", message([&] {
              WritePatch(ToBytes("not a program"), plan, dir / "out.exe", {});
            }));
  EXPECT_FALSE(fs::exists(dir / "out.exe"));
  EXPECT_FALSE(fs::exists(dir / "out.exe.part"));
}

// The command-line tool, as a user runs it.
struct CliRun {
  int code;
  std::string out;
};

CliRun Cli(const std::string& arguments) {
  std::string command = std::string(SELFPATCH_CLI) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
    out.append(buffer, n);
  int status = pclose(pipe);
  return {WEXITSTATUS(status), out};
}

TEST_F(Trees, CommandLineResultsAndMessages) {
  std::string stub = (dir / "stub.exe").string();
  WriteAll(stub, kStub);
  std::string patch = (dir / "patch.exe").string();
  CliRun created =
      Cli("create " + (dir / "old").string() + " " + (dir / "new").string() +
          " -o " + patch + " --stub " + stub + " --backup");
  ASSERT_EQ(0, created.code) << created.out;
  EXPECT_NE(std::string::npos,
            created.out.find("only in OLD, left in place: only-old.txt"));

  CliRun info = Cli("info " + patch + " --json");
  EXPECT_EQ(0, info.code);
  EXPECT_NE(std::string::npos, info.out.find("\"name\": \"bin\\\\app.exe\""));
  EXPECT_NE(std::string::npos, info.out.find("\"backup\": true"));

  fs::copy(dir / "old", dir / "target", fs::copy_options::recursive);
  std::string target = (dir / "target").string();
  EXPECT_EQ(0, Cli("verify " + patch + " " + target).code);
  auto before = Snapshot(dir / "target");
  WriteAll(dir / "target/bin/app.exe", ToBytes("someone else's program"));
  CliRun differs = Cli("verify " + patch + " " + target);
  EXPECT_EQ(10, differs.code);
  EXPECT_NE(
      std::string::npos,
      differs.out.find(
          "error 10: the file to patch is not the one this patch was made for "
          "(パッチ元ファイルが差分元ファイルデータと異なっています。)"));
  CliRun refused = Cli("apply " + patch + " " + target + " --yes");
  EXPECT_EQ(10, refused.code);
  WriteAll(dir / "target/bin/app.exe", ReadAll(dir / "old/bin/app.exe"));
  EXPECT_EQ(before, Snapshot(dir / "target"));  // nothing was written
  CliRun applied = Cli("apply " + patch + " " + target + " --yes");
  EXPECT_EQ(0, applied.code) << applied.out;
  EXPECT_EQ(ReadAll(dir / "new/bin/app.exe"),
            ReadAll(dir / "target/bin/app.exe"));
  EXPECT_EQ(ReadAll(dir / "old/bin/app.exe"),
            ReadAll(dir / "target/bin/app.exe.bak"));

  Bytes damaged = ReadAll(patch);
  damaged.back() ^= 1;
  WriteAll(dir / "damaged.exe", damaged);
  CliRun broken = Cli("info " + (dir / "damaged.exe").string());
  EXPECT_EQ(5, broken.code);
  EXPECT_EQ(
      "selfpatch: error 5: the patch data is damaged "
      "(パッチデータが破損しています。)\n",
      broken.out);
  EXPECT_EQ(3, Cli("apply " + stub + " " + target + " --yes").code);

  CliRun missing =
      Cli("create " + (dir / "nope").string() + " " + (dir / "new").string() +
          " -o " + (dir / "x.exe").string() + " --stub " + stub);
  EXPECT_EQ(1, missing.code);
  EXPECT_EQ(
      "selfpatch: no such file or folder: " + (dir / "nope").string() + "\n",
      missing.out);
  EXPECT_FALSE(fs::exists(dir / "x.exe"));
  EXPECT_EQ(2, Cli("frobnicate").code);
}

}  // namespace
