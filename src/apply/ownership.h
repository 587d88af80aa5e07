// Whose a file is. Other users may create files in the folder, but not
// change or delete what an administrator made: a file made by the elevated
// applier is owned by the Administrators group (or by the account itself,
// or by the system), and no other user can give a file of theirs to one of
// those. Recovery acts only on such files, checked on the handle of the
// very file it then acts on, and never on one that has other names (a hard
// link shares its attributes with a file elsewhere).
#pragma once

#include "platform/platform.h"

// Whether the file or folder open as `file` is owned by the Administrators
// group, the system, or the account this process runs as (its token's owner
// or user). False when the owner cannot be read.
bool OwnedByUs(HANDLE file);

// Whether the file open as `file` has exactly one name (one hard link).
bool HasOneName(HANDLE file);

// Whether the file open as `file` is a plain file of ours: one name, not a
// link or a folder, owned by us.
bool IsOurPlainFile(HANDLE file);

enum class Found {
  kMissing,  // nothing under the name
  kOurs,     // a file of ours, under its only name, not a link
  kForeign,  // anything else: another user's, a hard link, a link, a folder
};

// What lies under `name` (relative to the current folder).
Found Examine(const WString& name);

// Whether a folder (not a link) of ours is under `name`.
bool FolderOwnedByUs(const WString& name);

// Sets the attributes of the file under `name` unless it has other names
// (or is a link): true when they were set.
bool SetAttributesOfOnlyName(const WString& name, DWORD attributes);
