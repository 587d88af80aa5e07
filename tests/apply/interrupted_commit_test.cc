// Kills the applying process at every platform call of a run (a forked
// child running the worker) and checks what the folder holds: no target's
// content is lost, and the next run of the same patch leaves the folder
// fully patched, with nothing of the killed run left behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <sstream>
#include <tuple>

#include "apply/commit_journal.h"
#include "apply/worker_fixture.h"
#include "standin_control.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;
typedef WorkerTest Interrupted;

const Bytes kOldA = ToBytes("library, old");
const Bytes kNewA = ToBytes("library, new and longer");
const Bytes kOldB = ToBytes("program, old");
const Bytes kNewB = ToBytes("program, new");

void ResetFolder(const fs::path& root) {
  ClearFolder(root);
  WriteAll(root / "a.dll", kOldA);
  WriteAll(root / "b.exe", kOldB);
  WriteAll(root / "b.exe.bak", ToBytes("an older backup"));
}

std::vector<TestEntry> Package() {
  return {PatchEntry("a.dll", kOldA, kNewA), AddEntry("c.txt", kNewB),
          PatchEntry("b.exe", kOldB, kNewB)};
}

// Every file's content somewhere in the folder, by name.
std::vector<Bytes> Contents(const fs::path& root) {
  std::vector<Bytes> contents;
  for (const auto& file : Snapshot(root)) contents.push_back(file.second);
  return contents;
}

bool Holds(const std::vector<Bytes>& contents, const Bytes& content) {
  return std::find(contents.begin(), contents.end(), content) != contents.end();
}

// Runs `body` in a forked child that dies at platform call `kill`; the
// child's exit code: 9 when it was killed, 0 when it ran to its end first.
int KillAt(uint64_t kill, const std::function<void()>& body) {
  pid_t child = fork();
  if (child == 0) {
    standin::ResetCalls();
    standin::SetCallObserver([kill](const char*, uint64_t n) {
      if (n == kill) _exit(9);
    });
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `worker` in a child killed at its `n`th rename; as KillAt.
int KillAtRename(CPatchThread& worker, int n) {
  return KillAt(0, [&] {
    int renames = 0;
    standin::SetCallObserver([&](const char* function, uint64_t) {
      if (std::string(function) == "MoveFileW" && ++renames == n) _exit(9);
    });
    worker.Run();
  });
}

// Each target holds its old or its new content; one that is missing has
// one of them under another name.
::testing::AssertionResult NothingLost(const fs::path& root) {
  std::vector<Bytes> contents = Contents(root);
  for (const auto& target : {std::make_tuple("a.dll", kOldA, kNewA),
                             std::make_tuple("b.exe", kOldB, kNewB)}) {
    fs::path path = root / std::get<0>(target);
    bool kept = fs::exists(path) ? ReadAll(path) == std::get<1>(target) ||
                                       ReadAll(path) == std::get<2>(target)
                                 : Holds(contents, std::get<1>(target)) ||
                                       Holds(contents, std::get<2>(target));
    if (kept) continue;
    std::string left;
    for (const auto& file : Snapshot(root)) left += file.first + " ";
    if (fs::exists(root / "selfpatch.journal")) {
      for (char c : ReadAll(root / "selfpatch.journal")) {
        if (c >= 32 || c == '\n' || c == '\t') left += c;
      }
    }
    return ::testing::AssertionFailure()
           << std::get<0>(target) << " lost; the folder holds: " << left;
  }
  return ::testing::AssertionSuccess();
}

void Restore(const fs::path& root,
             const std::vector<std::pair<std::string, Bytes>>& files) {
  ClearFolder(root);
  for (const auto& file : files) {
    if (file.first.back() == '/') {
      fs::create_directories(root / file.first);
    } else {
      WriteAll(root / file.first, file.second);
    }
  }
}

TEST_F(Interrupted, KilledAtEachStepLosesNothingAndTheNextRunFinishes) {
  int points = 0;
  for (uint32_t flags : {0u, PackageFlagBackup}) {
    SCOPED_TRACE(::testing::Message() << "flags " << flags);
    // A clean run counts the platform calls a run makes.
    ResetFolder(app.path());
    Load(Package(), flags);
    standin::ResetCalls();
    ASSERT_EQ(ResultSuccess, worker->Run());
    uint64_t total = standin::CallCount();
    standin::ResetCalls();
    std::vector<std::pair<std::string, Bytes>> patched = Snapshot(app.path());

    for (uint64_t kill = 1; kill <= total; ++kill) {
      SCOPED_TRACE(::testing::Message()
                   << "killed at call " << kill << " of " << total);
      ResetFolder(app.path());
      Load(Package(), flags);
      int status = KillAt(kill, [this] { worker->Run(); });
      ASSERT_NE(-1, status);
      ++points;
      // Whatever the kill left, every old and new content is still there.
      ASSERT_TRUE(NothingLost(app.path()));
      if (status == 9 && Snapshot(app.path()) != patched) {
        // The next run recovers, then applies or reports the patch applied.
        Load(Package(), flags);
        ResultCode again = worker->Run();
        ASSERT_EQ(ResultSuccess, again);
      }
      // A kill between reserving a name and noting it in the journal
      // leaves that one file, empty.
      std::vector<std::pair<std::string, Bytes>> after = Snapshot(app.path());
      auto stray = std::find_if(after.begin(), after.end(), [](const auto& f) {
        return f.first.rfind("ptf", 0) == 0 && f.second.empty();
      });
      if (stray != after.end()) after.erase(stray);
      ASSERT_EQ(patched, after);
    }
  }
  std::cout << "[ interrupted run ] " << points
            << " kill points, each recovered to the patched folder\n";
}

TEST_F(Interrupted, RecoveryKilledAtEachStepIsFinishedByTheRunAfter) {
  const uint32_t flags = PackageFlagBackup;
  ResetFolder(app.path());
  Load(Package(), flags);
  // Runs are cut just before each rename or deletion of the commit: the
  // states between them are the ones recovery has to tell apart.
  uint64_t commit = 0;
  std::vector<uint64_t> cuts;
  standin::ResetCalls();
  standin::SetCallObserver([&](const char* function, uint64_t n) {
    std::string name(function);
    if (commit == 0 && name == "MoveFileW") commit = n;
    if (commit != 0 && (name == "MoveFileW" || name == "DeleteFileW"))
      cuts.push_back(n);
  });
  ASSERT_EQ(ResultSuccess, worker->Run());
  standin::ResetCalls();
  ASSERT_GT(commit, 0u);
  std::vector<std::pair<std::string, Bytes>> patched = Snapshot(app.path());

  int points = 0;
  uint8_t digest[32];
  WString problem;
  RunFolder folder;
  ASSERT_TRUE(folder.Resolve());
  for (uint64_t kill : cuts) {
    ResetFolder(app.path());
    Load(Package(), flags);
    if (KillAt(kill, [this] { worker->Run(); }) != 9 ||
        !fs::exists(app / "selfpatch.journal")) {
      continue;
    }
    std::vector<std::pair<std::string, Bytes>> cut = Snapshot(app.path());
    // The recovery is cut before each call that changes the folder; a cut
    // before a query leaves what a cut before the next change leaves.
    std::vector<uint64_t> changes;
    standin::ResetCalls();
    standin::SetCallObserver([&changes](const char* function, uint64_t n) {
      std::string name(function);
      if (name == "MoveFileW" || name == "DeleteFileW" ||
          name == "SetFileAttributesW") {
        changes.push_back(n);
      }
    });
    RecoverInterruptedCommit(folder, digest, &problem);
    standin::ResetCalls();
    for (uint64_t again : changes) {
      SCOPED_TRACE(::testing::Message() << "run killed at call " << kill
                                        << ", its recovery at " << again);
      Restore(app.path(), cut);
      ASSERT_EQ(9, KillAt(again, [&] {
                  RecoverInterruptedCommit(folder, digest, &problem);
                }));
      ++points;
      ASSERT_TRUE(NothingLost(app.path()));
      Load(Package(), flags);
      ASSERT_EQ(ResultSuccess, worker->Run());
      ASSERT_EQ(patched, Snapshot(app.path()));
    }
  }
  std::cout << "[ interrupted recovery ] " << points
            << " kill points, each finished by the run after\n";
}

TEST_F(Interrupted, ATargetMadeAgainAfterAKillKeepsBothFiles) {
  // Killed once a.dll is aside, before its new file goes in; the program
  // (or another user) then makes a new a.dll. Or killed once the new a.dll
  // is in, and the program saves a.dll anew. Recovery deletes neither: the
  // program's stays and the old one goes beside it under the first free
  // backup name; another user's goes beside it and the old one comes back.
  struct Case {
    const char* what;
    int renames;  // the kill comes at this rename of the commit
    bool theirs;
  };
  for (const Case& c :
       {Case{"the program's", 2, false}, Case{"another user's", 2, true},
        Case{"saved anew by the program", 3, false}}) {
    SCOPED_TRACE(c.what);
    ResetFolder(app.path());
    const Bytes older = ToBytes("an older backup");
    WriteAll(app / "a.dll.bak", older);
    Load(Package(), 0);
    ASSERT_EQ(9, KillAtRename(*worker, c.renames));
    ASSERT_EQ(c.renames == 3, fs::exists(app / "a.dll"));
    const Bytes made = ToBytes("made again");
    fs::remove(app / "a.dll");
    WriteAll(app / "a.dll", made);
    if (c.theirs)
      standin::SetOwner((app / "a.dll").string(), standin::User::kOther);
    EXPECT_EQ(ResultUpdateFailed, Apply(Package()));
    EXPECT_EQ(std::make_pair(ResultCode(ResultUpdateFailed), In("a.dll")),
              ReportedError());
    std::vector<std::pair<std::string, Bytes>> expected = {
        {"a.dll", c.theirs ? kOldA : made},
        {"a.dll.bak", older},
        {"a.dll.bak.1", c.theirs ? made : kOldA},
        {"b.exe", kOldB},
        {"b.exe.bak", older}};
    EXPECT_EQ(expected, Snapshot(app.path()));  // no journal, no temporary
  }
}

TEST_F(Interrupted, ABackupNameTakenAfterAKillDoesNotStopRecovery) {
  // Killed at the commit's first rename: nothing has moved. Another user
  // then makes a.dll.bak, the backup the commit would have made; recovery
  // takes it for that backup, refuses to move it, and fails run after run.
  ResetFolder(app.path());
  Load(Package(), PackageFlagBackup);
  ASSERT_EQ(9, KillAtRename(*worker, 1));
  ASSERT_TRUE(fs::exists(app / "selfpatch.journal"));
  WriteAll(app / "a.dll.bak", ToBytes("made by another user"));
  standin::SetOwner((app / "a.dll.bak").string(), standin::User::kOther);
  Apply(Package(), PackageFlagBackup);
  Apply(Package(), PackageFlagBackup);
  EXPECT_FALSE(fs::exists(app / "selfpatch.journal"));
  EXPECT_EQ(kOldA, ReadAll(app / "a.dll"));
}

// The name a killed run's journal gives, in the step that moves `target`
// onto or off it, to the file moved: the reserved name that step frees.
std::string NameFreedBy(const fs::path& journal, char kind,
                        const std::string& target) {
  std::string text;
  Bytes bytes = ReadAll(journal);
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += char(bytes[i]);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');)
      fields.push_back(field);
    if (fields.size() >= 4 && fields[0] == std::string(1, kind) &&
        fields[2] == target) {
      return fields[3];
    }
  }
  return std::string();
}

TEST_F(Interrupted, AReservedNameTakenAfterAKillDoesNotHideAStep) {
  // Killed once a step has freed a reserved name: c.txt's temporary was
  // moved in; with backups, a.dll's aside became a.dll.bak. Another user
  // then makes a file under the freed name (the journal, readable, names
  // it). Recovery judges the step by the file it left, puts everything
  // back, and the run goes on to apply the patch; their file stays.
  struct Case {
    uint32_t flags;
    int renames;  // the kill comes at this rename of the commit
    char kind;
    const char* target;
  };
  for (const Case& c : {Case{0, 4, 'A', "c.txt"},
                        Case{PackageFlagBackup, 7, 'B', "a.dll.bak"}}) {
    SCOPED_TRACE(c.target);
    ResetFolder(app.path());
    Load(Package(), c.flags);
    ASSERT_EQ(9, KillAtRename(*worker, c.renames));
    std::string freed =
        NameFreedBy(app / "selfpatch.journal", c.kind, c.target);
    ASSERT_FALSE(freed.empty());
    ASSERT_FALSE(fs::exists(app / freed));
    WriteAll(app / freed, ToBytes("made by another user"));
    standin::SetOwner((app / freed).string(), standin::User::kOther);
    EXPECT_EQ(ResultSuccess, Apply(Package(), c.flags));
    EXPECT_FALSE(fs::exists(app / "selfpatch.journal"));
    EXPECT_EQ(kNewA, ReadAll(app / "a.dll"));
    EXPECT_EQ(kNewB, ReadAll(app / "b.exe"));
    EXPECT_EQ(ToBytes("made by another user"), ReadAll(app / freed));
  }
}

TEST_F(Interrupted, AnAddedFileMadeAfterAFailedCommitIsKept) {
  // The commit fails at b.exe and is undone; the run is killed once its
  // temporaries are deleted, before its journal is. The program then makes
  // c.txt, the file the package would have added: recovery must not take it
  // for the added file it undid.
  ResetFolder(app.path());
  Load(Package(), 0);
  ASSERT_EQ(9, KillAt(0, [&] {
              // a.dll aside, its new file in, c.txt in, b.exe aside: fails.
              standin::FailCall("MoveFileW", 4, ERROR_WRITE_FAULT);
              standin::SetCallObserver([&](const char* function, uint64_t) {
                if (std::string(function) != "DeleteFileW") return;
                for (const auto& file : Snapshot(app.path())) {
                  if (file.first.rfind("ptf", 0) == 0) return;
                }
                _exit(9);  // about to delete the journal
              });
              worker->Run();
            }));
  ASSERT_TRUE(fs::exists(app / "selfpatch.journal"));
  ASSERT_FALSE(fs::exists(app / "c.txt"));
  const Bytes made = ToBytes("made by the program");
  WriteAll(app / "c.txt", made);
  Apply(Package());
  EXPECT_TRUE(Holds(Contents(app.path()), made));
  EXPECT_TRUE(NothingLost(app.path()));
}

TEST_F(Interrupted, ARecoveredCommitOfAnotherPackageGoesBackFirst) {
  // A run was killed in its commit once a.dll's new file and c.txt were in
  // place; a different package applied next first puts things back. So
  // does one given the journal an older applier wrote: no digests, its new
  // files known by the temporaries' names they freed. A placed file that
  // cannot be read is no guess: that run fails naming the journal, and the
  // run after finishes.
  struct Case {
    const char* what;
    bool older;
    bool unreadable;
  };
  for (const Case& c : {Case{"this applier's journal", false, false},
                        Case{"an older applier's journal", true, false},
                        Case{"c.txt unreadable once", false, true}}) {
    SCOPED_TRACE(c.what);
    ResetFolder(app.path());
    Load(Package(), 0);
    ASSERT_EQ(9, KillAtRename(*worker, 4));
    ASSERT_EQ(kNewB, ReadAll(app / "c.txt"));
    if (c.older) {
      // Each line cut at its fifth tab, where a digest starts.
      Bytes text = ReadAll(app / "selfpatch.journal"), cut;
      for (size_t i = 0, tabs = 0; i + 1 < text.size(); i += 2) {
        tabs = text[i] == '\n' ? 0 : tabs + (text[i] == '\t');
        if (tabs < 5) cut.insert(cut.end(), {text[i], text[i + 1]});
      }
      ASSERT_LT(cut.size(), text.size());
      WriteAll(app / "selfpatch.journal", cut);
    }
    if (c.unreadable) {
      Load({AddEntry("other.txt", ToBytes("x"))});
      standin::ResetCalls();
      // The first read is the journal's, the second c.txt's.
      standin::FailCall("ReadFile", 2, ERROR_READ_FAULT);
      window.Clear();
      EXPECT_EQ(ResultUpdateFailed, worker->Run());
      window.Pump();
      EXPECT_EQ(std::make_pair(ResultCode(ResultUpdateFailed),
                               app / "selfpatch.journal"),
                ReportedError());
      EXPECT_EQ(kNewB, ReadAll(app / "c.txt"));
      EXPECT_EQ(kOldA, ReadAll(app / "a.dll"));  // the other steps went back
    }
    ASSERT_EQ(ResultSuccess, Apply({AddEntry("other.txt", ToBytes("x"))}));
    EXPECT_EQ(kOldA, ReadAll(app / "a.dll"));
    EXPECT_EQ(kOldB, ReadAll(app / "b.exe"));
    EXPECT_FALSE(fs::exists(app / "c.txt"));
    EXPECT_FALSE(fs::exists(app / "selfpatch.journal"));
    EXPECT_EQ(4u, Snapshot(app.path()).size());  // a, b, b.bak, other.txt
  }
}

}  // namespace
