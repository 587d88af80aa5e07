// Directory entries: a directory and every missing one above it.
#pragma once

#include "platform/platform.h"

// True when the path names an existing directory.
bool IsDirectory(const WCHAR* path);

// Creates `path` with its missing parents. Separators ('\' and '/') are cut
// points except at the very start and right after a ':', so a drive root is
// never created. An intermediate prefix is accepted when it is a directory,
// is created, or its creation fails with ERROR_ALREADY_EXISTS; the whole
// path must be created by the final call (a file of that name fails).
// False for a null path; true for an empty one or an existing directory.
// The caller's string is never changed.
bool CreateDirectoryTree(const WCHAR* path);
