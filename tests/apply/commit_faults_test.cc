// Applies one representative package once per platform call the worker
// makes, failing exactly that call. Whatever fails, the folder ends either
// fully patched or exactly as it was, and nothing stray is left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>

#include "apply/commit_fixture.h"

namespace {

using namespace testing_support;

const Bytes kLib = ToBytes("library, version 1");
const Bytes kData = ToBytes("data only the old version has");

// The seeking entry of Package() needs the entry options.
constexpr uint32_t kBackup = PackageFlagBackup | PackageFlagEntryOptions;

// One patched file in the seeking form, the other in the original form.
std::vector<TestEntry> Package() {
  return {SeekingEntry("a.dll", {}, kTransformNone, false),
          AddEntry("new.txt", kNewB), PatchEntry("ro.exe", kOldB, kNewB),
          DirectoryEntry("made"), AddEntry("made/inner.txt", kNew)};
}

// With every step of a removal too: a renamed library rebuilt from its
// old self, which goes, and a folder that goes with its file.
std::vector<TestEntry> WithRemovals() {
  std::vector<TestEntry> entries = Package();
  for (const TestEntry& entry :
       {SourcedEntry("lib-2.dll", "lib-1.dll", kLib, kNewB),
        RemoveEntry("lib-1.dll", kLib), RemoveEntry("old\\data.bin", kData),
        RemoveDirectoryEntry("old")}) {
    entries.push_back(entry);
  }
  return entries;
}

// Under qemu (the i386 run) failing every call with each of the three
// errors is most of the suite's time: SELFPATCH_SWEEP_SHARE=N (2 or 3)
// fails each call with one error in N, a different one from call to call,
// so that every call still fails with some error. 1, the default, is the
// whole sweep.
uint64_t SweepShare() {
  const char* share = std::getenv("SELFPATCH_SWEEP_SHARE");
  return share == nullptr ? 1 : std::min(std::max(std::atoi(share), 1), 3);
}

class Faults : public CommitTest {
 protected:
  void ResetFolder(bool olderBackup) {
    ClearFolder(app.path());
    WriteAll(In("a.dll"), kOld);
    WriteAll(In("ro.exe"), kOldB);
    ReadOnly(In("ro.exe"));
    WriteAll(In("lib-1.dll"), kLib);
    fs::create_directory(In("old"));
    WriteAll(In("old/data.bin"), kData);
    if (olderBackup) WriteAll(In("a.dll.bak"), ToBytes("older backup"));
  }
  // Runs `package` on a fresh folder with the faults `plant` sets.
  ResultCode RunFailing(uint32_t flags, bool olderBackup,
                        const std::function<void()>& plant,
                        const std::vector<TestEntry>& package = Package()) {
    ResetFolder(olderBackup);
    return Apply(package, flags | PackageFlagEntryOptions, plant);
  }
};

TEST_F(Faults, EveryFailedCallLeavesTheFolderWholeOrUntouched) {
  const uint64_t share = SweepShare();
  uint64_t injected = 0;
  for (uint32_t flags :
       {PackageFlagRemovals, PackageFlagRemovals | PackageFlagBackup,
        PackageFlagRemovals | PackageFlagBackup | PackageFlagKeepTimes}) {
    for (bool olderBackup : {false, true}) {
      uint64_t calls = 0;
      ASSERT_EQ(ResultSuccess,
                RunFailing(
                    flags, olderBackup,
                    [&] {
                      standin::SetCallObserver(
                          [&](const char*, uint64_t n) { calls = n; });
                    },
                    WithRemovals()));
      Files patched = Snapshot(app.path());
      // A failure that lasts, and the two errors a hold on a file gives: the
      // calls on targets and temporaries wait out either hold alike, so a
      // run survives more holds than lasting failures.
      std::map<DWORD, std::set<uint64_t>> survived;
      const DWORD errors[] = {ERROR_WRITE_FAULT, ERROR_SHARING_VIOLATION,
                              ERROR_LOCK_VIOLATION};
      for (uint64_t kind = 0; kind < 3; ++kind) {
        const DWORD error = errors[kind];
        SCOPED_TRACE(::testing::Message()
                     << "error " << error << " flags " << flags
                     << " older backup " << olderBackup);
        for (uint64_t ordinal = 1; ordinal <= calls; ++ordinal) {
          if ((ordinal + kind) % share != 0) continue;
          std::string failed;
          ResultCode result = RunFailing(
              flags, olderBackup,
              [&] {
                standin::SetCallObserver([&](const char* function, uint64_t n) {
                  if (n == ordinal) failed = function;
                });
                standin::FailNthCall(ordinal, error);
              },
              WithRemovals());
          ++injected;
          SCOPED_TRACE(::testing::Message() << "call " << ordinal << " ("
                                            << failed << ") gave " << result);
          if (result == ResultSuccess) {
            survived[error].insert(ordinal);
            // But for the removed folder, which a failed removal keeps.
            Files after = Snapshot(app.path());
            if (patched.size() + 1 == after.size()) {
              after.erase(std::remove(after.begin(), after.end(),
                                      Files::value_type("old/", {})),
                          after.end());
            }
            ASSERT_EQ(patched, after);
            ASSERT_TRUE(window.Messages(WM_PATCH_ERROR).empty());
          } else {
            // But for the folder a directory entry may leave behind.
            Files after = Snapshot(app.path());
            after.erase(std::remove(after.begin(), after.end(),
                                    Files::value_type("made/", {})),
                        after.end());
            ASSERT_EQ(before, after);
            ASSERT_EQ(result, ReportedError().first);
            ASSERT_FALSE(Completed());
          }
        }
      }
      if (share > 1) continue;
      EXPECT_EQ(survived[ERROR_SHARING_VIOLATION],
                survived[ERROR_LOCK_VIOLATION]);
      EXPECT_LT(survived[ERROR_WRITE_FAULT].size(),
                survived[ERROR_SHARING_VIOLATION].size());
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
    ResetFolder(true);
    ExpectFailure(Package(), kBackup, c.code, c.at ? In(c.at) : app.path(),
                  [&] { standin::FailCall(c.call, c.nth, ERROR_WRITE_FAULT); });
    EXPECT_TRUE(GetFileAttributesW(Wide(In("ro.exe")).c_str()) &
                FILE_ATTRIBUTE_READONLY);
  }
}

// A large new file goes to disk on a thread while it is read back through a
// second handle: a flush that fails fails its entry as a small file's does,
// and a second handle refused only costs the overlap.
TEST_F(Faults, ALargeFileFlushedAsideFailsOrFallsBackAsASmallOne) {
  std::mt19937 random(27);
  const Bytes old = RandomBytes(random, (1 << 20) + 4096);
  Bytes target = old;
  target[4000] ^= 1;
  const std::vector<TestEntry> package = {PatchEntry("big.dll", old, target),
                                          AddEntry("big.dat", target)};
  for (int nth : {1, 2}) {
    Put({{"big.dll", old}});
    ExpectFailure(
        package, 0, nth == 1 ? ResultUpdateFailed : ResultCreateFailed,
        In(nth == 1 ? "big.dll" : "big.dat"),
        [&] { standin::FailCall("FlushFileBuffers", nth, ERROR_WRITE_FAULT); });
  }
  // Each file is flushed, with its second handle or without.
  std::map<std::string, int> counted[2];
  for (int refused : {0, 1}) {
    Put({{"big.dll", old}});
    ASSERT_EQ(ResultSuccess, Apply(package, 0, [&] {
                if (refused)
                  standin::FailCall("ReOpenFile", 1, ERROR_SHARING_VIOLATION);
                standin::SetCallObserver([&](const char* function, uint64_t) {
                  ++counted[refused][function];
                });
              }));
    const Files expected = {{"big.dat", target}, {"big.dll", target}};
    EXPECT_EQ(expected, Snapshot(app.path()));
  }
  EXPECT_EQ(2, counted[1]["ReOpenFile"]);
  EXPECT_EQ(counted[0]["FlushFileBuffers"], counted[1]["FlushFileBuffers"]);
  // Kept times reach the disk with the file's flush.
  Put({{"big.dll", old}});
  Load(package, PackageFlagKeepTimes);
  standin::ResetCalls();
  ASSERT_EQ(ResultSuccess, worker->Run());
  std::string timed;
  bool flushed = false;
  for (const standin::FileCall& call : standin::FileCalls()) {
    if (call.function == "SetFileTime" && timed.empty()) timed = call.path;
    if (call.function == "FlushFileBuffers" && call.path == timed)
      flushed = true;
  }
  EXPECT_EQ("ptf", fs::path(timed).filename().string().substr(0, 3));
  EXPECT_TRUE(flushed);
}

// A second handle of a file obeys the sharing of every handle open on it,
// and has its own access and its own position.
TEST(StandIn, AFileReopenedKeepsItsSharingAndItsOwnPosition) {
  ScratchDir folder;
  const WString name = Wide(folder / "f.bin");
  HANDLE file =
      CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, "abcdef", 6, &done, nullptr));
  // The first handle writes and shares reading only.
  for (DWORD share : {DWORD{FILE_SHARE_READ}, DWORD{0}}) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, ReOpenFile(file, GENERIC_READ, share, 0));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
  }
  EXPECT_EQ(
      INVALID_HANDLE_VALUE,
      ReOpenFile(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
  EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            ReOpenFile(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

  HANDLE again =
      ReOpenFile(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, again);
  // Now nobody else may write: neither does the first handle share writing,
  // nor the second.
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(name.c_str(), GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  char read[8] = {};
  ASSERT_TRUE(ReadFile(again, read, sizeof read, &done, nullptr));
  EXPECT_EQ("abcdef", std::string(read, done));
  EXPECT_FALSE(WriteFile(again, "x", 1, &done, nullptr));
  CloseHandle(again);
  CloseHandle(file);
}

TEST_F(Faults, AccessRefusedIsWaitedOutOnAFileOnly) {
  // Access refused to a folder lasts: it is no hold to wait out.
  fs::create_directory(In("app.exe"));
  bool again = false;
  ExpectFailure({PatchEntry("app.exe", kOldB, kNewB)}, 0, ResultOpenSource,
                In("app.exe"),
                [&] { AtCall("CreateFileW", 10, [&] { again = true; }); });
  EXPECT_FALSE(again);  // not tried again and again
  // Refused to a file, as a scanner's hold refuses it, it is waited out.
  fs::remove(In("app.exe"));
  WriteAll(In("app.exe"), kOldB);
  EXPECT_EQ(ResultSuccess, Apply({PatchEntry("app.exe", kOldB, kNewB)}, 0, [] {
              standin::FailCall("MoveFileW", 1, ERROR_ACCESS_DENIED);
            }));
}

TEST_F(Faults, NewFilesAreFlushedBeforeTheMarkAndTheMarkBeforeAnyDeletion) {
  // What a power loss keeps is what was flushed: every file moved onto a
  // target and the journal's plan (without it, targets moved aside stay
  // under names no run knows) were flushed before the first rename, and the
  // journal again after the last rename and before the first deletion of a
  // file moved aside (the older backup). And no rename counts on a name it
  // deleted being free again.
  ResetFolder(true);
  Load(Package(), kBackup);
  standin::ResetCalls();
  ASSERT_EQ(ResultSuccess, worker->Run());
  const std::vector<standin::FileCall> calls = standin::FileCalls();
  auto name = [](const std::string& path) {
    return fs::path(path).filename().string();
  };
  auto flushed = [&](size_t begin, size_t end, const std::string& file) {
    for (size_t i = begin; i < end; ++i) {
      if (calls[i].function == "FlushFileBuffers" &&
          name(calls[i].path) == file)
        return true;
    }
    return false;
  };
  size_t firstMove = calls.size(), lastMove = 0, firstDelete = calls.size();
  std::set<std::string> aside, deleted, placed;
  for (size_t i = 0; i < calls.size(); ++i) {
    const std::string from = name(calls[i].path), to = name(calls[i].newPath);
    if (calls[i].function == "DeleteFileW") {
      deleted.insert(from);
      if (aside.count(from)) firstDelete = std::min(firstDelete, i);
    }
    if (calls[i].function != "MoveFileW") continue;
    EXPECT_EQ(0u, deleted.count(to)) << to;
    firstMove = std::min(firstMove, i);
    lastMove = i;
    if (from.rfind("ptf", 0) != 0) aside.insert(to);
    // A temporary onto a target: a new file, flushed before any rename.
    if (from.rfind("ptf", 0) == 0 && to.rfind("ptf", 0) != 0 &&
        to.find(".bak") == std::string::npos) {
      EXPECT_TRUE(flushed(0, firstMove, from)) << from << " -> " << to;
      placed.insert(to);
    }
  }
  EXPECT_EQ(4u, placed.size());  // a.dll, new.txt, ro.exe, made/inner.txt
  EXPECT_TRUE(flushed(0, firstMove, "selfpatch.journal"));
  ASSERT_LT(lastMove, firstDelete);
  ASSERT_LT(firstDelete, calls.size());
  EXPECT_TRUE(flushed(lastMove, firstDelete, "selfpatch.journal"));
}

TEST_F(Faults, AnOldFileThatWillNotGoIsDeletedAtTheNextStart) {
  // Once the commit is complete, a.dll's old file will not go: it is a
  // running program's image. Scheduling its deletion may fail too; then
  // the next run deletes it.
  uint64_t deletions = 0;
  ASSERT_EQ(ResultSuccess, RunFailing(0, false, [&] {
              standin::SetCallObserver([&](const char* function, uint64_t) {
                deletions += std::string(function) == "DeleteFileW";
              });
            }));
  for (bool scheduled : {true, false}) {
    SCOPED_TRACE(scheduled);
    std::vector<std::string> pending;
    // The last deletions: a.dll's old file, ro.exe's, the journal.
    EXPECT_EQ(
        ResultSuccess, RunFailing(0, false, [&] {
          standin::FailCall("DeleteFileW", deletions - 2, ERROR_WRITE_FAULT);
          standin::FailCall("DeleteFileW", deletions - 1, ERROR_WRITE_FAULT);
          if (!scheduled)
            standin::FailCall("MoveFileExW", 1, ERROR_ACCESS_DENIED);
          standin::SetCallObserver([&](const char*, uint64_t) {
            pending = standin::ScheduledDeletions();
          });
        }));
    EXPECT_TRUE(Completed());
    EXPECT_EQ(kNew, ReadAll(In("a.dll")));
    EXPECT_EQ(scheduled, !fs::exists(In("selfpatch.journal")));
    ASSERT_EQ(scheduled ? 1u : 0u, pending.size());
    if (scheduled) {
      EXPECT_EQ(kOld, ReadAll(pending[0]));
      EXPECT_EQ(app.path(), fs::path(pending[0]).parent_path());
    }
    // The next patch of the folder runs.
    EXPECT_EQ(ResultSuccess, Apply({PatchEntry("a.dll", kNew, kOld)}));
    EXPECT_EQ(kOld, ReadAll(In("a.dll")));
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
    return Apply({AddEntry("new.txt", kNewB)}, 0, [&] {
      for (int n = 0; n < taken; ++n)
        standin::FailCall("CreateFileW", first + n, ERROR_FILE_EXISTS);
    });
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
  ResetFolder(true);
  ASSERT_EQ(ResultSuccess, Apply(Package(), kBackup));
  Files patched = Snapshot(app.path());
  // ro.exe cannot go in, and then cannot come back from aside.
  EXPECT_EQ(ResultUpdateFailed, RunFailing(PackageFlagBackup, true, [] {
              standin::FailCall("MoveFileW", 5, ERROR_WRITE_FAULT);
              standin::FailCall("MoveFileW", 6, ERROR_WRITE_FAULT);
            }));
  EXPECT_FALSE(fs::exists(In("ro.exe")));
  ASSERT_TRUE(fs::exists(In("selfpatch.journal")));  // says where it is
  // The next run cannot bring ro.exe back either: the journal stays.
  EXPECT_EQ(ResultUpdateFailed, Apply(Package(), kBackup, [] {
              standin::FailCall("MoveFileW", 1, ERROR_WRITE_FAULT);
            }));
  EXPECT_FALSE(fs::exists(In("ro.exe")));
  ASSERT_TRUE(fs::exists(In("selfpatch.journal")));
  EXPECT_EQ(ResultSuccess, Apply(Package(), kBackup));
  EXPECT_EQ(patched, Snapshot(app.path()));
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
}

}  // namespace
