// Applies one representative package once per platform call the worker
// makes, failing exactly that call. Whatever fails, the folder ends either
// fully patched or exactly as it was, and nothing stray is left.
#include <gtest/gtest.h>

#include <iostream>

#include "apply/worker_fixture.h"
#include "standin_control.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const Bytes kOldA = ToBytes("library version one");
const Bytes kNewA = ToBytes("library version two, with more in it");
const Bytes kOldB = ToBytes("program one");
const Bytes kNewB = ToBytes("program two");

void ResetFolder(const fs::path& root, bool olderBackup) {
  ClearFolder(root);
  WriteAll(root / "a.dll", kOldA);
  WriteAll(root / "ro.exe", kOldB);
  fs::permissions(
      root / "ro.exe",
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
      fs::perm_options::remove);
  if (olderBackup) WriteAll(root / "a.dll.bak", ToBytes("older backup"));
}

std::vector<TestEntry> Package() {
  return {PatchEntry("a.dll", kOldA, kNewA), AddEntry("new.txt", kNewB),
          PatchEntry("ro.exe", kOldB, kNewB), DirectoryEntry("made"),
          AddEntry("made/inner.txt", kNewA)};
}

// The folder without the directory a directory entry may leave behind.
std::vector<std::pair<std::string, Bytes>> WithoutMade(
    std::vector<std::pair<std::string, Bytes>> files) {
  files.erase(std::remove_if(files.begin(), files.end(),
                             [](const std::pair<std::string, Bytes>& file) {
                               return file.first == "made/";
                             }),
              files.end());
  return files;
}

class Faults : public WorkerTest {
 protected:
  // Runs Package() on a fresh folder with the faults `plant` sets; the
  // faults are cleared before it returns.
  ResultCode RunFailing(uint32_t flags, bool olderBackup,
                        const std::function<void()>& plant) {
    ResetFolder(app.path(), olderBackup);
    Load(Package(), flags);
    window.Clear();
    before = Snapshot(app.path());
    standin::ResetCalls();
    plant();
    ResultCode result = worker->Run();
    standin::ResetCalls();
    window.Pump();
    return result;
  }
};

TEST_F(Faults, EveryFailedCallLeavesTheFolderWholeOrUntouched) {
  uint64_t injected = 0;
  // A failure that lasts, and one that a hold on the file gives: the calls
  // on targets and temporaries try again.
  for (DWORD error : {ERROR_WRITE_FAULT, ERROR_SHARING_VIOLATION}) {
    for (uint32_t flags :
         {0u, PackageFlagBackup, PackageFlagBackup | PackageFlagKeepTimes}) {
      for (bool olderBackup : {false, true}) {
        SCOPED_TRACE(::testing::Message()
                     << "error " << error << " flags " << flags
                     << " older backup " << olderBackup);
        ResetFolder(app.path(), olderBackup);
        Load(Package(), flags);
        standin::ResetCalls();
        ASSERT_EQ(ResultSuccess, worker->Run());
        uint64_t calls = standin::CallCount();
        std::vector<std::pair<std::string, Bytes>> patched =
            Snapshot(app.path());

        for (uint64_t ordinal = 1; ordinal <= calls; ++ordinal) {
          std::string failed;
          ResultCode result = RunFailing(flags, olderBackup, [&] {
            standin::SetCallObserver([&](const char* function, uint64_t n) {
              if (n == ordinal) failed = function;
            });
            standin::FailNthCall(ordinal, error);
          });
          ++injected;
          SCOPED_TRACE(::testing::Message() << "call " << ordinal << " ("
                                            << failed << ") gave " << result);
          if (result == ResultSuccess) {
            ASSERT_EQ(patched, Snapshot(app.path()));
            ASSERT_TRUE(window.Messages(WM_PATCH_ERROR).empty());
          } else {
            ASSERT_EQ(WithoutMade(before), WithoutMade(Snapshot(app.path())));
            ASSERT_EQ(result, ReportedError().first);
            ASSERT_TRUE(window.Messages(WM_PATCH_COMPLETE).empty());
          }
        }
      }
    }
  }
  std::cout << "[ fault sweep ] " << injected
            << " single faults injected, all survived\n";
}

// A call that fails the run: the entry it names, its code, the folder as it
// was and the read-only target read-only again.
TEST_F(Faults, AFailedCallNamesItsEntryAndChangesNothing) {
  const struct {
    const char* call;
    uint64_t nth;
    ResultCode code;
    const char* at;  // nullptr: the folder
  } cases[] = {
      // The commit's renames: a.dll aside, a.dll in, new.txt in, ro.exe
      // aside, ro.exe in.
      {"MoveFileW", 5, ResultUpdateFailed, "ro.exe"},
      // The first flush is a.dll's rebuilt file, the second new.txt's.
      {"FlushFileBuffers", 1, ResultUpdateFailed, "a.dll"},
      {"FlushFileBuffers", 2, ResultCreateFailed, "new.txt"},
      // Every file call names its file from the folder's full path, read
      // once at the start: without it there is nowhere to put a temporary.
      {"GetFullPathNameW", 1, ResultNoTempName, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.call << " " << c.nth);
    EXPECT_EQ(c.code, RunFailing(PackageFlagBackup, true, [&] {
                standin::FailCall(c.call, c.nth, ERROR_WRITE_FAULT);
              }));
    EXPECT_EQ(std::make_pair(c.code, c.at ? In(c.at) : app.path()),
              ReportedError());
    EXPECT_FALSE(Completed());
    EXPECT_EQ(WithoutMade(before), WithoutMade(Snapshot(app.path())));
    EXPECT_TRUE(GetFileAttributesW(Wide(In("ro.exe")).c_str()) &
                FILE_ATTRIBUTE_READONLY);
  }
}

TEST_F(Faults, NewFilesAreFlushedBeforeTheMarkAndTheMarkBeforeAnyDeletion) {
  // What a power loss keeps is what was flushed: every file moved onto a
  // target was flushed before the first rename, and the journal after the
  // last rename and before the first deletion. And no rename counts on a
  // name it deleted being free again.
  ResetFolder(app.path(), true);
  Load(Package(), PackageFlagBackup);
  standin::ResetCalls();
  ASSERT_EQ(ResultSuccess, worker->Run());
  std::vector<standin::FileCall> calls = standin::FileCalls();
  standin::ResetCalls();
  auto name = [](const std::string& path) {
    return fs::path(path).filename().string();
  };
  // The first rename, the last, and the first deletion of a file moved
  // aside (the older backup).
  size_t firstMove = calls.size(), lastMove = 0, firstDelete = calls.size();
  std::vector<std::string> aside;
  size_t placed = 0;
  std::vector<std::string> deleted;
  for (size_t i = 0; i < calls.size(); ++i) {
    const std::string from = name(calls[i].path), to = name(calls[i].newPath);
    if (calls[i].function == "DeleteFileW") deleted.push_back(from);
    if (calls[i].function == "DeleteFileW" && firstDelete == calls.size() &&
        std::find(aside.begin(), aside.end(), from) != aside.end()) {
      firstDelete = i;
    }
    if (calls[i].function != "MoveFileW") continue;
    EXPECT_EQ(deleted.end(), std::find(deleted.begin(), deleted.end(), to))
        << to;
    firstMove = std::min(firstMove, i);
    lastMove = i;
    if (from.rfind("ptf", 0) != 0) aside.push_back(to);
    if (from.rfind("ptf", 0) != 0 || to.rfind("ptf", 0) == 0 ||
        to.find(".bak") != std::string::npos) {
      continue;
    }
    // A temporary onto a target: a new file, flushed before any rename.
    bool flushed = false;
    for (size_t j = 0; j < firstMove; ++j) {
      flushed = flushed || (calls[j].function == "FlushFileBuffers" &&
                            name(calls[j].path) == from);
    }
    EXPECT_TRUE(flushed) << calls[i].path << " -> " << calls[i].newPath;
    ++placed;
  }
  EXPECT_EQ(4u, placed);  // a.dll, new.txt, ro.exe, made/inner.txt
  ASSERT_LT(lastMove, firstDelete);
  ASSERT_LT(firstDelete, calls.size());
  bool marked = false;
  for (size_t i = lastMove; i < firstDelete; ++i) {
    marked = marked || (calls[i].function == "FlushFileBuffers" &&
                        name(calls[i].path) == "selfpatch.journal");
  }
  EXPECT_TRUE(marked);
}

TEST_F(Faults, AnOldFileThatWillNotGoIsDeletedAtTheNextStart) {
  // Once the commit is complete, a.dll's old file will not go: it is a
  // running program's image. Scheduling its deletion may fail too; then
  // the next run deletes it.
  ResetFolder(app.path(), false);
  Load(Package(), 0);
  standin::ResetCalls();
  ASSERT_EQ(ResultSuccess, worker->Run());
  // The last deletions: a.dll's old file, ro.exe's, the journal.
  const uint64_t deletions = standin::CallCount("DeleteFileW");
  for (bool scheduled : {true, false}) {
    SCOPED_TRACE(scheduled);
    ResetFolder(app.path(), false);
    Load(Package(), 0);
    window.Clear();
    standin::ResetCalls();
    standin::FailCall("DeleteFileW", deletions - 2, ERROR_WRITE_FAULT);
    standin::FailCall("DeleteFileW", deletions - 1, ERROR_WRITE_FAULT);
    if (!scheduled) standin::FailCall("MoveFileExW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ResultSuccess, worker->Run());
    std::vector<std::string> pending = standin::ScheduledDeletions();
    standin::ResetCalls();
    window.Pump();
    EXPECT_TRUE(Completed());
    EXPECT_EQ(kNewA, ReadAll(In("a.dll")));
    EXPECT_EQ(scheduled, !fs::exists(In("selfpatch.journal")));
    ASSERT_EQ(scheduled ? 1u : 0u, pending.size());
    if (scheduled) {
      EXPECT_EQ(kOldA, ReadAll(pending[0]));
      EXPECT_EQ(app.path(), fs::path(pending[0]).parent_path());
    }
    // The next patch of the folder runs.
    EXPECT_EQ(ResultSuccess, Apply({PatchEntry("a.dll", kNewA, kOldA)}));
    EXPECT_EQ(kOldA, ReadAll(In("a.dll")));
    EXPECT_FALSE(fs::exists(In("selfpatch.journal")));
    size_t temporaries = 0;
    for (const auto& file : Snapshot(app.path()))
      temporaries += file.first.rfind("ptf", 0) == 0;
    EXPECT_EQ(scheduled ? 1u : 0u, temporaries);  // until the next start
  }
}

TEST_F(Faults, ATakenTemporaryNameIsPassedOver) {
  // From the open that creates the temporary on, every name tried is taken,
  // as by files planted in the folder: the run ends with 7 and leaves
  // nothing. Only the first name taken, the next one is used. Which open
  // that is depends on the folders the run looks at first: the first one
  // whose failures end the run so.
  auto run = [&](int first, int taken) {
    ClearFolder(app.path());
    Load({AddEntry("new.txt", kNewB)});
    window.Clear();
    before = Snapshot(app.path());
    standin::ResetCalls();
    for (int n = 0; n < taken; ++n)
      standin::FailCall("CreateFileW", first + n, ERROR_FILE_EXISTS);
    ResultCode result = worker->Run();
    standin::ResetCalls();
    window.Pump();
    return result;
  };
  int first = 1;
  while (first < 16 && (run(first, 64) != ResultNoTempName ||
                        ReportedError().second != In("new.txt"))) {
    ++first;
  }
  ASSERT_LT(first, 16);
  EXPECT_TRUE(Unchanged());  // no temporary, no journal
  EXPECT_EQ(ResultSuccess, run(first, 1));
  EXPECT_EQ(kNewB, ReadAll(In("new.txt")));
}

TEST_F(Faults, AnUndoThatFailsIsFinishedByTheNextRun) {
  ResetFolder(app.path(), true);
  ASSERT_EQ(ResultSuccess, Apply(Package(), PackageFlagBackup));
  std::vector<std::pair<std::string, Bytes>> patched = Snapshot(app.path());
  // ro.exe cannot go in, and then cannot come back from aside.
  EXPECT_EQ(ResultUpdateFailed, RunFailing(PackageFlagBackup, true, [] {
              standin::FailCall("MoveFileW", 5, ERROR_WRITE_FAULT);
              standin::FailCall("MoveFileW", 6, ERROR_WRITE_FAULT);
            }));
  EXPECT_FALSE(fs::exists(In("ro.exe")));
  ASSERT_TRUE(fs::exists(In("selfpatch.journal")));  // says where it is
  // The next run cannot bring ro.exe back either: the journal stays.
  Load(Package(), PackageFlagBackup);
  standin::ResetCalls();
  standin::FailCall("MoveFileW", 1, ERROR_WRITE_FAULT);
  EXPECT_EQ(ResultUpdateFailed, worker->Run());
  standin::ResetCalls();
  EXPECT_FALSE(fs::exists(In("ro.exe")));
  ASSERT_TRUE(fs::exists(In("selfpatch.journal")));

  EXPECT_EQ(ResultSuccess, Apply(Package(), PackageFlagBackup));
  EXPECT_EQ(patched, Snapshot(app.path()));
}

TEST_F(Faults, AFolderWhereAFileIsToBePatchedFailsAtOnce) {
  // Access refused to a folder lasts: it is no hold to wait out.
  ClearFolder(app.path());
  fs::create_directory(In("app.exe"));
  Load({PatchEntry("app.exe", kOldB, kNewB)});
  window.Clear();
  before = Snapshot(app.path());
  standin::ResetCalls();
  EXPECT_EQ(ResultOpenSource, worker->Run());
  EXPECT_GT(10u, standin::CallCount("CreateFileW"));  // not tried again
  standin::ResetCalls();
  window.Pump();
  EXPECT_EQ(std::make_pair(ResultCode(ResultOpenSource), In("app.exe")),
            ReportedError());
  EXPECT_TRUE(Unchanged());
}

TEST_F(Faults, LoaderCannotOpenThePackage) {
  Bytes exe = BaseExecutable();
  Bytes package = BuildPackage({});
  exe.insert(exe.end(), package.begin(), package.end());
  WriteAll(tools / "patch.exe", exe);
  TestModule module(tools / "patch.exe");
  PackageLoader loader(module.handle());
  // The image end is computed through a handle of its own; the second open
  // is the loader's.
  standin::ResetCalls();
  standin::FailCall("CreateFileW", 2, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(ResultOpenPackage, loader.Load());
  standin::ResetCalls();
}

}  // namespace
