// The command-line tool as a user runs it: exit statuses, messages, what
// it writes and what it leaves alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "result/result_codes.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

struct Outcome {
  int code;
  std::string out;  // stdout and stderr together
};

// `command` through the shell, SELFPATCH standing for the tool.
Outcome Shell(std::string command) {
  for (size_t at; (at = command.find("SELFPATCH")) != std::string::npos;)
    command.replace(at, 9, SELFPATCH_CLI);
  FILE* pipe = popen(("exec 2>&1; " + command).c_str(), "r");
  std::string out;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
    out.append(buffer, n);
  int status = pclose(pipe);
  return {WEXITSTATUS(status), out};
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 random(14);
    Bytes program = RandomBytes(random, 50000);
    Bytes newer = program;
    for (int i = 0; i < 20; ++i) newer[random() % newer.size()] ^= 1;
    Write("old/bin/app.exe", program);
    Write("new/bin/app.exe", newer);
    Write("old/same.txt", ToBytes("same"));
    Write("new/same.txt", ToBytes("same"));
    Write("new/data/added.txt", ToBytes("added"));
    Write("stub.exe", MakePeImage(false, {0x400}));
    create = "SELFPATCH create " + Path("old") + " " + Path("new") +
             " --stub " + Path("stub.exe") + " -o ";
  }
  void Write(const std::string& name, const Bytes& data) {
    fs::create_directories((dir / name).parent_path());
    WriteAll(dir / name, data);
  }
  std::string Path(const std::string& name) { return (dir / name).string(); }

  ScratchDir dir;
  std::string create;
};

TEST_F(Cli, ExitStatusesAndWhatEachLeaves) {
  ASSERT_EQ(0, Shell(create + Path("p.exe") + " --quiet").code);
  fs::copy(dir / "old", dir / "target", fs::copy_options::recursive);
  fs::create_directory(dir / "empty");
  Write("other/bin/app.exe", ToBytes("someone else's program"));
  auto other = Snapshot(dir / "other");
  Bytes damaged = ReadAll(dir / "p.exe");
  damaged.back() ^= 1;
  WriteAll(dir / "damaged.exe", damaged);
  std::string p = Path("p.exe"), target = Path("target");
  struct Case {
    std::string command;
    int code;
    std::string says;
  } cases[] = {
      {"SELFPATCH", 64, "Usage: selfpatch"},
      {"SELFPATCH frobnicate", 64, "frobnicate"},
      {"SELFPATCH info " + p + " --jsn", 64, "--jsn"},
      {"SELFPATCH create " + Path("old"), 64, "selfpatch --help"},
      {"SELFPATCH --help", 0, "64     the command line is wrong"},
      {"SELFPATCH --version", 0, "selfpatch 1."},
      {"SELFPATCH create --help", 0, "--allow-empty"},
      // The output is checked before the work.
      {create + Path("empty"), 1, Path("empty") + " is a folder"},
      {create + Path("no/such/p.exe"), 1,
       "no such folder for the output: " + Path("no/such")},
      {"SELFPATCH create " + Path("old") + " " + Path("old") + " --stub " +
           Path("stub.exe") + " -o " + Path("same.exe"),
       65, "nothing to patch: OLD and NEW hold the same files (2 files)"},
      {"SELFPATCH create " + Path("old/bin/app.exe") + " " +
           Path("new/bin/app.exe") + " --stub " + Path("stub.exe") + " -o " +
           Path("one.exe") + " --quiet && SELFPATCH info " + Path("one.exe"),
       0, "1 entry, package"},
      {"SELFPATCH create " + Path("nope") + " " + Path("new") + " --stub " +
           Path("stub.exe") + " -o " + Path("x.exe"),
       1, "selfpatch: no such file or folder: " + Path("nope") + "\n"},
      // NEW lacks a file of OLD: the patch leaves it where it is.
      {"SELFPATCH create " + Path("new") + " " + Path("old") + " --stub " +
           Path("stub.exe") + " -o " + Path("back.exe") + " -q --backup",
       0, "only in OLD, left in place: data/added.txt\n"},
      {"SELFPATCH info --json " + Path("back.exe"), 0, "\"backup\": true"},
      {"SELFPATCH info --json " + p, 0, "\"compressed\": true"},
      {create + Path("plain.exe") + " -q --plain && SELFPATCH info " +
           Path("plain.exe"),
       0, "data blocks: plain\n"},
      {"SELFPATCH info " + p, 0, "applier: x86, PE32 "},
      {"SELFPATCH info " + Path("damaged.exe"), ResultBadDigest,
       "error 5: the patch data is damaged"},
      {"SELFPATCH info " + Path("nothing.exe"), ResultOpenPackage,
       "error 2: cannot open the patch file"},
      {"SELFPATCH verify " + p + " " + target, 0, "the patch would apply"},
      {"SELFPATCH verify " + p + " " + Path("other"), ResultSourceMismatch,
       "error 10: the file to patch is not the one this patch was made for "
       "(パッチ元ファイルが差分元ファイルデータと異なっています。)"},
      {"SELFPATCH apply " + p + " " + Path("other") + " --yes",
       ResultSourceMismatch, "error 10"},
      {"SELFPATCH verify " + p + " " + Path("empty"), ResultNoTempName,
       "is it the program's folder?"},
      {"echo n | SELFPATCH apply " + p + " " + target, 66,
       "not applied; nothing changed"},
      {"SELFPATCH apply " + p + " " + Path("empty") + " --yes",
       ResultNoTempName, "not this folder: none of the files to patch"},
      {"SELFPATCH apply " + Path("stub.exe") + " " + target + " -y",
       ResultPackageTooSmall, "error 3"},
  };
  for (const Case& c : cases) {
    Outcome run = Shell(c.command);
    EXPECT_EQ(c.code, run.code) << c.command << "\n" << run.out;
    EXPECT_TRUE(Has(run.out, c.says)) << c.command << "\n" << run.out;
  }
  EXPECT_FALSE(fs::exists(dir / "same.exe"));
  EXPECT_FALSE(fs::exists(dir / "x.exe"));
  EXPECT_TRUE(fs::is_empty(dir / "empty"));
  EXPECT_EQ(other, Snapshot(dir / "other"));
  EXPECT_EQ(Snapshot(dir / "old"), Snapshot(dir / "target"));

  // Applied, with a line per entry where stderr is not a terminal.
  Outcome applied = Shell("echo y | SELFPATCH apply " + p + " " + target);
  EXPECT_EQ(0, applied.code) << applied.out;
  EXPECT_TRUE(Has(applied.out, "[1/3] patch bin\\app.exe (50.0 KB)\n"))
      << applied.out;
  EXPECT_TRUE(Has(applied.out, "[3/3] add data\\added.txt (5 bytes)\n"));
  EXPECT_EQ(Snapshot(dir / "new"), Snapshot(dir / "target"));
  Outcome again = Shell("SELFPATCH apply " + p + " " + target + " -y");
  EXPECT_EQ(0, again.code);
  EXPECT_EQ("already applied: every file is up to date, nothing changed\n",
            again.out);

  // --allow-empty writes the patch that changes nothing.
  EXPECT_EQ(0, Shell("SELFPATCH create " + Path("old") + " " + Path("old") +
                     " --stub " + Path("stub.exe") + " -q --allow-empty -o " +
                     Path("same.exe"))
                   .code);
}

// info --json is JSON for any package: names as they are, and an error
// object for a package whose names the applier refuses.
TEST_F(Cli, InfoJsonParses) {
  Bytes patch = MakePeImage(false, {0x400});
  Bytes package =
      BuildPackage({DirectoryEntry("\xE6\x97\xA5\xE6\x9C\xAC"),
                    AddEntry("\xE6\x97\xA5\xE6\x9C\xAC\\it's {a}\\u0041.txt",
                             ToBytes("hello")),
                    PatchEntry("bin/app.exe", ToBytes("old"), ToBytes("new"))},
                   PackageFlagBackup);
  Bytes good = patch;
  good.insert(good.end(), package.begin(), package.end());
  WriteAll(dir / "good.exe", good);
  Bytes bad = patch;
  package = BuildPackage({AddEntry("tab\there\x01", ToBytes("x"))});
  bad.insert(bad.end(), package.begin(), package.end());
  WriteAll(dir / "bad.exe", bad);

  const std::string check =
      " | python3 -c 'import json, sys\n"
      "d = json.load(sys.stdin)\n"
      "if \"error\" in d: print(\"error\", d[\"error\"][\"code\"]); "
      "sys.exit()\n"
      "print(d[\"applier\"][\"machine\"], d[\"applier\"][\"form\"], "
      "d[\"flags\"][\"backup\"], d[\"packageSize\"] > 0)\n"
      "for e in d[\"entries\"]:\n"
      "  print(e[\"kind\"], repr(e[\"name\"]), e.get(\"oldSize\"), "
      "e.get(\"newSize\"), e.get(\"newDigest\", \"\")[:8])'";
  Outcome good_run = Shell("SELFPATCH info --json " + Path("good.exe") + check);
  EXPECT_EQ(
      "x86 PE32 True True\n"
      "dir '日本' None None \n"
      "add \"日本\\\\it's {a}\\\\u0041.txt\" None 5 2cf24dba\n"
      "patch 'bin/app.exe' 3 3 11507a0e\n",
      good_run.out);
  Outcome bad_run = Shell("SELFPATCH info --json " + Path("bad.exe") +
                          " 2>/dev/null" + check);
  EXPECT_EQ("error 6\n", bad_run.out);
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
    if (Shell("setpriv --reuid=65534 --regid=65534 --clear-groups true").code)
      GTEST_SKIP() << "cannot run as another user here";
    fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
    as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  Outcome run = Shell(as + create + Path("out/p.exe"));
  EXPECT_EQ(1, run.code);
  EXPECT_TRUE(Has(run.out, "selfpatch: cannot read " + Path("new/secret.dat") +
                               ": Permission denied\n"))
      << run.out;
  EXPECT_TRUE(fs::is_empty(dir / "out"));
}

}  // namespace
