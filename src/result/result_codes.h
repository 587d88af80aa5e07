// The outcome of loading and applying a package: one numbering for both.
// The numbers are fixed: users and packages rely on them.
#pragma once

#include <cstdint>

#include "platform/platform.h"

typedef uint32_t ResultCode;

enum : ResultCode {
  ResultSuccess = 0,
  // Loading the package.
  ResultImageEnd = 1,         // the end of the PE image cannot be computed
  ResultOpenPackage = 2,      // the executable cannot be opened
  ResultPackageTooSmall = 3,  // nothing (or too little) appended
  ResultBadMagic = 4,         // the header's magic differs
  ResultBadDigest = 5,        // unreadable or damaged package bytes
  ResultBadEntryList = 6,     // the entry table cannot be read
  // Applying it.
  ResultNoTempName = 7,        // no temporary file in the target's folder
  ResultOpenSource = 8,        // a file to patch cannot be opened
  ResultOpenTarget = 9,        // a temporary file cannot be opened
  ResultSourceMismatch = 10,   // a file to patch is not the expected one
  ResultTargetMismatch = 11,   // a written file is not the expected one
  ResultTargetExists = 12,     // a file to add exists already
  ResultCreateFailed = 13,     // writing an added file failed
  ResultUpdateFailed = 14,     // rebuilding or committing a file failed
  ResultInWindowsFolder = 15,  // the current folder is in the Windows folder
  ResultLinkOnPath = 16,       // a target is reached through a link, has
                               // other names, or is another user's
  // Starting the program.
  ResultBadCommandLine = 17,  // an unknown switch, or one without its value
};

// The Japanese message for `code`, a constant string that lives for the
// whole process; codes above 17 share the "unknown error" message.
const WCHAR* GetResultMessage(ResultCode code);
