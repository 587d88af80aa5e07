// The run's journal, written beside the targets, so that a run cut short
// (the process killed, the power gone) is undone or finished by the next
// run instead of leaving a target missing or a temporary file behind.
//
// It opens with the package's digest and grows as the run goes: a "T" line
// for every name the run reserves (a temporary file, as soon as it exists,
// or the name a file will be moved aside to); then, before the
// first rename, the commit's plan, every rename in order with every name
// chosen in advance, then the files to delete once everything is in place.
// A last line "C" marks the commit as complete: only after it is written
// does anything get deleted. A last line "U" instead says that the run
// undid its commit itself: only its reserved files are left to delete. Recovery
// judges each step by which of its files exist, so a step that never ran undoes
// as nothing, and recovery itself may be cut short and run again. Every name in
// it is relative to the folder being patched, so that a later run that reaches
// the same folder under another spelling (a short name, another case, a drive
// letter for a share) still finds its files.
//
// A removed file is moved aside as a replaced target is (a move-aside step
// that no placing step follows), and becomes a backup or is deleted with
// the other moved-aside files. A removed folder is a step of its own, after
// the deletions: once the commit is complete, the folder goes if it is
// empty then, and is left otherwise.
//
// A step is a line of tab-separated fields: its kind, its attributes (eight
// hex digits), its target, other and aside names (see JournalStep), and,
// for a step that places a new file, the file's SHA-256 in hex. Recovery
// takes such a step to have run when the file under the target is ours
// and holds that content, and another file there for one written since
// (the program saved it anew after a run was killed): steps are judged by
// the file they leave under their destination, so that another user's file
// made under a name a step freed hides nothing. An older applier's journal
// has no digests; its placing steps are judged, as it did, by the free
// name of the temporary they moved.
//
// Undoing, a recovery step deletes only a file of ours whose content exists
// elsewhere: a new file the package holds (a temporary, or a placed file
// that still has the placed content), never a moved-aside old file (only a
// complete commit's planned deletions remove those). One that cannot go
// back because its name has been taken since (the program made a new
// default file after a run was killed) stays, under a visible name beside
// it ("<name>.bak", the first free "<name>.bak.N", or, all of those taken,
// "<name>.bak." and eight hex digits), and the run reports the name.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "apply/safe_paths.h"
#include "package/entry_names.h"
#include "platform/platform.h"

struct JournalStep {
  enum Kind : WCHAR {
    kMoveAside = u'R',     // target -> aside (attributes cleared first)
    kPlaceNew = u'P',      // temp -> target, given `attributes`
    kPlaceAdded = u'A',    // temp -> target (an added file)
    kMoveOlder = u'O',     // older backup -> older (attributes cleared first)
    kMakeBackup = u'B',    // aside -> backup
    kDelete = u'D',        // target: deleted once the commit is complete
    kRemoveFolder = u'F',  // target: a folder removed after the deletions,
                           // if it is empty then
  };
  Kind kind;
  DWORD attributes;
  WString target;  // the target, the backup, or the file to delete
  WString other;   // aside, temp or older name
  WString aside;   // kPlaceNew: the aside of the same target; kMakeBackup:
                   // the older name when an older backup was moved
  WString digest;  // kPlaceNew, kPlaceAdded: the placed file's SHA-256, in
                   // lower-case hex; empty in an older run's journal
};

// Deletes a file that must go (`name`: its full path), with one more try at
// normal attributes (a read-only flag) that also waits out another program's
// hold on it; true when it is gone, also when it was never there. The deletion
// itself is the test: a failed query must not leave a file behind.
bool RemoveFile(const WString& name);

// Creates a new, empty file in `folder` under the first of `attempts` names
// `next` gives (relative) that no file has: a name in use, or one whose file
// is being deleted, is passed over. `name` receives the name; the handle is
// open for `access`, others sharing `share`. INVALID_HANDLE_VALUE when no
// name was free or the folder refused.
HANDLE CreateUnderFreeName(const RunFolder& folder,
                           const std::function<WString()>& next, int attempts,
                           DWORD access, DWORD share, WString* name);

// Renames the file (or whatever else) under `name` (relative to `folder`) to
// the first free name of "<target>.bak", "<target>.bak.1", ...,
// "<target>.bak.999" from number `first` (0 for "<target>.bak"), or, when
// another user has taken them all, to "<target>.bak." and eight hex digits,
// a name made new for it: a file kept beside `target`, visible to the user,
// its content and attributes untouched. True when it moved.
bool KeepBeside(const RunFolder& folder, const WString& name,
                const WString& target, int first);

enum class FolderRemoval {
  kRemoved,
  kKept,  // not empty, another user's, a link, or it would not go
  kGone,  // nothing was there
};

// Removes the folder `name` (relative to `folder`) if it is empty, ours and
// reached without a link; one held open (as FolderPins hold theirs) stays.
// RemoveDirectoryW removes only an empty folder, and of a link only the
// link, never what it leads to.
FolderRemoval RemoveOurEmptyFolder(const RunFolder& folder,
                                   const WString& name);

// Has a file (`name`: its full path) that cannot be deleted now (a running
// program's old image, which Windows lets rename but not delete) deleted when
// Windows next starts; true when that is arranged.
bool RemoveAtRestart(const WString& name);

class CommitJournal {
 public:
  CommitJournal() = default;
  CommitJournal(const CommitJournal&) = delete;
  CommitJournal& operator=(const CommitJournal&) = delete;
  ~CommitJournal();

  // Creates the journal in `folder` with the package's digest.
  bool Open(const RunFolder& folder, const uint8_t* digest);
  // Records a file the run has just reserved: a run cut short leaves no
  // reserved file behind once the next run has recovered.
  bool NoteReserved(const WString& name);
  // Appends the commit's plan, on disk before this returns.
  bool WritePlan(const std::vector<JournalStep>& steps);
  // Appends the "complete" mark, on disk before this returns.
  bool MarkCommitted();
  // Appends the "undone" mark, on disk before this returns: the run has
  // undone every step of its plan, and only its reserved files are left.
  bool MarkUndone();
  // Closes and deletes the journal this object created: the run has
  // nothing left to undo.
  bool Remove();
  bool IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }

 private:
  bool Append(const WString& text, bool flush);
  WString name_;  // its full path
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

enum class Recovery {
  kNothing,   // no journal
  kUndone,    // an unfinished commit was undone: targets are as before it
  kFinished,  // a complete commit's deletions were finished
  kKeptBoth,  // undone, but a target was made again meanwhile: the old file
              // stays beside it, and `problem` names the target
  kFailed,    // recovery could not complete; the journal stays
};

// Undoes or finishes the commit a journal in `folder` describes. `digest`
// receives the digest of the package it belonged to. The journal may have been
// planted by someone else: recovery touches nothing unless every line names
// only the applier's own temporaries (by relative name) and the targets its
// steps move them to or from, and no name leads through a link. Another
// user's file under a name the journal holds is not the run's: it is left
// alone, and tells nothing of the step that freed or would have taken that
// name. On kFailed `problem` names what stopped it, relative to the
// folder: the journal, or a link on the way to a name it holds; on
// kKeptBoth, the target made again.
Recovery RecoverInterruptedCommit(const RunFolder& folder, uint8_t* digest,
                                  WString* problem);
