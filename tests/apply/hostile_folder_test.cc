// Another user who can write into the folder plants files, hard links and
// journals before the run, and swaps names while it runs: the elevated
// applier must act on nothing outside the folder, lose no file, and report
// success only for work it did.
#include <gtest/gtest.h>

#include "apply/worker_fixture.h"
#include "standin_control.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const Bytes kOld = ToBytes("the old program, version one");
const Bytes kNew = ToBytes("the new program: version two, longer");
const Bytes kPlanted = ToBytes("planted by another user");
const Bytes kVictim = ToBytes("a file outside the folder");

// A journal as a run writes it, with the given package digest.
Bytes Journal(const uint8_t* digest, const std::vector<WString>& lines,
              bool committed) {
  static const char kDigits[] = "0123456789abcdef";
  WString text = WString(1, 0xFEFF) + WTXT("selfpatch journal 2\t");
  for (int i = 0; i < 32; ++i) {
    text += static_cast<WCHAR>(kDigits[digest[i] >> 4]);
    text += static_cast<WCHAR>(kDigits[digest[i] & 15]);
  }
  text += WTXT("\n");
  for (const WString& line : lines) text += line + WTXT("\n");
  if (committed) text += WTXT("C\n");
  Bytes bytes;
  for (WCHAR c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

const uint8_t kNoDigest[32] = {};

fs::perms Permissions(const fs::path& path) {
  return fs::status(path).permissions();
}

// The temporaries of ours in `folder`.
std::vector<fs::path> Temporaries(const fs::path& folder) {
  std::vector<fs::path> found;
  for (const auto& item : fs::directory_iterator(folder)) {
    if (item.path().filename().string().rfind("ptf", 0) == 0)
      found.push_back(item.path());
  }
  return found;
}

typedef WorkerTest Hostile;

// Makes a planted file another user's, as the one who planted it.
void OfAnotherUser(const fs::path& path) {
  standin::SetOwner(path.string(), standin::User::kOther);
}

TEST_F(Hostile, ACompleteJournalOfThisPackageIsNoProofOfTheWork) {
  // The package's digest is public (it is in the executable): a planted
  // "complete" journal of this package must not make a run that patched
  // nothing report success.
  WriteAll(In("app.exe"), kOld);
  const std::vector<TestEntry> package = {PatchEntry("app.exe", kOld, kNew)};
  Load(package);
  WriteAll(In("selfpatch.journal"),
           Journal(holder.Get()->header.packageDigest, {}, true));
  window.Clear();
  ResultCode result = worker->Run();
  window.Pump();
  if (result == ResultSuccess) {
    EXPECT_EQ(kNew, ReadAll(In("app.exe")));  // success means patched
  }
  EXPECT_FALSE(fs::exists(In("selfpatch.journal")) && result == ResultSuccess);
}

TEST_F(Hostile, RecoveryActsOnlyOnWhatARunOfOursMade) {
  // Another user can plant a journal and the files it names, but cannot
  // give them to the Administrators group: their journal stops recovery
  // before anything is touched, and their file under a name our journal
  // holds is left where it is while the run goes on.
  struct Case {
    const char* what;
    std::vector<WString> lines;
    std::vector<std::pair<std::string, Bytes>> planted;
    std::vector<std::string> theirs;  // planted by the other user
    bool theirJournal;
  };
  const std::vector<WString> swap = {
      WTXT("T\tptfB.tmp"), WTXT("T\tptfA.tmp"),
      WTXT("R\t00000020\tapp.exe\tptfA.tmp\t"),
      WTXT("P\t00000020\tapp.exe\tptfB.tmp\tptfA.tmp")};
  const Case cases[] = {
      {"their journal puts their file in place of a target",
       swap,
       {{"ptfA.tmp", kPlanted}},
       {"selfpatch.journal", "ptfA.tmp"},
       true},
      {"their journal's add step deletes a target",
       {WTXT("T\tptfA.tmp"), WTXT("A\t00000000\tother.dll\tptfA.tmp\t")},
       {{"other.dll", kOld}},
       {"selfpatch.journal"},
       true},
      {"their file under a temporary name our journal holds",
       swap,
       {{"ptfA.tmp", kPlanted}},
       {"ptfA.tmp"},
       false},
      {"their file where our journal's add step would take it from",
       {WTXT("T\tptfA.tmp"), WTXT("A\t00000000\tnew.txt\tptfA.tmp\t")},
       {{"new.txt", kPlanted}},
       {"new.txt"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearFolder(app.path());
    WriteAll(In("app.exe"), kOld);
    for (const auto& file : c.planted) WriteAll(In(file.first), file.second);
    WriteAll(In("selfpatch.journal"), Journal(kNoDigest, c.lines, false));
    for (const std::string& name : c.theirs) OfAnotherUser(In(name));
    ResultCode result = Apply({PatchEntry("app.exe", kOld, kNew)});
    if (c.theirJournal) {
      EXPECT_EQ(ResultUpdateFailed, result);
      EXPECT_EQ(std::make_pair(ResultCode(ResultUpdateFailed),
                               In("selfpatch.journal")),
                ReportedError());
      EXPECT_TRUE(Unchanged());  // nothing moved, deleted or left behind
      continue;
    }
    EXPECT_EQ(ResultSuccess, result);
    EXPECT_EQ(kNew, ReadAll(In("app.exe")));
    for (const auto& file : c.planted)
      EXPECT_EQ(file.second, ReadAll(In(file.first))) << file.first;
    EXPECT_FALSE(fs::exists(In("selfpatch.journal")));
  }
}

TEST_F(Hostile, NothingReachesAFileElsewhereThroughAHardLink) {
  // A hard link is no reparse point: under a name in the folder it is the
  // outside file itself, attributes and all. A target or backup with other
  // names is refused before anything is touched; recovery leaves such a
  // file under a temporary name alone and gives none attributes.
  const fs::path victim = outside / "victim.dll";
  const std::vector<WString> kAsideLine = {
      WTXT("T\tptfA.tmp"), WTXT("R\t00000001\tback.txt\tptfA.tmp\t")};
  struct Case {
    const char* what;
    const char* link;  // the hard link's name in the folder
    bool readOnly;     // the outside file
    uint32_t flags;
    std::vector<WString> journal;  // none when empty
    ResultCode result;
  };
  const Case cases[] = {
      {"a target", "app.exe", false, 0, {}, ResultLinkOnPath},
      {"a read-only target", "app.exe", true, 0, {}, ResultLinkOnPath},
      {"a target's backup",
       "app.exe.bak",
       false,
       PackageFlagBackup,
       {},
       ResultLinkOnPath},
      {"a reserved temporary",
       "ptfA.tmp",
       true,
       0,
       {WTXT("T\tptfA.tmp")},
       ResultSuccess},
      {"a temporary an aside line moves back", "ptfA.tmp", false, 0, kAsideLine,
       ResultSuccess},
      {"a target an aside line gives attributes", "back.txt", false, 0,
       kAsideLine, ResultSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearFolder(app.path());
    ClearFolder(outside.path());
    WriteAll(victim, kOld);  // what the package expects of app.exe
    if (c.readOnly)
      fs::permissions(victim, fs::perms::owner_write, fs::perm_options::remove);
    const fs::perms permissions = Permissions(victim);
    if (std::string(c.link) != "app.exe") WriteAll(In("app.exe"), kOld);
    fs::create_hard_link(victim, In(c.link));
    if (!c.journal.empty())
      WriteAll(In("selfpatch.journal"), Journal(kNoDigest, c.journal, false));
    ResultCode result = Apply({PatchEntry("app.exe", kOld, kNew)}, c.flags);
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(permissions, Permissions(victim));
    EXPECT_EQ(kOld, ReadAll(victim));
    if (result != ResultSuccess) {
      EXPECT_EQ(
          std::make_pair(c.result, In(c.journal.empty() ? c.link : "ptfA.tmp")),
          ReportedError());
      EXPECT_TRUE(Unchanged());
    }
    fs::permissions(victim, fs::perms::owner_write, fs::perm_options::add);
  }
}

TEST_F(Hostile, AReservedTemporarySwappedForALinkIsNotWrittenThrough) {
  // Once the temporary is reserved, another user with delete rights in the
  // folder puts a link to an outside file in its place: as a hard link
  // right away, or as a symbolic link while the new file is written. The
  // new file is written through its own handle, and what is under its name
  // at the commit is not placed on the target.
  struct Case {
    const char* what;
    bool hard;
    ResultCode result;
  };
  const Case cases[] = {{"a hard link", true, ResultUpdateFailed},
                        {"a symbolic link", false, ResultLinkOnPath}};
  const fs::path victim = outside / "victim.dll";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveLinks();
    ClearFolder(app.path());
    ClearFolder(outside.path());
    WriteAll(victim, kVictim);
    WriteAll(In("app.exe"), kOld);
    bool armed = false, swapped = false;
    auto swap = [&] {
      for (const fs::path& temp : Temporaries(app.path())) {
        fs::remove(temp);
        if (c.hard) {
          fs::create_hard_link(victim, temp);
        } else {
          fs::create_symlink(victim, temp);
        }
        swapped = true;
      }
    };
    window.onMessage = [&](const RecordedMessage& message) {
      if (message.id != WM_PATCH_FILENAME) return;
      if (c.hard) {
        swap();
      } else {
        armed = true;
      }
    };
    standin::SetCallObserver([&](const char* function, uint64_t) {
      if (armed && std::string(function) == "WriteFile") {
        armed = false;
        swap();
      }
    });
    ResultCode result = Apply({PatchEntry("app.exe", kOld, kNew)});
    standin::SetCallObserver(nullptr);
    window.onMessage = nullptr;
    ASSERT_TRUE(swapped);
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(kVictim, ReadAll(victim));
    EXPECT_EQ(kOld, ReadAll(In("app.exe")));
    for (const fs::path& temp : Temporaries(app.path())) fs::remove(temp);
  }
}

TEST_F(Hostile, ATargetsNameIsNotFreeForAnotherUserDuringTheCommit) {
  // Between moving the read-only app.exe aside and moving its new file in,
  // the name is free. Another user who makes a file under it must not have
  // it run as the program (the user's own app.exe ending under another
  // name), and a hard link made there must not carry app.exe's attributes
  // to a file elsewhere.
  const fs::path victim = outside / "victim.dll";
  for (bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "a hard link" : "their file");
    ClearFolder(app.path());
    ClearFolder(outside.path());
    WriteAll(victim, kVictim);
    const fs::perms permissions = Permissions(victim);
    WriteAll(In("app.exe"), kOld);
    fs::permissions(In("app.exe"), fs::perms::owner_write,
                    fs::perm_options::remove);
    int renames = 0;
    standin::SetCallObserver([&](const char* function, uint64_t) {
      if (std::string(function) != "MoveFileW" || ++renames != 2) return;
      if (hard) {
        fs::create_hard_link(victim, In("app.exe"));
      } else {
        WriteAll(In("app.exe"), kPlanted);
        OfAnotherUser(In("app.exe"));
      }
    });
    Apply({PatchEntry("app.exe", kOld, kNew)});
    standin::SetCallObserver(nullptr);
    ASSERT_GE(renames, 2);
    EXPECT_EQ(permissions, Permissions(victim));
    Apply({PatchEntry("app.exe", kOld, kNew)});  // the user tries again
    EXPECT_EQ(permissions, Permissions(victim));
    EXPECT_TRUE(ReadAll(In("app.exe")) == kOld ||
                ReadAll(In("app.exe")) == kNew);
    for (const auto& file : Snapshot(app.path()))
      fs::permissions(In(file.first), fs::perms::owner_write,
                      fs::perm_options::add);
  }
}

TEST_F(Hostile, TakenKeepingNamesDoNotStopEveryRunAfter) {
  // Another user has made app.exe.bak.1 to app.exe.bak.999, and makes
  // app.exe (their file, or a hard link to a file elsewhere) while the old
  // one is aside. Theirs is kept under a name made new for it, the
  // patch goes in, and the read-only app.exe's attributes reach nothing
  // through the link. Where that name cannot be given to it once, the run
  // fails, the run after puts the old file back beside theirs and says so,
  // and the next one patches.
  const fs::path victim = outside / "victim.dll";
  struct Case {
    const char* what;
    bool hard;
    bool refused;  // the move onto the name made for theirs fails once
  };
  for (const Case& c :
       {Case{"their file", false, false}, Case{"a hard link", true, false},
        Case{"their file, kept the second time", false, true}}) {
    SCOPED_TRACE(c.what);
    ClearFolder(app.path());
    ClearFolder(outside.path());
    WriteAll(victim, kVictim);
    const fs::perms permissions = Permissions(victim);
    WriteAll(In("app.exe"), kOld);
    fs::permissions(In("app.exe"), fs::perms::owner_write,
                    fs::perm_options::remove);
    for (int n = 1; n < 1000; ++n) {
      const fs::path kept = In("app.exe.bak." + std::to_string(n));
      WriteAll(kept, kPlanted);
      OfAnotherUser(kept);
    }
    standin::ResetCalls();
    if (c.refused) standin::FailCall("MoveFileExW", 1, ERROR_WRITE_FAULT);
    int renames = 0;
    standin::SetCallObserver([&](const char* function, uint64_t) {
      if (std::string(function) != "MoveFileW" || ++renames != 2) return;
      if (c.hard) {
        fs::create_hard_link(victim, In("app.exe"));
      } else {
        WriteAll(In("app.exe"), kPlanted);
        OfAnotherUser(In("app.exe"));
      }
    });
    const std::vector<TestEntry> package = {PatchEntry("app.exe", kOld, kNew)};
    const auto failed =
        std::make_pair(ResultCode(ResultUpdateFailed), In("app.exe"));
    if (c.refused) {
      EXPECT_EQ(ResultUpdateFailed, Apply(package));
      EXPECT_EQ(failed, ReportedError());
      standin::SetCallObserver(nullptr);
      EXPECT_EQ(ResultUpdateFailed, Apply(package));  // kept both
      EXPECT_EQ(failed, ReportedError());
    }
    EXPECT_EQ(ResultSuccess, Apply(package));
    standin::SetCallObserver(nullptr);
    ASSERT_GE(renames, 2);
    EXPECT_EQ(permissions, Permissions(victim));
    EXPECT_EQ(kNew, ReadAll(In("app.exe")));
    // Theirs under the one name made for it; nothing else left.
    std::vector<std::pair<std::string, Bytes>> files = Snapshot(app.path());
    ASSERT_EQ(1001u, files.size());
    auto kept = std::find_if(files.begin(), files.end(), [](const auto& f) {
      return f.first.size() == 20 && f.first.rfind("app.exe.bak.", 0) == 0 &&
             f.first.find_first_not_of("0123456789abcdef", 12) ==
                 std::string::npos;
    });
    ASSERT_NE(files.end(), kept);
    EXPECT_EQ(c.hard ? kVictim : kPlanted, kept->second);
    fs::permissions(victim, fs::perms::owner_write, fs::perm_options::add);
    for (const auto& file : files)
      fs::permissions(In(file.first), fs::perms::owner_write,
                      fs::perm_options::add);
  }
}

TEST_F(Hostile, AnOlderBackupMadeDuringTheRunIsNotReplaced) {
  // app.exe.bak is free when app.exe is prepared; another user makes it
  // before the commit. The commit takes it for an older backup: their file
  // has its attributes cleared, is moved aside and deleted; a hard link
  // there carries the cleared attributes to a file elsewhere.
  const fs::path victim = outside / "victim.dll";
  for (bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "a hard link" : "their file");
    ClearFolder(app.path());
    ClearFolder(outside.path());
    WriteAll(victim, kVictim);
    fs::permissions(victim, fs::perms::owner_write, fs::perm_options::remove);
    const fs::perms permissions = Permissions(victim);
    WriteAll(In("app.exe"), kOld);
    standin::SetCallObserver([&](const char* function, uint64_t) {
      if (std::string(function) != "FlushFileBuffers" ||
          fs::exists(In("app.exe.bak")))
        return;
      if (hard) {
        fs::create_hard_link(victim, In("app.exe.bak"));
      } else {
        WriteAll(In("app.exe.bak"), kPlanted);
        OfAnotherUser(In("app.exe.bak"));
      }
    });
    Apply({PatchEntry("app.exe", kOld, kNew)}, PackageFlagBackup);
    standin::SetCallObserver(nullptr);
    EXPECT_EQ(permissions, Permissions(victim));
    if (!hard) {
      bool kept = false;
      for (const auto& file : Snapshot(app.path()))
        kept = kept || file.second == kPlanted;
      EXPECT_TRUE(kept);
    }
    fs::permissions(victim, fs::perms::owner_write, fs::perm_options::add);
  }
}

TEST_F(Hostile, AFailedRunDeletesOnlyItsOwnTemporaries) {
  // The commit has moved lib.dll's new file in, freeing its temporary's
  // name; another user makes a file (or a hard link) there, which stops
  // the undo of that step, and app.exe's rename fails. On the way out the
  // run deletes whatever is under the temporary's name: their file, or,
  // the link to a read-only file elsewhere not going at once, that file's
  // attributes cleared first.
  const fs::path victim = outside / "victim.dll";
  for (bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "a hard link" : "their file");
    ClearFolder(app.path());
    ClearFolder(outside.path());
    WriteAll(victim, kVictim);
    fs::permissions(victim, fs::perms::owner_write, fs::perm_options::remove);
    const fs::perms permissions = Permissions(victim);
    WriteAll(In("lib.dll"), kOld);
    WriteAll(In("app.exe"), kOld);
    std::vector<fs::path> reserved;
    fs::path freed;
    int renames = 0;
    standin::ResetCalls();
    standin::SetCallObserver([&](const char* function, uint64_t) {
      if (std::string(function) != "MoveFileW") return;
      if (++renames == 1) reserved = Temporaries(app.path());
      if (renames != 3) return;
      for (const fs::path& temp : reserved)
        if (!fs::exists(temp)) freed = temp;
      if (hard) {
        fs::create_hard_link(victim, freed);
      } else {
        WriteAll(freed, kPlanted);
        OfAnotherUser(freed);
      }
    });
    standin::FailCall("MoveFileW", 3, ERROR_WRITE_FAULT);
    EXPECT_EQ(ResultUpdateFailed, Apply({PatchEntry("lib.dll", kOld, kNew),
                                         PatchEntry("app.exe", kOld, kNew)}));
    standin::SetCallObserver(nullptr);
    standin::ResetCalls();
    ASSERT_FALSE(freed.empty());
    EXPECT_EQ(permissions, Permissions(victim));
    if (!hard) {
      EXPECT_TRUE(fs::exists(freed));
    }
    fs::permissions(victim, fs::perms::owner_write, fs::perm_options::add);
  }
}

TEST_F(Hostile, AFolderAnotherUserMadeFirstIsNotRemoved) {
  // The run finds no "plugins" and is about to make it; another user makes
  // it first. The run stops at the folder (it is theirs), and on the way
  // out removes it as a folder the run made.
  standin::SetCallObserver([&](const char* function, uint64_t) {
    if (std::string(function) != "CreateDirectoryW" ||
        fs::exists(In("plugins")))
      return;
    fs::create_directory(In("plugins"));
    OfAnotherUser(In("plugins"));
  });
  EXPECT_EQ(ResultLinkOnPath, Apply({DirectoryEntry("plugins"),
                                     AddEntry("plugins\\new.dll", kNew)}));
  standin::SetCallObserver(nullptr);
  EXPECT_TRUE(fs::is_directory(In("plugins")));
}

TEST_F(Hostile, NothingOfAnotherUsersIsPatchedOrWrittenInto) {
  // Another user made the folder an added file goes into (as its owner they
  // may rename or replace whatever is put in it), or the file to patch (a
  // run cut short could not put it back): the run stops before anything.
  struct Case {
    const char* what;
    const char* foreign;
    std::vector<TestEntry> entries;
  };
  const Case cases[] = {
      {"a folder", "plugins", {AddEntry("plugins\\new.dll", kNew)}},
      {"a target", "app.exe", {PatchEntry("app.exe", kOld, kNew)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearFolder(app.path());
    fs::create_directory(In("plugins"));
    WriteAll(In("app.exe"), kOld);
    OfAnotherUser(In(c.foreign));
    EXPECT_EQ(ResultLinkOnPath, Apply(c.entries));
    EXPECT_EQ(std::make_pair(ResultCode{ResultLinkOnPath}, In(c.foreign)),
              ReportedError());
    EXPECT_TRUE(Unchanged());
  }
}

TEST_F(Hostile, AFolderThatCannotBeMadeFailsTheRun) {
  // Another user's file has the name of a folder the package makes: the
  // folder cannot be made, and the run says so instead of succeeding.
  WriteAll(In("plugins"), kOld);
  OfAnotherUser(In("plugins"));
  EXPECT_EQ(ResultTargetExists, Apply({DirectoryEntry("plugins")}));
  EXPECT_EQ(std::make_pair(ResultCode{ResultTargetExists}, In("plugins")),
            ReportedError());
  EXPECT_FALSE(Completed());
  EXPECT_TRUE(Unchanged());
}

TEST_F(Hostile, AFolderIsHeldAsItWasChecked) {
  // The folder of an entry is checked for links, then held open so that it
  // cannot be swapped for one. Swapped in between (a race another user
  // could win), or not to be held at all, it stops the run before anything
  // is touched.
  struct Case {
    const char* what;
    bool swapped;
    ResultCode result;
  };
  const Case cases[] = {
      {"swapped for a link before it is held", true, ResultLinkOnPath},
      {"that cannot be held", false, ResultUpdateFailed}};
  const std::vector<TestEntry> package = {
      PatchEntry("data\\lib.dll", kOld, kNew)};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Which open holds the folder: the one just before the first look at
    // an open handle, in a run left alone.
    uint64_t opens = 0, holding = 0;
    for (bool dry : {true, false}) {
      RemoveLinks();
      ClearFolder(app.path());
      ClearFolder(outside.path());
      fs::create_directory(In("data"));
      WriteAll(In("data/lib.dll"), kOld);
      if (!dry) break;
      standin::SetCallObserver([&](const char* function, uint64_t) {
        if (std::string(function) == "CreateFileW") ++opens;
        if (std::string(function) == "GetFileInformationByHandle" &&
            holding == 0)
          holding = opens;
      });
      ASSERT_EQ(ResultSuccess, Apply(package));
      standin::ResetCalls();
    }
    ASSERT_NE(0u, holding);
    opens = 0;
    bool done = false;
    standin::SetCallObserver([&](const char* function, uint64_t) {
      if (std::string(function) != "CreateFileW" || ++opens != holding) return;
      done = true;
      if (c.swapped) {
        fs::rename(In("data"), outside / "data");
        Link("data", outside / "data");
      } else {
        standin::FailCall("GetFileInformationByHandle", 1, ERROR_ACCESS_DENIED);
      }
    });
    ResultCode result = Apply(package);
    standin::ResetCalls();
    ASSERT_TRUE(done);
    EXPECT_EQ(std::make_pair(c.result, In("data")), ReportedError());
    EXPECT_EQ(c.result, result);
    if (!c.swapped) {
      EXPECT_TRUE(Unchanged());
      continue;
    }
    RemoveLinks();
    EXPECT_TRUE(Snapshot(app.path()).empty());  // no journal left
    auto moved = Snapshot(outside / "data");
    ASSERT_EQ(1u, moved.size());  // no temporary left through the link
    EXPECT_EQ(kOld, moved[0].second);
  }
}

TEST_F(Hostile, AJournalThatIsAHardLinkToAnOutsideFileStays) {
  // A cut-short header is removed by recovery: under the journal's name, a
  // hard link to a read-only outside file loses no attribute of it.
  const fs::path victim = outside / "notes.txt";
  Bytes cut = Journal(kNoDigest, {}, false);
  cut.resize(20);  // inside the header line
  WriteAll(victim, cut);
  fs::permissions(victim, fs::perms::owner_write, fs::perm_options::remove);
  const fs::perms before = Permissions(victim);
  fs::create_hard_link(victim, In("selfpatch.journal"));
  WriteAll(In("app.exe"), kOld);
  Apply({PatchEntry("app.exe", kOld, kNew)});
  EXPECT_EQ(
      std::make_pair(ResultCode(ResultUpdateFailed), In("selfpatch.journal")),
      ReportedError());
  EXPECT_EQ(before, Permissions(victim));
  EXPECT_EQ(cut, ReadAll(victim));
  fs::permissions(victim, fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(Hostile, AFolderIsHeldWhileRecoveryActsInIt) {
  // Recovery checks every name for links, then acts: another user who tries
  // to swap a folder for a link in between (to carry an undone "A", the
  // target onto its temporary and the temporary deleted, to a file outside)
  // finds the folder held.
  fs::create_directories(In("sub"));
  fs::create_directories(outside / "v");
  WriteAll(In("sub/new.txt"), kPlanted);
  WriteAll(outside / "v" / "new.txt", kVictim);
  WriteAll(In("app.exe"), kOld);
  WriteAll(In("selfpatch.journal"),
           Journal(kNoDigest,
                   {WTXT("T\tsub\\ptfA.tmp"),
                    WTXT("A\t00000000\tsub\\new.txt\tsub\\ptfA.tmp\t")},
                   false));
  bool tried = false;
  BOOL moved = TRUE;
  DWORD error = 0;
  standin::SetCallObserver([&](const char* function, uint64_t) {
    if (tried || std::string(function) != "MoveFileW") return;
    tried = true;
    moved = MoveFileW(Wide(In("sub")).c_str(), Wide(outside / "moved").c_str());
    error = GetLastError();
  });
  EXPECT_EQ(ResultSuccess, Apply({PatchEntry("app.exe", kOld, kNew)}));
  standin::SetCallObserver(nullptr);
  ASSERT_TRUE(tried);
  EXPECT_FALSE(moved);
  EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), error);
  EXPECT_EQ(kVictim, ReadAll(outside / "v" / "new.txt"));
  std::vector<std::pair<std::string, Bytes>> expected = {{"app.exe", kNew},
                                                         {"sub/", {}}};
  EXPECT_EQ(expected, Snapshot(app.path()));
}

}  // namespace
