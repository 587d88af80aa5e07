#include "producer/patch_builder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>

#include "apply/patch_thread.h"
#include "package/package_loader.h"
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

TEST_F(Trees, CreatedPatchAppliesAndIsDeterministicInBothForms) {
  // Text compresses: the compressed form carries it in far fewer bytes.
  std::string text;
  for (int i = 0; i < 3000; ++i)
    text += "line " + std::to_string(i % 50) + "\n";
  Write("new/notes.txt", ToBytes(text));
  uint64_t sizes[2];
  for (uint32_t flags : {0u, PackageFlagCompressed}) {
    SCOPED_TRACE(flags);
    BuildOptions options;
    options.flags = flags;
    TreePlan plan = PlanTrees(dir / "old", dir / "new");
    BuildSummary summary = WritePatch(kStub, plan, dir / "patch.exe", options);
    EXPECT_EQ(3u, summary.patched);
    EXPECT_EQ(4u, summary.added);
    EXPECT_EQ(4u, summary.directories);
    WritePatch(kStub, PlanTrees(dir / "old", dir / "new"), dir / "again.exe",
               options);
    EXPECT_EQ(ReadAll(dir / "patch.exe"), ReadAll(dir / "again.exe"));
    sizes[flags != 0] = summary.packageSize;

    fs::remove_all(dir / "target");
    fs::copy(dir / "old", dir / "target", fs::copy_options::recursive);
    ASSERT_EQ(ResultSuccess, ApplyPatchFile(dir / "patch.exe", dir / "target"));
    std::vector<std::pair<std::string, Bytes>> expected = Snapshot(dir / "new");
    expected.emplace_back("only-old.txt", ToBytes("left alone"));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, Snapshot(dir / "target"));
  }
  // Much smaller than the new files: the program is patched, not shipped.
  EXPECT_LT(sizes[0], 5000u + text.size());
  EXPECT_LT(sizes[1], 5000u);
}

TEST_F(Trees, SingleFiles) {
  TreePlan plan = PlanTrees(dir / "old/bin/app.exe", dir / "new/bin/app.exe");
  ASSERT_EQ(1u, plan.entries.size());
  EXPECT_EQ("app.exe", plan.entries[0].name);
  WritePatch(kStub, plan, dir / "patch.exe", {});
  fs::create_directory(dir / "target");
  fs::copy(dir / "old/bin/app.exe", dir / "target/app.exe");
  ASSERT_EQ(ResultSuccess, ApplyPatchFile(dir / "patch.exe", dir / "target"));
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
  // Links and special files, on either side, stop the build.
  fs::create_directories(dir / "links/old");
  fs::create_directories(dir / "links/new");
  fs::create_symlink(dir / "new/bin", dir / "links/old/bin");
  EXPECT_EQ("a symbolic link, which selfpatch does not follow: " +
                (dir / "links/old/bin").string(),
            message([&] { PlanTrees(dir / "links/old", dir / "links/new"); }));
  fs::rename(dir / "links/old/bin", dir / "links/new/bin");
  EXPECT_EQ("a symbolic link, which selfpatch does not follow: " +
                (dir / "links/new/bin").string(),
            message([&] { PlanTrees(dir / "links/old", dir / "links/new"); }));
  fs::remove(dir / "links/new/bin");
  ASSERT_EQ(0, mkfifo((dir / "links/new/pipe").c_str(), 0600));
  EXPECT_EQ("not a regular file or folder (a device, FIFO or socket): " +
                (dir / "links/new/pipe").string(),
            message([&] { PlanTrees(dir / "links/old", dir / "links/new"); }));
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
  // A 32-bit build cannot hold a file of 4 GiB + 1 (sparse here) whole.
  if (sizeof(size_t) == 4) {
    Write("huge/old/big.bin", ToBytes("x"));
    fs::resize_file(dir / "huge/old/big.bin", (uint64_t{1} << 32) + 1);
    Write("huge/new/big.bin", ToBytes("y"));
    TreePlan huge = PlanTrees(dir / "huge/old", dir / "huge/new");
    EXPECT_EQ("too large to compare in this build's memory: " +
                  (dir / "huge/old/big.bin").u8string(),
              message([&] { WritePatch(kStub, huge, dir / "out.exe", {}); }));
  }
  EXPECT_FALSE(fs::exists(dir / "out.exe"));
  EXPECT_FALSE(fs::exists(dir / "out.exe.part"));
}

// Names the applier cannot take: create refuses each with one line that
// shows the name escaped, and the loader refuses the same name in a
// package with 6.
TEST_F(Trees, NamesTheApplierCannotTakeAreRefusedOnBothSides) {
  const std::string utf8 = "name is not valid UTF-8: ";
  const std::string control = "name has a control character: ";
  const std::string reserved =
      "name has a character Windows does not allow in a name "
      "(\\ < > : \" | ? *): ";
  const std::string dot = "name ends in a dot or space, which Windows drops: ";
  const std::string device = "name is a device on Windows: ";
  std::string deep;  // 2,047 UTF-16 units in nine folders
  for (int i = 0; i < 8; ++i) deep += std::string(250, 'd') + "/";
  deep += std::string(39, 'f');
  struct Case {
    std::string path;  // in NEW, '/'-separated
    std::string error;
    ResultCode loaded;  // the same name, '\\'-separated, in a package
  } cases[] = {
      {"data\x80", utf8 + "data\\x80", ResultBadEntryList},
      {"cut\xE3", utf8 + "cut\\xE3", ResultBadEntryList},
      {"\xC0\xAF"
       "x",
       utf8 + "\\xC0\\xAFx", ResultBadEntryList},
      {"\xE0\x80\xAF", utf8 + "\\xE0\\x80\\xAF", ResultBadEntryList},
      {"sur\xED\xA0\x80", utf8 + "sur\\xED\\xA0\\x80", ResultBadEntryList},
      {"\xFF", utf8 + "\\xFF", ResultBadEntryList},
      {"smile\xF0\x9F\x98\x80",
       "name has a character above U+FFFF, which a patch cannot carry: "
       "smile\xF0\x9F\x98\x80",
       ResultBadEntryList},
      {"tab\there", control + "tab\\there", ResultBadEntryList},
      {"line\nbreak", control + "line\\nbreak", ResultBadEntryList},
      {"c1\xC2\x85", control + "c1\\xC2\\x85", ResultBadEntryList},
      {"a<b>|*?", reserved + "a<b>|*?", ResultBadEntryList},
      {"say \"hi\"", reserved + "say \"hi\"", ResultBadEntryList},
      {"ads:stream", reserved + "ads:stream", ResultBadEntryList},
      // One name on Linux, two on Windows: the package can only say two.
      {"back\\slash", reserved + "back\\slash", ResultSuccess},
      {"dir./x", dot + "dir.", ResultBadEntryList},  // the folder first
      {"trailing ", dot + "trailing ", ResultBadEntryList},
      {"CON.txt", device + "CON.txt", ResultBadEntryList},
      {"sub/lpt1", device + "sub/lpt1", ResultBadEntryList},
      {"conout$", device + "conout$", ResultBadEntryList},
      {deep, "name is longer than 2,046 UTF-16 units: " + deep,
       ResultBadEntryList},
  };
  int n = 0;
  for (const Case& c : cases) {
    fs::path root = dir / ("names/" + std::to_string(++n));
    fs::create_directories(root / "old");
    Write("names/" + std::to_string(n) + "/new/" + c.path, ToBytes("x"));
    std::string error = "no error";
    try {
      PlanTrees(root / "old", root / "new");
    } catch (const ProducerError& refused) {
      error = refused.what();
    }
    EXPECT_EQ(c.error, error);

    std::string name = c.path;
    std::replace(name.begin(), name.end(), '/', '\\');
    Bytes patch = kStub;
    Bytes package = BuildPackage({AddEntry(name, ToBytes("x"))});
    patch.insert(patch.end(), package.begin(), package.end());
    WriteAll(root / "patch.exe", patch);
    PackageLoader loader(nullptr);
    EXPECT_EQ(c.loaded, loader.LoadFile(Wide(root / "patch.exe").c_str()))
        << error;
  }
  // The longest name a package carries is created and loaded.
  deep.pop_back();
  Write("names/longest/new/" + deep, ToBytes("x"));
  fs::create_directories(dir / "names/longest/old");
  TreePlan plan =
      PlanTrees(dir / "names/longest/old", dir / "names/longest/new");
  ASSERT_EQ(9u, plan.entries.size());
  WritePatch(kStub, plan, dir / "names/longest.exe", {});
  PackageLoader loader(nullptr);
  ASSERT_EQ(ResultSuccess,
            loader.LoadFile(Wide(dir / "names/longest.exe").c_str()));
  EXPECT_EQ(2046u, loader.entries.back().name.size());
}

}  // namespace
