// Writing one entry's new content into a file the worker has opened.
#pragma once

#include <cstdint>

#include "apply/code_transform.h"
#include "apply/compressed_read_data.h"
#include "apply/file_data.h"
#include "package/package_format.h"
#include "platform/platform.h"
#include "result/result_codes.h"
#include "runtime/shared_array.h"

class CPatchThread;

// The least time between two progress messages of one file, in
// milliseconds: about as often as a person can see the bar move.
constexpr ULONGLONG kProgressInterval = 30;

// Where the bar stands for the file being written, as `ReportProgress`
// last told the dialog.
struct ProgressPace {
  explicit ProgressPace(HWND window) : dialog(window) {}
  HWND dialog;
  int64_t shown = -1;    // bar position last sent; -1 before the first
  ULONGLONG sentAt = 0;  // GetTickCount64 when the dialog had handled it
  uint64_t clockAt = 0;  // bytes done before the clock is read again
};

// Bytes of a file between two readings of the clock: a reading can cost
// more than moving a KiB, and the bar moves every few KiB of a large file.
constexpr uint64_t kProgressClockBytes = 65536;

// A patched entry's blocks, checked against the package, with its literal
// and difference streams open: compressed ones decode ahead on threads of
// their own from then on, while the worker proves the old file.
struct OpenedBlocks {
  bool compressed = false, seeking = false, grouped = false;
  bool compressedDifferences = false;
  StreamCodec codec = StreamCodec::kLzma;
  uint32_t transform = kTransformNone;
  // The instruction block (a seeking block's instruction part) in the
  // package file, and the transform's parameters.
  uint64_t instructions = 0, instructionSize = 0;
  TransformParameters parameters;
  SharedArray<CFileReadData> literal, differences;
};

// Opens a patched entry's blocks into `blocks`: 0, or 14 when a block does
// not lie inside the package, the entry's options do not fit the package or
// each other, or a seeking block's head or a shared literal's window is not
// valid.
ResultCode OpenBlocks(CPatchThread& worker, const PackageEntry& entry,
                      OpenedBlocks* blocks);

// Rebuilds a patched entry into `output` from `oldFile` (standing at offset
// 0) and its opened blocks. 0, or 14 when the instruction block is empty or
// cannot be held in memory, the instructions do not end with their end
// marker, or the final write fails; in a package with PackageFlagCompressed
// also when the instruction stream does not decode to exactly its count of
// bytes, or the literal stream to exactly the bytes the instructions take.
// The old file of an entry in the ordered form must be proven before; that
// of a seeking entry is proven here, while the entry rebuilds from it
// (COldFileReader::Prove), and 10 when it does not have the entry's old
// digest comes before any other result. Progress goes to the worker's
// dialog.
ResultCode RebuildFile(CPatchThread& worker, OpenedBlocks& blocks,
                       HANDLE oldFile, HANDLE output,
                       const PackageEntry& entry);

// Copies an added entry's literal block into `output` in 64 KiB chunks,
// reporting progress after each (with PackageFlagCompressed: decodes it to
// newSize bytes). 0, or 13 when the block does not lie inside the package, a
// read or write fails, or a compressed block does not decode to exactly
// newSize bytes.
ResultCode WriteAddedFile(const PackageEntry& entry, CPatchThread& worker,
                          HANDLE output);

// Tells the dialog of `context`, a ProgressPace, the fraction done/total of
// the current file, always within 0.0..1.0: a total of 0, or more bytes than
// expected, give 1.0. The message is sent only when it moves the bar, and
// then always for the first report of the file and for the whole file, and
// otherwise only kProgressInterval after the dialog handled the last one
// (the clock is read at most once per kProgressClockBytes).
// The builders report 0 bytes done before anything else, so each file
// starts the bar at 0 (an empty file fills it at once) and ends it at the
// end. Returns 1.
DWORD ReportProgress(uint64_t done, uint64_t total, uintptr_t context);
