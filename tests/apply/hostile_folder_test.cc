// Another user who can write into the folder plants files, hard links and
// journals before the run, and swaps names while it runs: the elevated
// applier must act on nothing outside the folder, lose no file, and report
// success only for work it did.
#include <gtest/gtest.h>

#include "apply/commit_fixture.h"

namespace {

using namespace testing_support;
typedef CommitTest Hostile;

TEST_F(Hostile, RecoveryActsOnlyOnWhatARunOfOursMade) {
  // Another user can plant the files our journal names, but cannot give
  // them to the Administrators group: theirs under a name our journal holds
  // is left where it is while the run goes on. (Their journal is refused
  // with the other journals not ours.) The package's digest is public: a
  // "complete" journal of it is no proof that it was applied.
  struct Case {
    const char* what;
    std::vector<std::string> lines;  // none: a complete journal of this
    const char* planted;             // their file the journal names
  };
  const Case cases[] = {
      {"their file under a temporary of our journal",
       {"T\tptfB.tmp", "T\tptfA.tmp", "R\t00000020\tapp.exe\tptfA.tmp\t",
        "P\t00000020\tapp.exe\tptfB.tmp\tptfA.tmp"},
       "ptfA.tmp"},
      {"their file where our journal's add takes it from",
       {"T\tptfA.tmp", "A\t00000000\tnew.txt\tptfA.tmp\t"},
       "new.txt"},
      {"a complete journal of this package", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearFolder(app.path());
    WriteAll(In("app.exe"), kOld);
    if (*c.planted) {
      WriteAll(In(c.planted), kPlanted);
      Theirs(In(c.planted));
    }
    EXPECT_EQ(ResultSuccess, Apply({PatchEntry("app.exe", kOld, kNew)}, 0, [&] {
                WriteAll(
                    In("selfpatch.journal"),
                    Journal(c.lines, c.lines.empty(),
                            c.lines.empty() ? holder.Get()->header.packageDigest
                                            : nullptr));
              }));
    EXPECT_EQ(kNew, ReadAll(In("app.exe")));
    if (*c.planted) {
      EXPECT_EQ(kPlanted, ReadAll(In(c.planted)));
    }
    EXPECT_FALSE(fs::exists(In("selfpatch.journal")));
  }
}

TEST_F(Hostile, NothingReachesAFileElsewhereThroughAHardLink) {
  // A hard link is no reparse point: under a name in the folder it is the
  // outside file itself, attributes and all. A target or backup with other
  // names is refused before anything is touched; recovery leaves such a
  // file under a temporary name alone, gives none attributes, and does not
  // remove it as a journal cut short in its header.
  const fs::path victim = outside / "victim.dll";
  const std::vector<std::string> aside = {"T\tptfA.tmp",
                                          "R\t00000001\tback.txt\tptfA.tmp\t"};
  Bytes cut = Journal({});
  cut.resize(20);  // inside the header line
  struct Case {
    const char* what;
    const char* link;  // the hard link's name in the folder
    bool readOnly;     // the outside file
    uint32_t flags;
    std::vector<std::string> journal;  // none when empty
    ResultCode result;
  };
  const std::vector<std::string> none, reserved = {"T\tptfA.tmp"};
  const Case cases[] = {
      {"a target", "app.exe", false, 0, none, ResultLinkOnPath},
      {"a read-only target", "app.exe", true, 0, none, ResultLinkOnPath},
      {"a backup", "app.exe.bak", false, PackageFlagBackup, none,
       ResultLinkOnPath},
      {"a reserved temporary", "ptfA.tmp", true, 0, reserved, ResultSuccess},
      {"a temporary moved back", "ptfA.tmp", false, 0, aside, ResultSuccess},
      {"a journal", "selfpatch.journal", true, 0, none, ResultUpdateFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearFolder(app.path());
    ClearFolder(outside.path());
    const bool journal = std::string(c.link) == "selfpatch.journal";
    WriteAll(victim, journal ? cut : kOld);  // kOld: app.exe's
    if (c.readOnly) ReadOnly(victim);
    const fs::perms permissions = fs::status(victim).permissions();
    if (std::string(c.link) != "app.exe") WriteAll(In("app.exe"), kOld);
    fs::create_hard_link(victim, In(c.link));
    if (!c.journal.empty())
      WriteAll(In("selfpatch.journal"), Journal(c.journal));
    const std::vector<TestEntry> package = {PatchEntry("app.exe", kOld, kNew)};
    if (c.result == ResultSuccess) {
      EXPECT_EQ(ResultSuccess, Apply(package, c.flags));
    } else {
      ExpectFailure(package, c.flags, c.result, In(c.link));
    }
    EXPECT_EQ(permissions, fs::status(victim).permissions());
    EXPECT_EQ(journal ? cut : kOld, ReadAll(victim));
  }
}

TEST_F(Hostile, AHardLinkMadeWhileRecoveryRunsIsGivenNoAttributes) {
  // Recovery gives a target back its attributes after checking that the
  // file is ours; another user may give it a second name outside the folder
  // at any open in between, and then the attributes must not reach it.
  const fs::path victim = outside / "victim.txt";
  fs::perms permissions;  // the outside file's when linked
  bool linked = true;
  for (int nth = 1; linked; ++nth) {
    SCOPED_TRACE(nth);
    ClearFolder(app.path());
    ClearFolder(outside.path());
    WriteAll(In("app.exe"), kOld);
    WriteAll(In("back.txt"), kOldB);
    WriteAll(In("selfpatch.journal"),
             Journal({"T\tptfA.tmp", "R\t00000001\tback.txt\tptfA.tmp\t"}));
    linked = false;
    EXPECT_EQ(ResultSuccess, Apply({PatchEntry("app.exe", kOld, kNew)}, 0, [&] {
                AtCall("CreateFileW", nth, [&] {
                  fs::create_hard_link(In("back.txt"), victim);
                  permissions = fs::status(victim).permissions();
                  linked = true;
                });
              }));
    if (linked) {
      EXPECT_EQ(permissions, fs::status(victim).permissions());
    }
  }
}

TEST_F(Hostile, AReservedTemporarySwappedForALinkIsNotWrittenThrough) {
  // Once the temporary is reserved, another user with delete rights in the
  // folder puts a link to an outside file in its place: as a hard link
  // right away, or as a symbolic link while the new file is written. The
  // new file is written through its own handle, and what is under its name
  // at the commit is not placed on the target, patched or added.
  const fs::path victim = outside / "victim.dll";
  for (const TestEntry& entry :
       {PatchEntry("app.exe", kOld, kNew), AddEntry("new.txt", kNew)}) {
    for (bool hard : {true, false}) {
      SCOPED_TRACE(::testing::Message()
                   << entry.name << (hard ? ", a hard link" : ", a symlink"));
      ClearFolder(app.path());
      ClearFolder(outside.path());
      WriteAll(victim, kVictim);
      WriteAll(In("app.exe"), kOld);
      bool swapped = false;
      auto swap = [&] {
        for (const auto& file : fs::directory_iterator(app.path())) {
          if (file.path().filename().string().rfind("ptf", 0) != 0) continue;
          fs::remove(file.path());
          hard ? fs::create_hard_link(victim, file.path())
               : fs::create_symlink(victim, file.path());
          swapped = true;
        }
      };
      // The file's name is shown once its temporary is reserved.
      window.onMessage = [&](const RecordedMessage& message) {
        if (message.id == WM_PATCH_FILENAME)
          hard ? swap() : AtCall("WriteFile", 1, swap);
      };
      EXPECT_EQ(hard ? ResultUpdateFailed : ResultLinkOnPath, Apply({entry}));
      window.onMessage = nullptr;
      ASSERT_TRUE(swapped);
      EXPECT_EQ(kVictim, ReadAll(victim));
      EXPECT_EQ(kOld, ReadAll(In("app.exe")));
      EXPECT_FALSE(fs::exists(In("new.txt")));
    }
  }
}

TEST_F(Hostile, WhatAnotherUserMakesDuringTheRunIsKeptAndReachesNothing) {
  // Another user makes a file, or a hard link to a file elsewhere, under a
  // name the run is about to take: app.exe while the read-only old one is
  // aside (with every keeping name from app.exe.bak.1 on taken, and the
  // move onto the one made new for it failing once), app.exe.bak free when
  // app.exe was prepared, the name lib.dll's new file left in a commit that
  // then fails. Theirs is neither run as the program nor deleted, and no
  // attributes set or cleared by the run reach the file elsewhere. Where
  // theirs could not be kept once, the run after puts the old file back
  // beside it and says so, and the next one patches.
  const fs::path victim = outside / "victim.dll";
  struct Case {
    const char* what;
    const char* name;  // empty: the temporary the last rename freed
    const char* call;  // theirs is made just before its nth call
    int nth;
    uint32_t flags;
    int taken;     // app.exe.bak.1 and on, theirs from the start
    bool refused;  // the move onto the name made for theirs fails once
    ResultCode result;
    size_t left;  // files in the folder at the end
  };
  const Case cases[] = {
      {"app.exe", "app.exe", "MoveFileW", 4, 0, 0, false, ResultSuccess, 3},
      {"app.exe, its keeping names taken", "app.exe", "MoveFileW", 4, 0, 999,
       false, ResultSuccess, 1002},
      {"app.exe, theirs not kept once", "app.exe", "MoveFileW", 4, 0, 999, true,
       ResultUpdateFailed, 1002},
      {"app.exe.bak", "app.exe.bak", "FlushFileBuffers", 1, PackageFlagBackup,
       0, false, ResultLinkOnPath, 3},
      // The undo of lib.dll stops at theirs: its old file and the journal
      // stay for the run after.
      {"a freed temporary", "", "MoveFileW", 3, 0, 0, false, ResultUpdateFailed,
       5},
  };
  const std::vector<TestEntry> package = {PatchEntry("lib.dll", kOld, kNew),
                                          PatchEntry("app.exe", kOldB, kNewB)};
  for (const Case& c : cases) {
    for (bool hard : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.what << (hard ? ", linked" : ""));
      // app.exe is read-only, or else the file elsewhere.
      const bool readOnly = std::string(c.name) == "app.exe";
      ClearFolder(app.path());
      ClearFolder(outside.path());
      WriteAll(victim, kVictim);
      if (!readOnly) ReadOnly(victim);
      const fs::perms permissions = fs::status(victim).permissions();
      WriteAll(In("lib.dll"), kOld);
      WriteAll(In("app.exe"), kOldB);
      if (readOnly) ReadOnly(In("app.exe"));
      for (int n = 1; n <= c.taken; ++n) {
        WriteAll(In("app.exe.bak." + std::to_string(n)), kOldB);
        Theirs(In("app.exe.bak." + std::to_string(n)));
      }
      auto make = [&] {
        fs::path name = In(c.name);
        if (!*c.name) {
          for (const standin::FileCall& call : standin::FileCalls())
            if (call.function == "MoveFileW") name = call.path;
        }
        hard ? fs::create_hard_link(victim, name) : WriteAll(name, kPlanted);
        if (!hard) Theirs(name);
      };
      EXPECT_EQ(c.result, Apply(package, c.flags, [&] {
                  AtCall(c.call, c.nth, make);
                  if (c.refused)
                    standin::FailCall("MoveFileExW", 1, ERROR_WRITE_FAULT);
                  if (!*c.name)
                    standin::FailCall(c.call, c.nth, ERROR_WRITE_FAULT);
                }));
      if (c.result != ResultSuccess) {
        EXPECT_EQ(std::make_pair(c.result, In(*c.name ? c.name : "app.exe")),
                  ReportedError());
      }
      if (c.refused) {
        EXPECT_EQ(ResultUpdateFailed, Apply(package));  // kept both
        EXPECT_EQ(std::make_pair(c.result, In("app.exe")), ReportedError());
        EXPECT_EQ(ResultSuccess, Apply(package));
      }
      EXPECT_EQ(permissions, fs::status(victim).permissions());
      EXPECT_EQ(readOnly ? kNewB : kOldB, ReadAll(In("app.exe")));
      // Theirs under one name, and nothing of the run's left.
      Files files = Snapshot(app.path());
      EXPECT_EQ(c.left, files.size());
      EXPECT_EQ(1, std::count_if(files.begin(), files.end(), [&](auto& file) {
                  return file.second == (hard ? kVictim : kPlanted);
                }));
    }
  }
}

TEST_F(Hostile, NothingOfAnotherUsersIsPatchedOrWrittenInto) {
  // Another user made the folder an added file goes into (as its owner they
  // may rename or replace whatever is put in it), the file to patch (a run
  // cut short could not put it back), a file where a folder is to be made,
  // or that folder just before the run makes it: the run stops before
  // anything, and does not remove theirs as a folder it made. What the
  // person who runs it made before elevating (a per-user install) is theirs
  // to patch.
  using standin::User;
  struct Case {
    const char* what;
    const char* made;
    bool folder;
    bool first;  // made just before the run makes it
    User by;
    std::vector<TestEntry> entries;
    uint32_t flags;
    ResultCode result;
  };
  const std::vector<TestEntry> add = {AddEntry("plugins\\new.dll", kNew)},
                               patch = {PatchEntry("app.exe", kOld, kNew)},
                               make = {DirectoryEntry("plugins")},
                               makeAndAdd = {make[0], add[0]};
  const User other = User::kOther, own = User::kAdministratorUnelevated;
  const Case cases[] = {
      {"a folder", "plugins", true, false, other, add, 0, ResultLinkOnPath},
      {"a target", "app.exe", false, false, other, patch, 0, ResultLinkOnPath},
      {"a file for a folder", "plugins", false, false, other, make, 0,
       ResultTargetExists},
      {"a folder made first", "plugins", true, true, other, makeAndAdd, 0,
       ResultLinkOnPath},
      {"their own folder", "plugins", true, false, own, add, 0, ResultSuccess},
      {"their own target", "app.exe", false, false, own, patch, 0,
       ResultSuccess},
      {"their own older backup", "app.exe.bak", false, false, own, patch,
       PackageFlagBackup, ResultSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearFolder(app.path());
    WriteAll(In("app.exe"), kOld);
    auto plant = [&] {
      if (c.folder)
        fs::create_directory(In(c.made));
      else if (!fs::exists(In(c.made)))
        WriteAll(In(c.made), kPlanted);
      standin::SetOwner(In(c.made).string(), c.by);
    };
    if (!c.first) plant();
    EXPECT_EQ(c.result, Apply(c.entries, c.flags, [&] {
                if (c.first) AtCall("CreateDirectoryW", 1, plant);
              }));
    if (c.result == ResultSuccess) {
      EXPECT_TRUE(Completed());
      continue;
    }
    EXPECT_EQ(std::make_pair(c.result, In(c.made)), ReportedError());
    if (c.first) before.push_back({"plugins/", {}});
    EXPECT_EQ(before, Snapshot(app.path()));
  }
}

TEST_F(Hostile, WhatIsNotOursToRemoveStays) {
  // The run removes a file only when it is a file of ours, under its only
  // name, with the old content: the old content another user planted, or
  // reached through a hard link, refuses the run; anything else under the
  // name stays. A source is proved as a file to patch. A folder to remove
  // that is another user's stays, and one swapped for a link just before
  // it goes loses only the link.
  const fs::path victim = outside / "victim.dll";
  struct Case {
    const char* what;
    const char* name;  // theirs, or a hard link to the outside file
    bool hard;
    Bytes content;
    std::vector<TestEntry> entries;
    ResultCode result;
  };
  const std::vector<TestEntry> remove = {RemoveEntry("old.dll", kOld)};
  const std::vector<TestEntry> rename = {
      SourcedEntry("new.dll", "old.dll", kOld, kNew)};
  const Case cases[] = {
      {"theirs, the old content", "old.dll", false, kOld, remove,
       ResultLinkOnPath},
      {"theirs, changed", "old.dll", false, kPlanted, remove, ResultSuccess},
      {"linked, the old content", "old.dll", true, kOld, remove,
       ResultLinkOnPath},
      {"linked, changed", "old.dll", true, kVictim, remove, ResultSuccess},
      {"a source linked", "old.dll", true, kOld, rename, ResultLinkOnPath},
      {"a folder of theirs",
       "plugins",
       false,
       {},
       {RemoveDirectoryEntry("plugins")},
       ResultSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearFolder(app.path());
    ClearFolder(outside.path());
    WriteAll(In("app.exe"), kOld);
    if (c.hard) {
      WriteAll(victim, c.content);
      fs::create_hard_link(victim, In(c.name));
    } else if (c.content.empty()) {
      fs::create_directory(In(c.name));
      Theirs(In(c.name));
    } else {
      WriteAll(In(c.name), c.content);
      Theirs(In(c.name));
    }
    if (c.result == ResultSuccess) {
      EXPECT_EQ(ResultSuccess, Apply(c.entries, PackageFlagRemovals));
      EXPECT_TRUE(Unchanged());
    } else {
      ExpectFailure(c.entries, PackageFlagRemovals, c.result, In(c.name));
    }
    if (c.hard) {
      EXPECT_EQ(c.content, ReadAll(victim));
    }
  }
  // The folder made a link to one outside just before it goes.
  ClearFolder(app.path());
  fs::create_directory(In("plugins"));
  fs::create_directory(outside / "empty");
  EXPECT_EQ(ResultSuccess,
            Apply({RemoveDirectoryEntry("plugins")}, PackageFlagRemovals, [&] {
              AtCall("RemoveDirectoryW", 1, [&] {
                fs::remove(In("plugins"));
                Link("plugins", outside / "empty");
              });
            }));
  EXPECT_TRUE(fs::is_directory(outside / "empty"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(In("plugins"))));
}

TEST_F(Hostile, AFolderIsHeldAsItWasChecked) {
  // The folder of an entry is checked for links, then held open so that it
  // cannot be swapped for one. Not to be held at all, or swapped in between
  // (a race another user could win), it stops the run before anything is
  // touched.
  const std::vector<TestEntry> package = {
      PatchEntry("data\\lib.dll", kOld, kNew)};
  fs::create_directory(In("data"));
  WriteAll(In("data/lib.dll"), kOld);
  // The open that holds it: the one just before the first look at an open
  // handle.
  int opens = 0, holding = 0;
  ExpectFailure(package, 0, ResultUpdateFailed, In("data"), [&] {
    standin::FailCall("GetFileInformationByHandle", 1, ERROR_ACCESS_DENIED);
    standin::SetCallObserver([&](const char* function, uint64_t) {
      if (std::string(function) == "CreateFileW") ++opens;
      if (std::string(function) == "GetFileInformationByHandle" && holding == 0)
        holding = opens;
    });
  });
  ASSERT_NE(0, holding);
  EXPECT_EQ(ResultLinkOnPath, Apply(package, 0, [&] {
              AtCall("CreateFileW", holding, [&] {
                fs::rename(In("data"), outside / "data");
                Link("data", outside / "data");
              });
            }));
  EXPECT_EQ(std::make_pair(ResultCode(ResultLinkOnPath), In("data")),
            ReportedError());
  RemoveLinks();
  fs::rename(outside / "data", In("data"));
  EXPECT_TRUE(Unchanged());  // no journal, no temporary through the link
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
           Journal({"T\tsub\\ptfA.tmp",
                    "A\t00000000\tsub\\new.txt\tsub\\ptfA.tmp\t"}));
  DWORD error = 0;
  EXPECT_EQ(ResultSuccess, Apply({PatchEntry("app.exe", kOld, kNew)}, 0, [&] {
              AtCall("MoveFileW", 1, [&] {
                if (!MoveFileW(Wide(In("sub")).c_str(),
                               Wide(outside / "moved").c_str()))
                  error = GetLastError();
              });
            }));
  EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), error);
  EXPECT_EQ(kVictim, ReadAll(outside / "v" / "new.txt"));
  Files expected = {{"app.exe", kNew}, {"sub/", {}}};
  EXPECT_EQ(expected, Snapshot(app.path()));
}

}  // namespace
