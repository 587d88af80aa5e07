// What a folder looks like to a package, judged before any work from the
// entries alone: whether the patch can start here, was applied here
// already, or belongs to another folder.
#pragma once

#include <cstddef>

#include "package/package_loader.h"
#include "package/sha256.h"
#include "result/result_codes.h"
#include "runtime/shared_array.h"

enum FolderState {
  // Every file to patch has its old size and no file to add exists: the
  // worker starts (and still proves each old file by its digest).
  FolderReady,
  // Every file to patch and every added file has its new size and digest,
  // every directory exists, no file to remove is still the old one (gone,
  // or changed since and so kept), and no folder to remove is one a run
  // would remove (empty and ours). Nothing is left to do.
  FolderApplied,
  // The package patches files and none of them exists here, nor any
  // source, nor a journal of a run cut short.
  FolderNotHere,
  // Anything else: the worker starts and stops at the first entry that
  // fails, as it would without the check.
  FolderMixed,
  // As FolderApplied, but a folder to remove is still one a run would
  // remove (a run that could not, one held open then, kept it): the
  // worker removes such folders and nothing else.
  FolderFilesApplied,
};

struct FolderCheck {
  FolderState state;
  // FolderNotHere: the entry a run here would fail at first and its code
  // (7 when its folder is missing, 8 for a missing file to patch, 12 for
  // an existing file to add).
  size_t failedEntry;
  ResultCode failure;
};

// Judges the current folder against the loader's entries. Sizes come
// first: only when every file already has its new size are digests
// computed, in table order, stopping at the first that differs. Reads
// only; a file that cannot be opened counts as not having its new content.
FolderCheck CheckFolder(const PackageLoader& loader,
                        const SharedArray<IHashCode>& hash);
