// Directory entries: a directory and every missing one above it.
#pragma once

#include "platform/platform.h"

// True when the path names an existing directory.
bool IsDirectory(const WCHAR* path);

// Creates `path` with its missing parents (either separator): the folders
// below the deepest one on the way that exists are created in order, so a
// full path's root ("C:", a share, a "\\?\" prefix) is never created. A
// folder on the way that exists by the time it is created (made meanwhile)
// is accepted; a file there fails. False for a null path; true for an empty
// one or an existing directory.
bool CreateDirectoryTree(const WCHAR* path);
