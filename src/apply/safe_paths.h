// Where the elevated applier may act. It runs in folders that other users
// may be able to write to: a link planted there (a junction, a symbolic
// link, a mounted volume) would carry its writes, renames and deletions
// out of the folder, and a current folder left at the system's own folder
// would make that the folder patched.
#pragma once

#include "platform/platform.h"

// Whether `name`, relative to the current folder, is reached without
// passing a link: no component of it, the last one included, is a reparse
// point. Components that do not exist (yet) pass; a component whose
// attributes cannot be read does not. On false `link` receives the
// component's name (the name cut after it).
bool ReachedWithoutLinks(const WString& name, WString* link);

// The folder part of a relative name, without its last separator; empty
// for a name in the current folder itself.
WString FolderOf(const WString& name);

// Whether the current folder is the Windows folder or lies below it (the
// system's own Windows folder, the per-user one, or the 32-bit system
// folder), compared as Windows compares names: full, long names, case
// folded. True also when the current folder cannot be resolved.
bool InWindowsFolder();
