// Rules on a package's names taken together: which names cannot share one
// folder on Windows. The loader refuses such a table and the producer
// refuses to write one, through the same function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

// The file in which the applier journals its commit, in the folder it
// patches.
extern const WCHAR kJournalName[];
// Appended to a replaced file's name when the package keeps backups.
extern const WCHAR kBackupSuffix[];

// Whether a file name (one component) has the form of the applier's
// temporary files: "ptf", one to four or eight hex digits, ".tmp", in any
// case. Recovery takes such a name for one of its own, so no entry may
// have it.
bool IsTemporaryName(const WString& component);

// Orders relative names as Windows compares them (the rule of kSameFile
// below): two names it takes for one file are equivalent. For finding a
// name the way the applier will meet it on Windows.
struct WindowsNameOrder {
  bool operator()(const WString& a, const WString& b) const;
};

struct NamedEntry {
  WString name;  // relative, either separator
  uint8_t kind;  // what the entry does (EntryKindAdd for a file rebuilt
                 // from a source: it is placed as an added file is)
};

enum class NameClash {
  kNone,
  kSameFile,    // `first` and `second` name one file: Windows ignores case
                // (CompareStringOrdinal's case folding) and repeated
                // separators
  kBackupName,  // `second` is the backup name of `first`, a patched or
                // removed file
  kJournal,     // `first` is, or lies under, the journal's name
  kTemporary,   // a component of `first` is named as a temporary file
  kUnderAFile,  // `second` lies below `first`, which a patch or add entry
                // makes a file
};

// The two entries' indexes, as each clash describes them; a journal name
// gives its one entry twice.
struct NameCollision {
  NameClash clash = NameClash::kNone;
  size_t first = 0;
  size_t second = 0;
};

// The first collision among `entries` (checked in the order of NameClash),
// or kNone. Backup names count only when `keepsBackups`.
NameCollision FindNameCollision(const std::vector<NamedEntry>& entries,
                                bool keepsBackups);
