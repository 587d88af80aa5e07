#include "producer/patch_builder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <random>

#include "apply/code_transform.h"
#include "apply/patch_thread.h"
#include "package/package_loader.h"
#include "support/platform_support.h"
#include "support/program_trees.h"

namespace {

using namespace testing_support;

// What create writes unless told --plain.
constexpr uint32_t kDefaultFlags =
    PackageFlagCompressed | PackageFlagEntryOptions | PackageFlagCompactTable;
namespace fs = std::filesystem;

const Bytes kStub = MakePeImage(false, {0x400});

// The old and new trees of a program, with every kind of difference.
class Trees : public ProgramTrees {
 protected:
  void SetUp() override {
    WriteProgram(30, 80000, 700, 30);
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
  // The one line create stops with ("no error" when it goes through).
  static std::string Refusal(const std::function<void()>& action) {
    try {
      action();
    } catch (const ProducerError& error) {
      return error.what();
    }
    return "no error";
  }
  // The same, for planning the trees `tree`/old and `tree`/new.
  std::string PlanRefusal(const std::string& tree) {
    fs::create_directories(dir / tree / "old");
    fs::create_directories(dir / tree / "new");
    return Refusal([&] { PlanTrees(dir / tree / "old", dir / tree / "new"); });
  }
  // The default patch of `tree`/old and `tree`/new, written to patch.exe:
  // its header and records as the applier reads them, and its package's
  // size in `packageSize`.
  std::unique_ptr<PackageLoader> DefaultPatch(const std::string& tree,
                                              uint64_t* packageSize = nullptr) {
    BuildOptions options;
    options.flags = kDefaultFlags;
    BuildSummary summary =
        WritePatch(kStub, PlanTrees(dir / tree / "old", dir / tree / "new"),
                   dir / "patch.exe", options);
    if (packageSize) *packageSize = summary.packageSize;
    auto loader = std::make_unique<PackageLoader>(nullptr);
    EXPECT_EQ(ResultSuccess, loader->LoadFile(Wide(dir / "patch.exe").c_str()));
    return loader;
  }
};

// The patch, plain, compressed or seeking, is the same at every build and
// rebuilds NEW from OLD, leaving what only OLD has.
TEST_F(Trees, ThePatchOfEveryKindOfDifferenceRebuildsNew) {
  // Text compresses: the compressed form carries it in far fewer bytes.
  std::string text;
  for (int i = 0; i < 3000; ++i)
    text += "line " + std::to_string(i % 50) + "\n";
  Write("new/notes.txt", ToBytes(text));
  TreePlan plan = PlanTrees(dir / "old", dir / "new");
  std::vector<uint64_t> sizes;
  for (uint32_t flags :
       {0u, PackageFlagCompressed,
        PackageFlagCompressed | PackageFlagEntryOptions, kDefaultFlags}) {
    SCOPED_TRACE(flags);
    BuildOptions options;
    options.flags = flags;
    sizes.push_back(
        WritePatch(kStub, plan, dir / "patch.exe", options).packageSize);
    WritePatch(kStub, plan, dir / "again.exe", options);
    EXPECT_EQ(ReadAll(dir / "patch.exe"), ReadAll(dir / "again.exe"));
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
  EXPECT_LE(sizes[2], sizes[1]);
  // The compact table holds each record's numbers in a few bytes, and no
  // digest a folder does not have.
  EXPECT_LE(sizes[3] + 40 * plan.entries.size(), sizes[2]);
}

// An x64 program whose two halves of code trade places: every call in
// them to the code before them changes its operand, and through the code
// transform none does. The patch takes the transform and rebuilds the
// program.
TEST_F(Trees, CodeThatMovedPatchesThroughTheTransform) {
  std::mt19937 random(31);
  constexpr uint32_t kCode = 0x20000, kAddress = 0x1000, kHalf = 0x8000;
  Bytes library = RandomBytes(random, 0x1000);
  Bytes halves[2] = {RandomBytes(random, kHalf), RandomBytes(random, kHalf)};
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> calls(2);
  for (int h = 0; h < 2; ++h) {
    for (uint32_t at = 0; at + 5 < kHalf; at += 8 + random() % 16)
      calls[h].push_back({at, static_cast<uint32_t>(random() % 0x1000)});
  }
  auto program = [&](int first) {
    Bytes image = MakePeImage(true, {kCode});
    const uint32_t section = 0x80 + 264, imageSize = kAddress + kCode;
    std::memcpy(&image[section + 12], &kAddress, 4);
    image[section + 36] = 0x20;  // code
    std::memcpy(&image[0x80 + 24 + 56], &imageSize, 4);
    Bytes code = library;
    for (int h : {first, 1 - first}) {
      const uint32_t start = static_cast<uint32_t>(code.size());
      code.insert(code.end(), halves[h].begin(), halves[h].end());
      for (const auto& call : calls[h]) {
        uint32_t rel = call.second - (start + call.first + 5);
        code[start + call.first] = 0xE8;
        std::memcpy(&code[start + call.first + 1], &rel, 4);
      }
    }
    std::copy(code.begin(), code.end(), image.begin() + 0x200);
    return image;
  };
  Write("moved/old/app.exe", program(0));
  Write("moved/new/app.exe", program(1));
  EXPECT_EQ(EntryKindPatch | EntryOptionSeeking |
                kTransformX64 << kEntryTransformShift,
            DefaultPatch("moved")->entries.at(0).record.kind);
  ASSERT_EQ(ResultSuccess,
            ApplyPatchFile(dir / "patch.exe", dir / "moved/old"));
  EXPECT_EQ(Snapshot(dir / "moved/new"), Snapshot(dir / "moved/old"));
}

// Files over 1 MiB where the seeking form does not pay take the original
// form: an x86 program and data, each with one byte changed (the seeking
// block's fixed parts decide).
TEST_F(Trees, LargeFilesTakeTheOriginalFormWhereItIsSmaller) {
  std::mt19937 random(41);
  Bytes program = MakePeImage(false, {0x120000});
  program[0x80 + 248 + 36] = 0x20;  // the section holds code
  Bytes code = RandomBytes(random, 0x120000);
  std::copy(code.begin(), code.end(), program.begin() + 0x200);
  const Bytes olds[] = {program, code};
  for (const Bytes& old : olds) {
    Bytes target = old;
    target[0x90000] ^= 0x5A;
    fs::remove_all(dir / "large");
    Write("large/old/file.bin", old);
    Write("large/new/file.bin", target);
    EXPECT_EQ(EntryKindPatch, DefaultPatch("large")->entries.at(0).record.kind)
        << (&old == olds ? "program" : "data");
  }
}

// A patch of one file with a byte changed is smaller with its blocks
// stored, and is written so; with more to carry, or beside another entry,
// its blocks stay compressed.
TEST_F(Trees, ALoneSmallChangeIsStored) {
  std::mt19937 random(47);
  const Bytes old = RandomBytes(random, 100000);
  Bytes text;
  for (int i = 0; i < 2000; ++i) text.push_back("compressible"[i % 12]);
  struct Case {
    const char* name;
    bool grows, twoFiles, stored;
  } cases[] = {{"one byte", false, false, true},
               {"text added", true, false, false},
               {"two files", false, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir / "lone");
    Bytes target = old;
    target[50000] ^= 0x5A;
    if (c.grows)
      target.insert(target.begin() + 70000, text.begin(), text.end());
    Write("lone/old/a.bin", old);
    Write("lone/new/a.bin", target);
    if (c.twoFiles) {
      Write("lone/old/b.bin", target);
      Write("lone/new/b.bin", old);
    }
    const PackageHeader header = DefaultPatch("lone")->header;
    EXPECT_EQ(c.stored, (header.flags & PackageFlagCompressed) == 0);
    EXPECT_NE(0u, header.flags & PackageFlagEntryOptions);
    ASSERT_EQ(ResultSuccess,
              ApplyPatchFile(dir / "patch.exe", dir / "lone/old"));
    EXPECT_EQ(Snapshot(dir / "lone/new"), Snapshot(dir / "lone/old"));
  }
}

// Two bundles of one program that gain the same code share one literal
// stream and pay for that code once; files whose new bytes have nothing
// in common keep their own blocks.
TEST_F(Trees, BundlesThatChangeAlikeShareTheirLiteralStream) {
  std::mt19937 random(43);
  const Bytes added = RandomBytes(random, 20000);
  for (bool alike : {true, false}) {
    SCOPED_TRACE(alike);
    fs::remove_all(dir / "bundles");
    for (const char* name : {"a.js", "b.js"}) {
      Bytes old = RandomBytes(random, 50000);
      Bytes target = old;
      const Bytes& code = alike ? added : RandomBytes(random, added.size());
      target.insert(target.begin() + 25000, code.begin(), code.end());
      Write("bundles/old/" + std::string(name), old);
      Write("bundles/new/" + std::string(name), target);
    }
    uint64_t size = 0;
    const std::unique_ptr<PackageLoader> patch = DefaultPatch("bundles", &size);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(alike, (patch->entries.at(i).record.kind &
                        EntryOptionSharedLiteral) != 0)
          << i;
    }
    if (alike) {
      EXPECT_LT(size, added.size() + added.size() / 4);
    } else {
      EXPECT_GT(size, 2 * added.size());
    }
    ASSERT_EQ(ResultSuccess,
              ApplyPatchFile(dir / "patch.exe", dir / "bundles/old"));
    EXPECT_EQ(Snapshot(dir / "bundles/new"), Snapshot(dir / "bundles/old"));
  }
}

// A file larger than the window an applier decodes with (64 MiB) is
// compressed in a frame the applier takes.
TEST_F(Trees, AFileLargerThanTheApplierWindowApplies) {
  const size_t size = (size_t{64} << 20) + 4096;
  Write("large/new/zeros.bin", Bytes(size));
  fs::create_directories(dir / "large/old");
  BuildOptions options;
  options.flags = PackageFlagCompressed;
  options.diff.compressionLevel = 1;  // the dictionary is what is tested
  WritePatch(kStub, PlanTrees(dir / "large/old", dir / "large/new"),
             dir / "large.exe", options);
  ASSERT_EQ(ResultSuccess,
            ApplyPatchFile(dir / "large.exe", dir / "large/old"));
  // The applier checked its digest too.
  EXPECT_EQ(size, fs::file_size(dir / "large/old/zeros.bin"));
}

// With removals and sources, the patched folder is NEW itself: what only
// OLD has goes, and renamed files cost their changes only, as does a file
// moved to another folder; --plain writes the original form while no entry
// needs more. A removed file's backup name is another entry's only with
// backups.
TEST_F(Trees, RemovalsAndSourcesMakeTheFolderNew) {
  std::mt19937 random(7);
  const Bytes library = RandomBytes(random, 60000);
  Bytes newer = library;
  for (int i = 0; i < 20; ++i) newer[random() % newer.size()] ^= 1;
  Write("old/lib/libvips-cpp-8.17.2.dll", library);
  Write("new/lib/libvips-cpp-8.17.3.dll", newer);
  const Bytes moved = RandomBytes(random, 20000);
  Write("old/res/icons.dat", moved);
  Write("new/assets/icons.dat", moved);
  Write("old/gone/deeper/file.txt", ToBytes("a folder that goes"));
  TreePlan plan = PlanTrees(dir / "old", dir / "new");
  PlanRemovals(dir / "old", &plan);
  PlanSources(dir / "old", &plan);
  for (uint32_t flags : {0u, PackageFlagCompressed}) {
    SCOPED_TRACE(flags);
    BuildOptions options;
    options.flags = flags;
    BuildSummary summary = WritePatch(kStub, plan, dir / "patch.exe", options);
    EXPECT_EQ(2u, summary.rebuilt);
    EXPECT_EQ(4u, summary.removed);  // only-old.txt too
    EXPECT_EQ(3u, summary.removedDirectories);
    // Far less than the 80,000 bytes the two files would cost whole.
    EXPECT_LT(summary.packageSize, 10000u);
    fs::remove_all(dir / "target");
    fs::copy(dir / "old", dir / "target", fs::copy_options::recursive);
    ASSERT_EQ(ResultSuccess, ApplyPatchFile(dir / "patch.exe", dir / "target"));
    EXPECT_EQ(Snapshot(dir / "new"), Snapshot(dir / "target"));
  }
  // Nothing removed, nothing rebuilt from another file: the original form.
  auto flagsOf = [&](const TreePlan& trees) {
    BuildOptions options;
    WritePatch(kStub, trees, dir / "patch.exe", options);
    Bytes patch = ReadAll(dir / "patch.exe");
    PackageHeader header;
    std::memcpy(&header, patch.data() + kStub.size(), sizeof header);
    return header.flags;
  };
  EXPECT_EQ(PackageFlagRemovals, flagsOf(plan));
  EXPECT_EQ(0u, flagsOf(PlanTrees(dir / "old", dir / "new")));
  Write("backup/old/app.exe", ToBytes("old"));
  Write("backup/new/app.exe.bak", ToBytes("a file of its own"));
  TreePlan backups = PlanTrees(dir / "backup/old", dir / "backup/new");
  PlanRemovals(dir / "backup/old", &backups);
  BuildOptions keep;
  keep.flags = PackageFlagBackup;
  EXPECT_EQ(
      "name the applier gives the backup of app.exe: app.exe.bak",
      Refusal([&] { WritePatch(kStub, backups, dir / "out.exe", keep); }));
  EXPECT_EQ("no error",
            Refusal([&] { WritePatch(kStub, backups, dir / "out.exe", {}); }));
}

// Every input create cannot make a patch of stops it with one line and
// writes nothing.
TEST_F(Trees, BadInputIsOneClearErrorAndNoOutput) {
  EXPECT_EQ("no such file or folder: " + (dir / "missing").u8string(),
            Refusal([&] { PlanTrees(dir / "missing", dir / "new"); }));
  Write("folder-to-file/old/x/inner", ToBytes("1"));
  Write("folder-to-file/new/x", ToBytes("2"));
  EXPECT_EQ("a folder becomes a file: x", PlanRefusal("folder-to-file"));
  // Links and special files stop the build.
  fs::create_directories(dir / "link/new");
  fs::create_symlink(dir / "new/bin", dir / "link/new/bin");
  EXPECT_EQ("a symbolic link, which selfpatch does not follow: " +
                (dir / "link/new/bin").string(),
            PlanRefusal("link"));
  fs::create_directories(dir / "fifo/new");
  ASSERT_EQ(0, mkfifo((dir / "fifo/new/pipe").c_str(), 0600));
  EXPECT_EQ("not a regular file or folder (a device, FIFO or socket): " +
                (dir / "fifo/new/pipe").string(),
            PlanRefusal("fifo"));

  // Names the applier would refuse together, each error naming both.
  Write("case/new/Readme.txt", ToBytes("1"));
  Write("case/new/README.txt", ToBytes("2"));
  EXPECT_EQ("names Windows takes for one file: README.txt and Readme.txt",
            PlanRefusal("case"));
  Write("twins/old/README", ToBytes("1"));
  Write("twins/old/readme", ToBytes("2"));
  Write("twins/new/ReadMe", ToBytes("3"));
  EXPECT_EQ("names Windows takes for one file in OLD: README and readme",
            PlanRefusal("twins"));
  Write("backup/old/app.exe", ToBytes("old"));
  Write("backup/new/app.exe", ToBytes("new"));
  Write("backup/new/app.exe.bak", ToBytes("a file of its own"));
  TreePlan backups = PlanTrees(dir / "backup/old", dir / "backup/new");
  BuildOptions keep;
  keep.flags = PackageFlagBackup;
  EXPECT_EQ(
      "name the applier gives the backup of app.exe: app.exe.bak",
      Refusal([&] { WritePatch(kStub, backups, dir / "out.exe", keep); }));
  TreePlan under = {{{EntryKindAdd, "data", {}, dir / "new/bin/app.exe"},
                     {EntryKindAdd, "DATA\\x", {}, dir / "new/bin/app.exe"}},
                    {},
                    0};
  EXPECT_EQ("DATA\\x lies under data, which the patch makes a file",
            Refusal([&] { WritePatch(kStub, under, dir / "out.exe", {}); }));

  // A stub with bytes after its image would put the package in the wrong
  // place.
  Bytes signedStub = kStub;
  signedStub.resize(signedStub.size() + 100, 0);
  EXPECT_EQ(
      "the applier stub has 100 bytes after its image; use an unsigned, "
      "stripped stub",
      Refusal([&] { WritePatch(signedStub, backups, dir / "out.exe", {}); }));
  EXPECT_EQ("the applier stub is not a valid PE executable", Refusal([&] {
              WritePatch(ToBytes("not a program"), backups, dir / "out.exe",
                         {});
            }));
  EXPECT_FALSE(fs::exists(dir / "out.exe"));
  EXPECT_FALSE(fs::exists(dir / "out.exe.part"));
  // An output that became a FIFO after the command line was checked is
  // not replaced.
  ASSERT_EQ(0, mkfifo((dir / "pipe.exe").c_str(), 0600));
  EXPECT_EQ(
      (dir / "pipe.exe").string() + " is not a regular file; nothing written",
      Refusal([&] { WritePatch(kStub, backups, dir / "pipe.exe", {}); }));
  EXPECT_TRUE(fs::is_fifo(dir / "pipe.exe"));
  EXPECT_FALSE(fs::exists(dir / "pipe.exe.part"));
}

// Each new file is compared with the old file the applier will meet under
// its name: on Windows, where case does not tell names apart, and for two
// single files, under OLD's name.
TEST_F(Trees, EachNewFileMeetsTheOldFileWindowsFinds) {
  const struct {
    std::vector<std::string> olds, news;  // file names, '/'-separated
    std::string plan;
  } rows[] = {
      {{"File.txt"}, {"file.txt"}, "patch file.txt from File.txt\n"},
      {{"Data/x.txt", "Data/y.txt"},
       {"data/X.txt", "data/y.txt", "data/z.txt"},
       "patch data\\X.txt from Data/x.txt\n"
       "patch data\\y.txt from Data/y.txt\n"
       "add data\\z.txt\n"},
      {{"same.txt", "Gone.txt"},
       {"SAME.TXT"},
       "patch SAME.TXT from same.txt\nonly in OLD: Gone.txt\n"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    fs::path tree = dir / "rows" / std::to_string(i);
    for (const std::string& name : rows[i].olds)
      Write("rows/" + std::to_string(i) + "/old/" + name, ToBytes("old"));
    for (const std::string& name : rows[i].news)
      Write("rows/" + std::to_string(i) + "/new/" + name, ToBytes("new"));
    std::string plan;
    for (const PlannedEntry& entry :
         PlanTrees(tree / "old", tree / "new").entries) {
      plan += (entry.kind == EntryKindPatch ? "patch " : "add ") + entry.name;
      if (entry.kind == EntryKindPatch)
        plan += " from " +
                entry.oldPath.lexically_relative(tree / "old").generic_string();
      plan += "\n";
    }
    for (const std::string& name :
         PlanTrees(tree / "old", tree / "new").onlyInOld)
      plan += "only in OLD: " + name + "\n";
    EXPECT_EQ(rows[i].plan, plan);
  }
  // Two single files: the patch names the file as users have it.
  Write("ts-old.tar", ToBytes("old"));
  Write("ts-new.tar", ToBytes("new"));
  TreePlan files = PlanTrees(dir / "ts-old.tar", dir / "ts-new.tar");
  ASSERT_EQ(1u, files.entries.size());
  EXPECT_EQ("ts-old.tar", files.entries[0].name);
}

// Names the applier cannot take (its loader's own rule): create refuses
// each with one line that shows the name escaped.
TEST_F(Trees, NamesTheApplierCannotTakeAreRefused) {
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
  const std::pair<std::string, std::string> cases[] = {
      // In NEW, '/'-separated; the error.
      {"data\x80", utf8 + "data\\x80"},
      {"cut\xE3", utf8 + "cut\\xE3"},
      {"x\xE3\x81\x41", utf8 + "x\\xE3\\x81A"},  // "A" continues nothing
      {"\xC0\xAF", utf8 + "\\xC0\\xAF"},
      {"\xE0\x80\xAF", utf8 + "\\xE0\\x80\\xAF"},
      {"sur\xED\xA0\x80", utf8 + "sur\\xED\\xA0\\x80"},
      {"smile\xF0\x9F\x98\x80",
       "name has a character above U+FFFF, which a patch cannot carry: "
       "smile\xF0\x9F\x98\x80"},
      {"tab\there", control + "tab\\there"},
      {"c1\xC2\x85", control + "c1\\xC2\\x85"},
      {"a<b>|*?\":", reserved + "a<b>|*?\":"},
      // One name on Linux, two on Windows.
      {"back\\slash", reserved + "back\\slash"},
      {"dir./x", dot + "dir."},  // the folder first
      {"trailing ", dot + "trailing "},
      {"CON.txt", device + "CON.txt"},
      {"sub/lpt1", device + "sub/lpt1"},
      {"conout$", device + "conout$"},
      // The applier keeps its journal under this name in the folder.
      {"SelfPatch.Journal",
       "name the applier keeps for its journal: SelfPatch.Journal"},
      {deep, "name is longer than 2,046 UTF-16 units: " + deep},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string tree = "names/" + std::to_string(++n);
    Write(tree + "/new/" + c.first, ToBytes("x"));
    EXPECT_EQ(c.second, PlanRefusal(tree));
  }
}

}  // namespace
