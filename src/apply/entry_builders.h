// Writing one entry's new content into a file the worker has opened.
#pragma once

#include <cstdint>

#include "package/package_format.h"
#include "platform/platform.h"
#include "result/result_codes.h"

class CPatchThread;

// Rebuilds a patched entry into `output` from `oldFile` (standing at offset
// 0) and the entry's instruction and literal blocks. 0, or 14 when a block
// does not lie inside the package, the instruction block is empty or cannot
// be held in memory, the instructions do not end with their end marker, or
// the final write fails. Progress goes to the worker's dialog.
ResultCode RebuildFile(CPatchThread& worker, HANDLE oldFile, HANDLE output,
                       const PackageEntry& entry);

// Copies an added entry's literal block into `output` in 64 KiB chunks,
// reporting progress after each. 0, or 13 when the block does not lie inside
// the package or a read or write fails.
ResultCode WriteAddedFile(const PackageEntry& entry, CPatchThread& worker,
                          HANDLE output);

// Sends the dialog (`context`) the fraction done/total of the current file,
// always within 0.0..1.0: a total of 0, or more bytes than expected, give
// 1.0. Returns 1.
DWORD ReportProgress(uint64_t done, uint64_t total, uintptr_t context);
