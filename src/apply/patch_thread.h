// The worker that applies a loaded package.
#pragma once

#include <cstdint>

#include "apply/compressed_read_data.h"
#include "package/package_loader.h"
#include "platform/platform.h"
#include "runtime/shared_array.h"
#include "runtime/thread.h"

// Private messages of the progress dialog. Those that carry an address into
// the worker's memory are sent, and valid only while being handled.
constexpr UINT WM_PATCH_QUIT = 0x800;      // posted by the dialog to itself
constexpr UINT WM_PATCH_ERROR = 0x801;     // wParam: ResultCode; lParam: path
constexpr UINT WM_PATCH_COMPLETE = 0x802;  // posted; wParam: see below
constexpr UINT WM_PATCH_FILENAME = 0x803;  // wParam: entry index; lParam: path
constexpr UINT WM_PATCH_PROGRESS = 0x804;  // wParam: const double*, 0.0..1.0
constexpr UINT WM_PATCH_NOTE = 0x805;      // wParam: RemovalNote; lParam: path

// What became of a removal entry (WM_PATCH_NOTE): a file's note is sent when
// it is prepared, a folder's after the commit.
enum RemovalNote : WPARAM {
  kNoteRemoved = 1,  // the old file: it goes with the commit; a folder: gone
  kNoteChanged = 2,  // a file changed since the old version: kept
  kNoteGone = 3,     // nothing was there
  kNoteKept = 4,     // a folder not empty (or another user's, or a link)
};

// The dialog's progress bar runs from 0 to kProgressRange; a fraction shows
// as fraction x kProgressRange, truncated toward zero.
constexpr WORD kProgressRange = 10000;
inline int64_t ProgressPosition(double fraction) {
  return static_cast<int64_t>(fraction * kProgressRange);
}

// WM_PATCH_COMPLETE's wParam: 0 after a commit, this when the folder
// already held every new file and nothing was done.
constexpr WPARAM kCompleteAlreadyApplied = 1;

// The holder through which the program owns the loaded package, published
// before the dialog starts; a worker takes its share of the loader from it.
extern SharedArray<PackageLoader>* g_loaderHolder;

// Applies every entry in two phases. Prepare: each entry, in table order, is
// built into a temporary "ptf" file beside its target and verified (size
// and SHA-256); directories are created; each file to remove is proved to
// be the old one (a file changed since is kept). Commit, only when every
// entry was prepared and no stop was requested: each target and each file
// to remove is moved aside, each new file moved in; only when every entry
// is in place do the moved-aside files become ".bak" backups or get
// deleted, and then folders to remove go where they are empty. Any failure
// undoes every step taken, removes every temporary file, and reports its
// code with the failing target's full path; targets are then as they were.
// A stop request is noticed before each entry and before the commit. A
// folder that already holds every new file, and none of the old files to
// remove, is left alone and reported complete; where empty folders to
// remove are left in it, only they go.
class CPatchThread : public CThread {
 public:
  explicit CPatchThread(HWND dialog);
  ~CPatchThread() override;

  // 0 after the commit (WM_PATCH_COMPLETE posted); otherwise the code that
  // stopped the work, or 0 after a stop request (WM_PATCH_ERROR sent).
  DWORD Run() override;

  HWND dialogWindow;
  SharedArray<PackageLoader> loader;
  // Set before Run: the run only checks, as `selfpatch verify` does. It
  // judges every entry as a run would before its commit (the folder, links
  // and owners on the way, the file to patch by its old digest, a file or
  // folder already at an added name), against the folder as it is and the
  // folders earlier entries make, and writes, reserves, creates and
  // recovers nothing. Each failing entry is sent as WM_PATCH_ERROR, after
  // its WM_PATCH_FILENAME when it got that far; Run returns the first
  // failing entry's code, or 0 (WM_PATCH_COMPLETE posted only when the
  // folder is already patched).
  bool checkOnly = false;

  // Loads from the package on more than one thread hold this lock.
  CCriticalSection packageLock;
  // The shared literal stream the last entry took a window of: the next
  // window of the same stream decodes on from there, not from its start.
  SharedArray<CCompressedReadData> sharedLiteral;
};
