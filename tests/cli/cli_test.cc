// The command-line tool as a user runs it: exit statuses, messages, what
// it writes and what it leaves alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>

#include "result/result_codes.h"
#include "support/program_trees.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

class Cli : public ProgramTrees {
 protected:
  void SetUp() override {
    WriteProgram(14, 50000, 0, 20);
    // Code that moved to the front: only the seeking form takes it back.
    Bytes newer = ReadAll(dir / "new/bin/app.exe");
    std::rotate(newer.begin(), newer.end() - 5000, newer.end());
    Write("new/bin/app.exe", newer);
    Write("old/same.txt", ToBytes("same"));
    Write("new/same.txt", ToBytes("same"));
    Write("new/data/added.txt", ToBytes("added"));
    Write("stub.exe", MakePeImage(false, {0x400}));
  }
  // The command that makes `patch` (below the scratch folder unless
  // absolute) from the trees (or files) `from` and `to`.
  std::string Create(const std::string& from, const std::string& to,
                     const std::string& patch) {
    return "SELFPATCH create " + Path(from) + " " + Path(to) + " --stub " +
           Path("stub.exe") + " -o " + Output(patch);
  }
  std::string Output(const std::string& patch) {
    return patch[0] == '/' ? patch : Path(patch);
  }
};

TEST_F(Cli, ExitStatusesAndWhatEachLeaves) {
  ASSERT_EQ(0, RunTool(Create("old", "new", "p.exe") + " -q").code);
  fs::copy(dir / "old", dir / "target", fs::copy_options::recursive);
  fs::copy(dir / "new", dir / "back", fs::copy_options::recursive);
  fs::create_directory(dir / "empty");
  Bytes damaged = ReadAll(dir / "p.exe");
  damaged.back() ^= 1;
  WriteAll(dir / "damaged.exe", damaged);
  auto patch = [&](const char* name, const std::vector<TestEntry>& entries,
                   uint32_t flags) {
    Bytes exe = MakePeImage(false, {0x400}),
          package = BuildPackage(entries, flags);
    exe.insert(exe.end(), package.begin(), package.end());
    WriteAll(dir / name, exe);
    return "SELFPATCH info --json " + Path(name) +
           " 2>/dev/null | python3 -c 'import json, sys\n"
           "d = json.load(sys.stdin)\n"
           "if \"error\" in d: sys.exit(print(\"error\", "
           "d[\"error\"][\"code\"]))\n"
           "print(d[\"applier\"][\"machine\"], d[\"flags\"][\"backup\"])\n"
           "for e in d[\"entries\"]:\n"
           "  print(e[\"kind\"], repr(e[\"name\"]), e.get(\"newSize\"), "
           "e.get(\"newDigest\", \"\")[:8], *([\"from\", e[\"source\"]] "
           "if \"source\" in e else []))'";
  };
  std::string p = Path("p.exe"), target = Path("target");
  std::string undo = Path("undo.exe"), back = Path("back");
  struct Case {
    std::string command;
    int code;
    std::string says;
  } cases[] = {
      {"SELFPATCH", 64, "Usage: selfpatch"},
      {"SELFPATCH info " + p + " --jsn", 64, "--jsn"},
      {"SELFPATCH create " + Path("old"), 64,
       "Run 'selfpatch create --help' for usage."},
      {"SELFPATCH --help", 0, "64     the command line is wrong"},
      {"SELFPATCH -V", 0, "selfpatch "},
      {"SELFPATCH verify", 64, "Run 'selfpatch verify --help' for usage."},
      // Each command's help lists its own exit statuses.
      {"SELFPATCH create --help", 0,
       "Exit status:\n  0   written\n  1   an input or the output"},
      {"SELFPATCH info --help", 0, "Exit status:\n  0     the patch loads"},
      {"SELFPATCH verify --help", 0,
       "Exit status:\n  0     apply would apply the patch here"},
      {"SELFPATCH apply --help", 0, "66    not confirmed at the prompt"},
      {Create("old", "old", "same.exe"), 65,
       "nothing to patch: OLD and NEW hold the same files (2 files)"},
      {Create("old", "old", "empty.exe") + " -q --allow-empty", 0,
       "empty.exe: 0 changed, 0 added, 0 folders, 2 unchanged\n"},
      // Two files: a patch of one entry under the name users have.
      {"echo a > " + Path("ts-old.tar") + "; echo b > " + Path("ts-new.tar") +
           "; " + Create("ts-old.tar", "ts-new.tar", "ts.exe") +
           " -q && SELFPATCH info " + Path("ts.exe"),
       0,
       "note: the file is patched under OLD's name, ts-old.tar, not NEW's "
       "(ts-new.tar): a patch cannot rename\n"},
      {"SELFPATCH info " + Path("ts.exe"), 0, "  ts-old.tar\n1 entry"},
      {Create("old/bin/app.exe", "new/bin/app.exe", "one.exe") +
           " -q && SELFPATCH info " + Path("one.exe"),
       0, "  app.exe  (seeking, near-copies)\n1 entry, package"},
      {Create("old", "new", "features.exe") + " -q && SELFPATCH info --json " +
           Path("features.exe") +
           " | python3 -c 'import json, sys\n"
           "print([e.get(\"features\") for e in "
           "json.load(sys.stdin)[\"entries\"]])'",
       0, "[['seeking', 'near-copies'], None, None]\n"},
      // NEW lacks a file of OLD: the patch removes it, and its folder,
      // unless it is to be left where it is.
      {Create("new", "old", "back.exe") + " -q --backup --keep-removed", 0,
       "only in OLD, left in place: data/added.txt\n"},
      {"SELFPATCH info " + Path("back.exe"), 0, ", keeps .bak backups\n"},
      {Create("new", "old", "undo.exe") + " -q", 0,
       "undo.exe: 1 changed, 0 added, 1 removed, 0 folders, 1 folder removed, "
       "1 unchanged\n"},
      {"SELFPATCH info " + undo, 0,
       "removes 1 file and 1 folder the new version no longer has"},
      {"SELFPATCH verify " + undo + " " + back, 0,
       "the patch would apply\nwould remove: " + Path("back/data/added.txt") +
           "\n"},
      {"SELFPATCH apply " + undo + " " + back + " -y", 0,
       "removed: " + Path("back/data/added.txt") +
           "\nremoved: " + Path("back/data") + "\n"},
      {Create("old", "new", "plain.exe") + " -q --plain && SELFPATCH info " +
           Path("plain.exe"),
       0, "data blocks: plain\n"},
      // info --json is JSON for any package: names as they are, and an
      // error object for a package whose names the applier refuses.
      {patch("names.exe",
             {DirectoryEntry("\xE6\x97\xA5\xE6\x9C\xAC"),
              AddEntry("\xE6\x97\xA5\xE6\x9C\xAC\\it's {a}\\u0041.txt",
                       ToBytes("hello")),
              PatchEntry("bin/app.exe", ToBytes("old"), ToBytes("new"))},
             PackageFlagBackup),
       0,
       "x86 True\n"
       "dir '日本' None \n"
       "add \"日本\\\\it's {a}\\\\u0041.txt\" 5 2cf24dba\n"
       "patch 'bin/app.exe' 3 11507a0e\n"},
      {patch("refused.exe", {AddEntry("tab\there\x01", ToBytes("x"))}, 0), 0,
       "error 6\n"},
      {patch(
           "renamed.exe",
           {SourcedEntry("new.dll", "old.dll", ToBytes("old"), ToBytes("new")),
            RemoveEntry("old.dll", ToBytes("old")),
            RemoveDirectoryEntry("plugins")},
           PackageFlagRemovals),
       0,
       "patch 'new.dll' 3 11507a0e from old.dll\n"
       "remove 'old.dll' None \nrmdir 'plugins' None \n"},
      {"SELFPATCH info " + Path("damaged.exe"), ResultBadDigest,
       "error 5: the patch data is damaged"},
      {"SELFPATCH info " + Path("nothing.exe"), ResultOpenPackage,
       "error 2: cannot open the patch file"},
      {"echo n | SELFPATCH apply " + p + " " + target, 66,
       "not applied; nothing changed"},
      {"SELFPATCH apply " + p + " " + Path("empty") + " --yes",
       ResultNoTempName, "not this folder: none of the files to patch"},
      {"SELFPATCH apply " + Path("stub.exe") + " " + target + " -y",
       ResultPackageTooSmall, "error 3"},
      // Applied, with a line per entry where stderr is not a terminal.
      {"echo y | SELFPATCH apply " + p + " " + target, 0,
       "[1/3] patch bin\\app.exe (50.0 KB)\n[2/3] dir data\n"
       "[3/3] add data\\added.txt (5 bytes)\n"},
      {"SELFPATCH apply " + p + " " + target + " -y", 0,
       "already applied: every file is up to date, nothing changed\n"},
  };
  for (const Case& c : cases) {
    ToolRun run = RunTool(c.command);
    EXPECT_EQ(c.code, run.code) << c.command << "\n" << run.out;
    EXPECT_NE(std::string::npos, run.out.find(c.says)) << c.command << "\n"
                                                       << run.out;
  }
  EXPECT_FALSE(fs::exists(dir / "same.exe"));
  EXPECT_TRUE(fs::is_empty(dir / "empty"));
  EXPECT_EQ(Snapshot(dir / "new"), Snapshot(dir / "target"));
  EXPECT_EQ(Snapshot(dir / "old"), Snapshot(dir / "back"));
}

// verify takes apply's way with the worker only checking: in each state of
// a folder it answers with apply's status and first error, changing
// nothing. (The Windows folder: the worker's own test.)
TEST_F(Cli, VerifyAnswersWhatApplyDoes) {
  ASSERT_EQ(0, RunTool(Create("old", "new", "p.exe") + " -q").code);
  Write("elsewhere/bin/app.exe", ReadAll(dir / "old/bin/app.exe"));
  const struct {
    const char* what;
    std::function<void(const fs::path&)> make;
    int code;
    std::string says;
  } rows[] = {
      {"ready", [](const fs::path&) {}, 0, "the patch would apply\n"},
      {"already applied",
       [&](const fs::path& to) {
         fs::remove_all(to);
         fs::copy(dir / "new", to, fs::copy_options::recursive);
       },
       0, "already applied: every file is up to date, nothing to change\n"},
      {"differs",
       [](const fs::path& to) { WriteAll(to / "bin/app.exe", ToBytes("x")); },
       ResultSourceMismatch,
       "error 10: the file to patch is not the one this patch was made for "
       "(パッチ元ファイルが差分元ファイルデータと異なっています。): "},
      {"missing", [](const fs::path& to) { fs::remove(to / "bin/app.exe"); },
       ResultOpenSource, "not this folder: none of the files to patch is here"},
      {"at an added name",
       [](const fs::path& to) {
         fs::create_directory(to / "data");
         WriteAll(to / "data/added.txt", ToBytes("x"));
       },
       ResultTargetExists, "error 12: the file to add exists already"},
      {"a folder at an added name",
       [](const fs::path& to) {
         fs::create_directories(to / "data/added.txt");
       },
       ResultTargetExists, "error 12: the file to add exists already"},
      {"a link on the way",
       [&](const fs::path& to) {
         fs::remove_all(to / "bin");
         fs::create_directory_symlink(dir / "elsewhere/bin", to / "bin");
       },
       ResultLinkOnPath, "error 16: a link (junction) lies on the way"},
      {"a second name",
       [&](const fs::path& to) {
         fs::create_hard_link(to / "bin/app.exe", dir / "elsewhere/second");
       },
       ResultLinkOnPath, "/bin/app.exe\n"},
  };
  // The first line that names an error: apply stops there.
  auto error = [](const std::string& out) {
    size_t at = out.find("error ");
    return at == std::string::npos ? std::string()
                                   : out.substr(at, out.find('\n', at) - at);
  };
  for (const auto& row : rows) {
    const fs::path target = dir / "targets" / row.what;
    fs::create_directories(target.parent_path());
    fs::copy(dir / "old", target, fs::copy_options::recursive);
    row.make(target);
    auto before = Snapshot(target);
    ToolRun verify = RunTool("SELFPATCH verify " + Path("p.exe") + " '" +
                             target.string() + "'");
    EXPECT_EQ(before, Snapshot(target)) << row.what;
    ToolRun apply = RunTool("SELFPATCH apply " + Path("p.exe") + " '" +
                            target.string() + "' -y");
    EXPECT_EQ(row.code, verify.code) << row.what << "\n" << verify.out;
    EXPECT_EQ(row.code, apply.code) << row.what << "\n" << apply.out;
    EXPECT_NE(std::string::npos, verify.out.find(row.says)) << verify.out;
    EXPECT_EQ(error(apply.out), error(verify.out)) << row.what;
  }
}

// The folders apply and verify refuse as DIR: one line, the usage status.
TEST_F(Cli, FoldersApplyAndVerifyRefuse) {
  ASSERT_EQ(0, RunTool(Create("old", "new", "p.exe") + " -q").code);
  const std::pair<std::string, std::string> rows[] = {
      {Path("nowhere"), "selfpatch: no such folder: " + Path("nowhere") + "\n"},
      {Path("stub.exe"), "selfpatch: " + Path("stub.exe") +
                             " is a file; DIR names the program's folder\n"},
  };
  for (const auto& row : rows) {
    for (const char* command : {"verify ", "apply -y "}) {
      ToolRun run = RunTool("SELFPATCH " + std::string(command) +
                            Path("p.exe") + " " + row.first);
      EXPECT_EQ(64, run.code) << command << row.first;
      EXPECT_EQ(row.second, run.out);
    }
  }
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

// The outputs create refuses, before any work: one line naming the path as
// given, the usage status, and nothing written, replaced or left behind.
TEST_F(Cli, OutputsCreateRefuses) {
  Write("victim", ToBytes("another program's file"));
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
  fs::create_symlink(dir / "victim", dir / "link");
  fs::create_directory_symlink(dir / "new", dir / "alias");
  fs::create_directory(dir / "folder");
  Write("q.exe.part", ToBytes("an old file named as a temporary"));
  ASSERT_EQ(0, mkfifo(Path("r.exe.part").c_str(), 0600));
  fs::create_directory(dir / "s.exe.part");
  auto trees = Snapshot(dir.path() / "old"), news = Snapshot(dir / "new");
  const std::string kind = "; -o names the patch file to write\n";
  const std::string outside = "); -o must name a file outside OLD and NEW\n";
  struct {
    std::string from, to, output, says;
  } rows[] = {
      {"old", "new", "old/bin/app.exe",
       Path("old/bin/app.exe") + " lies inside OLD (" + Path("old") + outside},
      {"old", "new", "new/p.exe", " lies inside NEW (" + Path("new") + outside},
      {"old", "new", "alias/p.exe", " lies inside NEW ("},
      {"old/bin/app.exe", "new/bin/app.exe", "new/bin/app.exe",
       Path("new/bin/app.exe") + " is NEW ("},
      {"old", "new", "folder", Path("folder") + " is a folder" + kind},
      {"old", "new", "no/such/p.exe",
       "no such folder for the output: " + Path("no/such") + "\n"},
      {"old", "new", "fifo",
       Path("fifo") + " is not a regular file (a device, FIFO or socket)"},
      {"old", "new", "/dev/null", "/dev/null is not a regular file ("},
      {"old", "new", "link", Path("link") + " is a symbolic link" + kind},
      {"old", "new", "stub.exe",
       Path("stub.exe") + " is the applier given to --stub\n"},
      {"q.exe.part", "new/bin/app.exe", "q.exe",
       Path("q.exe") + " is written first as " + Path("q.exe.part") +
           ", which is OLD (" + Path("q.exe.part") + outside},
      {"old", "new", "r.exe",
       Path("r.exe") + " is written first as " + Path("r.exe.part") +
           ", which is not a regular file ("},
      {"old", "new", "s.exe", ", which is a folder" + kind},
  };
  for (const auto& row : rows) {
    ToolRun run = RunTool(Create(row.from, row.to, row.output));
    EXPECT_EQ(64, run.code) << row.output << "\n" << run.out;
    EXPECT_EQ(0u, run.out.find("selfpatch: ")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find(row.says)) << run.out;
    EXPECT_EQ(1, std::count(run.out.begin(), run.out.end(), '\n')) << run.out;
  }
  EXPECT_EQ(trees, Snapshot(dir / "old"));
  EXPECT_EQ(news, Snapshot(dir / "new"));
  EXPECT_TRUE(fs::is_empty(dir / "folder"));
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  EXPECT_TRUE(fs::is_fifo(dir / "r.exe.part"));
  EXPECT_TRUE(fs::is_empty(dir / "s.exe.part"));
  // A FIFO given as OLD is named, not waited on.
  ToolRun fifo = RunTool(Create("fifo", "new/bin/app.exe", "t.exe"));
  EXPECT_NE(0, fifo.code);
  EXPECT_NE(std::string::npos,
            fifo.out.find("not a regular file or folder (a device, FIFO"))
      << fifo.out;
  EXPECT_FALSE(fs::exists(dir / "t.exe"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(ToBytes("another program's file"), ReadAll(dir / "victim"));
  EXPECT_EQ(MakePeImage(false, {0x400}), ReadAll(dir / "stub.exe"));
  EXPECT_EQ(ToBytes("an old file named as a temporary"),
            ReadAll(dir / "q.exe.part"));
  for (const char* planted : {"q.exe.part", "r.exe.part", "s.exe.part"})
    fs::remove(dir / planted);
  // A link left under the temporary's name is not written through.
  fs::create_symlink(dir / "victim", dir / "p.exe.part");
  ASSERT_EQ(0, RunTool(Create("old", "new", "p.exe") + " -q").code);
  EXPECT_EQ(ToBytes("another program's file"), ReadAll(dir / "victim"));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "p.exe")));
  for (const auto& item : fs::recursive_directory_iterator(dir.path()))
    EXPECT_NE(".part", item.path().extension()) << item.path();
}

// On a terminal the bar gives a long name room by cutting its middle: the
// folder it starts with and the file it ends with stay.
TEST_F(Cli, TheBarCutsALongNameInItsMiddle) {
  Write("new/plugins/" + std::string(40, 'x') + "/renderer.dll", ToBytes("a"));
  ASSERT_EQ(0, RunTool(Create("old", "new", "p.exe") + " -q").code);
  ToolRun run = RunTool("COLUMNS=70 script -qec 'SELFPATCH apply " +
                        Path("p.exe") + " " + Path("old") + " -y' /dev/null");
  EXPECT_EQ(0, run.code) << run.out;
  // plugins\xxx...xx\renderer.dll, its start whole
  const std::string& out = run.out;
  size_t dots = out.rfind("..."), start = out.rfind("plugins\\", dots);
  ASSERT_NE(std::string::npos, dots) << out;
  EXPECT_NE(std::string::npos, start) << out;
  EXPECT_EQ(dots, out.find_first_not_of('x', start + 8)) << out;
  EXPECT_EQ(out.find_first_not_of("x\\renderl", dots + 3),
            out.find(".dll", dots))
      << out;
}

// A file create cannot read stops it, with the path and the system's
// reason, even when its size says it might be unchanged.
TEST_F(Cli, UnreadableFileStopsCreate) {
  Write("old/secret.dat", ToBytes("old secret"));
  Write("new/secret.dat", ToBytes("new secret"));
  fs::permissions(dir / "new/secret.dat", fs::perms::none);
  fs::create_directory(dir / "out");
  fs::permissions(dir / "out", fs::perms::all);
  std::string as = "";
  if (geteuid() == 0) {
    // Root reads anything: run as nobody, which can reach the trees.
    if (RunTool("setpriv --reuid=65534 --regid=65534 --clear-groups true").code)
      GTEST_SKIP() << "cannot run as another user here";
    fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
    as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  ToolRun run = RunTool(as + Create("old", "new", "out/p.exe"));
  EXPECT_EQ(1, run.code);
  EXPECT_NE(std::string::npos,
            run.out.find("selfpatch: cannot read " + Path("new/secret.dat") +
                         ": Permission denied\n"))
      << run.out;
  EXPECT_TRUE(fs::is_empty(dir / "out"));
}

}  // namespace
