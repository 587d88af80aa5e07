// Kills the applying process at every platform call of a run (a forked
// child running the worker) and checks what the folder holds: no target's
// content is lost, and the next run of the same patch leaves the folder
// fully patched, with nothing of the killed run left behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <sstream>
#include <tuple>

#include "apply/commit_fixture.h"
#include "apply/commit_journal.h"

namespace {

using namespace testing_support;
typedef CommitTest Interrupted;

const Bytes kLib = ToBytes("library, version 1");
const Bytes kData = ToBytes("data only the old version has");

// With `removals`, also the old version's files of WithRemovals().
void ResetFolder(const fs::path& root, bool removals = false) {
  ClearFolder(root);
  WriteAll(root / "a.dll", kOld);
  WriteAll(root / "b.exe", kOldB);
  WriteAll(root / "b.exe.bak", ToBytes("an older backup"));
  if (!removals) return;
  WriteAll(root / "lib-1.dll", kLib);
  fs::create_directory(root / "old");
  WriteAll(root / "old" / "data.bin", kData);
}

std::vector<TestEntry> Package() {
  return {PatchEntry("a.dll", kOld, kNew), AddEntry("c.txt", kNewB),
          PatchEntry("b.exe", kOldB, kNewB)};
}

// With every step of a removal too (PackageFlagRemovals): a renamed
// library rebuilt from its old self, which goes, and a folder that goes
// with its file.
std::vector<TestEntry> WithRemovals() {
  std::vector<TestEntry> entries = Package();
  for (const TestEntry& entry :
       {SourcedEntry("lib-2.dll", "lib-1.dll", kLib, kNew),
        RemoveEntry("lib-1.dll", kLib), RemoveEntry("old\\data.bin", kData),
        RemoveDirectoryEntry("old")}) {
    entries.push_back(entry);
  }
  return entries;
}

// Whether some file in the folder holds `content`.
bool Holds(const fs::path& root, const Bytes& content) {
  for (const auto& file : Snapshot(root))
    if (file.second == content) return true;
  return false;
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
    AtCall("MoveFileW", n, [] { _exit(9); });
    worker.Run();
  });
}

// Each target holds its old or its new content; one that is missing has
// one of them under another name. With `removals`, a file to remove may be
// gone only once the commit is complete, when every target has its new
// content.
::testing::AssertionResult NothingLost(const fs::path& root,
                                       bool removals = false) {
  for (const auto& target : {std::make_tuple("a.dll", kOld, kNew),
                             std::make_tuple("b.exe", kOldB, kNewB)}) {
    const Bytes old = std::get<1>(target), now = std::get<2>(target);
    const fs::path path = root / std::get<0>(target);
    if (fs::exists(path) ? ReadAll(path) != old && ReadAll(path) != now
                         : !Holds(root, old) && !Holds(root, now))
      return ::testing::AssertionFailure() << std::get<0>(target) << " lost";
  }
  const bool complete =
      fs::exists(root / "a.dll") && ReadAll(root / "a.dll") == kNew &&
      fs::exists(root / "b.exe") && ReadAll(root / "b.exe") == kNewB;
  for (const Bytes& removed : {kLib, kData}) {
    if (removals && !complete && !Holds(root, removed))
      return ::testing::AssertionFailure() << "a removed file lost early";
  }
  return ::testing::AssertionSuccess();
}

TEST_F(Interrupted, KilledAtEachStepLosesNothingAndTheNextRunFinishes) {
  int points = 0;
  for (uint32_t flags :
       {PackageFlagRemovals, PackageFlagRemovals | PackageFlagBackup}) {
    SCOPED_TRACE(::testing::Message() << "flags " << flags);
    // A clean run counts the platform calls a run makes.
    ResetFolder(app.path(), true);
    Load(WithRemovals(), flags);
    standin::ResetCalls();
    ASSERT_EQ(ResultSuccess, worker->Run());
    uint64_t total = standin::CallCount();
    Files patched = Snapshot(app.path());

    for (uint64_t kill = 1; kill <= total; ++kill) {
      SCOPED_TRACE(::testing::Message()
                   << "killed at call " << kill << " of " << total);
      ResetFolder(app.path(), true);
      Load(WithRemovals(), flags);
      int status = KillAt(kill, [this] { worker->Run(); });
      ASSERT_NE(-1, status);
      ++points;
      // Whatever the kill left, every old and new content is still there.
      ASSERT_TRUE(NothingLost(app.path(), true));
      if (status == 9 && Snapshot(app.path()) != patched) {
        // The next run recovers, then applies or reports the patch applied.
        Load(WithRemovals(), flags);
        ASSERT_EQ(ResultSuccess, worker->Run());
      }
      // A kill between reserving a name and noting it in the journal
      // leaves that one file, empty.
      Files after = Snapshot(app.path());
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
  const uint32_t flags = PackageFlagBackup | PackageFlagRemovals;
  ResetFolder(app.path(), true);
  // Runs are cut just before each rename or deletion of the commit, and
  // their recoveries before each call that changes the folder: the states
  // between them are the ones recovery has to tell apart. (A cut before a
  // query leaves what a cut before the next change leaves.)
  std::vector<uint64_t> cuts;
  // Notes the ordinals of the calls of `changes`: with `fromFirst`, from
  // the first call of changes[0] on.
  auto note = [&cuts](std::vector<std::string> changes, bool fromFirst) {
    cuts.clear();
    standin::SetCallObserver([=, &cuts](const char* function, uint64_t n) {
      if (std::count(changes.begin(), changes.end(), function) &&
          (!fromFirst || !cuts.empty() || function == changes[0]))
        cuts.push_back(n);
    });
  };
  ASSERT_EQ(ResultSuccess, Apply(WithRemovals(), flags, [&] {
              note({"MoveFileW", "DeleteFileW", "RemoveDirectoryW"}, true);
            }));
  const std::vector<uint64_t> commit = cuts;
  ASSERT_FALSE(commit.empty());
  Files patched = Snapshot(app.path());

  int points = 0;
  uint8_t digest[32];
  WString problem;
  RunFolder folder;
  ASSERT_TRUE(folder.Resolve());
  for (uint64_t kill : commit) {
    ResetFolder(app.path(), true);
    Load(WithRemovals(), flags);
    if (KillAt(kill, [this] { worker->Run(); }) != 9 ||
        !fs::exists(app / "selfpatch.journal")) {
      continue;
    }
    Files cut = Snapshot(app.path());
    standin::ResetCalls();
    note({"MoveFileW", "DeleteFileW", "SetFileAttributesW", "RemoveDirectoryW"},
         false);
    RecoverInterruptedCommit(folder, digest, &problem);
    ClearFaults();
    const std::vector<uint64_t> changes = cuts;
    for (uint64_t again : changes) {
      SCOPED_TRACE(::testing::Message() << "run killed at call " << kill
                                        << ", its recovery at " << again);
      ClearFolder(app.path());
      for (const auto& file : cut) {
        if (file.first.back() == '/')
          fs::create_directories(app / file.first);
        else
          WriteAll(app / file.first, file.second);
      }
      ASSERT_EQ(9, KillAt(again, [&] {
                  RecoverInterruptedCommit(folder, digest, &problem);
                }));
      ++points;
      ASSERT_TRUE(NothingLost(app.path(), true));
      ASSERT_EQ(ResultSuccess, Apply(WithRemovals(), flags));
      ASSERT_EQ(patched, Snapshot(app.path()));
    }
  }
  std::cout << "[ interrupted recovery ] " << points
            << " kill points, each finished by the run after\n";
}

TEST_F(Interrupted, AFileMadeAfterAKillIsKeptAndNoStepHidden) {
  // Killed in the commit; the program or another user then makes a file
  // under a name the journal holds: a.dll, once the old one is aside,
  // before or after its new file went in; the name a step freed, c.txt's
  // temporary moved in or, with backups, a.dll's aside made a.dll.bak (the
  // journal, readable, names it); a.dll.bak, the backup the commit was to
  // make. Recovery judges each step by the file it left and deletes
  // nothing made since: the program's a.dll stays and the old one goes
  // beside it under the first free backup name; another user's goes beside
  // it and the old one comes back. The run goes on where it may.
  struct Case {
    uint32_t flags;
    int renames;  // the kill comes at this rename of the commit
    char kind;    // the journal line that frees the name; 0: it is `name`
    const char* name;
    bool theirs;
    ResultCode result;
    const char* keptAt;  // the made file's name at the end; nullptr: `name`
  };
  const Case cases[] = {
      {0, 2, 0, "a.dll", false, ResultUpdateFailed, nullptr},
      {0, 2, 0, "a.dll", true, ResultUpdateFailed, "a.dll.bak.1"},
      {0, 3, 0, "a.dll", false, ResultUpdateFailed, nullptr},
      {0, 4, 'A', "c.txt", true, ResultSuccess, nullptr},
      {PackageFlagBackup, 7, 'B', "a.dll.bak", true, ResultSuccess, nullptr},
      {PackageFlagBackup, 1, 0, "a.dll.bak", true, ResultLinkOnPath, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.name << " " << c.renames);
    ResetFolder(app.path());
    if (!c.flags) WriteAll(app / "a.dll.bak", ToBytes("an older backup"));
    Load(Package(), c.flags);
    ASSERT_EQ(9, KillAtRename(*worker, c.renames));
    std::string name = c.name, journal;
    if (c.kind) {
      // The step's line: kind, attributes, target, the name it freed.
      for (uint8_t byte : ReadAll(app / "selfpatch.journal"))
        if (byte) journal += char(byte);
      const std::string field = std::string("\t") + c.name + "\t";
      std::istringstream lines(journal);
      for (std::string line; std::getline(lines, line);) {
        if (line[0] == c.kind && line.find(field) != std::string::npos)
          name = line.substr(line.find(field) + field.size());
      }
      name = name.substr(0, name.find('\t'));
      ASSERT_NE(c.name, name);
    }
    fs::remove(app / name);
    WriteAll(app / name, kPlanted);
    if (c.theirs) Theirs(app / name);
    EXPECT_EQ(c.result, Apply(Package(), c.flags));
    if (c.result != ResultSuccess) {
      EXPECT_EQ(std::make_pair(c.result, In(name)), ReportedError());
    }
    EXPECT_EQ(kPlanted, ReadAll(app / (c.keptAt ? c.keptAt : name)));
    // The old a.dll back in place, or beside the program's.
    EXPECT_TRUE(Holds(app.path(), kOld) || Holds(app.path(), kNew));
    EXPECT_EQ(c.result == ResultSuccess ? kNewB : kOldB, ReadAll(In("b.exe")));
    for (const auto& file : Snapshot(app.path())) {
      EXPECT_TRUE(file.first == name || file.first.rfind("ptf", 0) != 0)
          << file.first;  // no temporary but theirs
    }
    EXPECT_FALSE(fs::exists(app / "selfpatch.journal"));
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
                for (const auto& file : Snapshot(app.path()))
                  if (file.first.rfind("ptf", 0) == 0) return;
                _exit(9);  // about to delete the journal
              });
              worker->Run();
            }));
  ASSERT_TRUE(fs::exists(app / "selfpatch.journal"));
  ASSERT_FALSE(fs::exists(app / "c.txt"));
  const Bytes made = ToBytes("made by the program");
  WriteAll(app / "c.txt", made);
  Apply(Package());
  EXPECT_TRUE(Holds(app.path(), made));
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
  const std::vector<TestEntry> other = {AddEntry("other.txt", ToBytes("x"))};
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
      // The first read is the journal's, the second c.txt's.
      EXPECT_EQ(ResultUpdateFailed, Apply(other, 0, [] {
                  standin::FailCall("ReadFile", 2, ERROR_READ_FAULT);
                }));
      EXPECT_EQ(std::make_pair(ResultCode(ResultUpdateFailed),
                               app / "selfpatch.journal"),
                ReportedError());
      EXPECT_EQ(kNewB, ReadAll(app / "c.txt"));
      EXPECT_EQ(kOld, ReadAll(app / "a.dll"));  // the other steps went back
    }
    ASSERT_EQ(ResultSuccess, Apply(other));
    EXPECT_EQ(kOld, ReadAll(app / "a.dll"));
    EXPECT_EQ(kOldB, ReadAll(app / "b.exe"));
    EXPECT_FALSE(fs::exists(app / "c.txt"));
    EXPECT_FALSE(fs::exists(app / "selfpatch.journal"));
    EXPECT_EQ(4u, Snapshot(app.path()).size());  // a, b, b.bak, other.txt
  }
}

}  // namespace
