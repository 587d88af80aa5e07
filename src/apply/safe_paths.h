// Where the elevated applier may act. It runs in folders that other users
// may be able to write to: a link planted there (a junction, a symbolic
// link, a mounted volume) would carry its writes, renames and deletions
// out of the folder, and a current folder left at the system's own folder
// would make that the folder patched.
#pragma once

#include "platform/platform.h"

// Units a full path may take: the longest a "\\?\" path may be, and the
// terminating zero.
constexpr DWORD kLongPathUnits = 32768;

// The folder a run patches, resolved once, and the full names of the files
// in it for file calls: "\\?\" paths, which Windows takes as they are,
// without the MAX_PATH limit, so that names as long as the package allows
// apply in folders as deep as Windows allows. What a user reads is shown
// without the prefix (GetFullPathNameW of the relative name).
class RunFolder {
 public:
  // Takes the current folder's full path; false when it cannot be read.
  bool Resolve();
  // `relative` (either separator; empty for the folder itself) as a full
  // "\\?\" path.
  WString Full(const WString& relative) const;

 private:
  WString folder_;  // "\\?\" form, without a trailing separator
};

// Whether `name`, relative to `folder`, is reached without
// passing a link: no component of it, the last one included, is a reparse
// point. Components that do not exist (yet) pass; a component whose
// attributes cannot be read does not. On false `link` receives the
// component's name (the name cut after it).
bool ReachedWithoutLinks(const RunFolder& folder, const WString& name,
                         WString* link);

// The folder part of a relative name, without its last separator; empty
// for a name in the current folder itself.
WString FolderOf(const WString& name);

// The outermost folder on the way to `path` (a full path, as a run shows
// it) that does not exist; empty when the folder of `path` exists. What a
// run that cannot reserve a temporary file (7) lacks, said to a person.
WString MissingFolderOn(const WString& path);

// Whether the current folder is the Windows folder or lies below it (the
// system's own Windows folder, the per-user one, or the 32-bit system
// folder), compared as Windows compares names: full, long names, case
// folded. True also when the current folder cannot be resolved.
bool InWindowsFolder();
