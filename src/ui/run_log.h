// The log of one run, for administrators: UTF-8 lines ending in CRLF.
//   start <program>
//   folder <folder being patched>
//   check ready | already applied | not this folder | mixed
//   entry <full path>: applied | already applied | not applied | error <n>
//                      | removed | kept: changed since the old version
//                      | kept: not empty | already gone
//   result <code> <message>
// Lines go to the file as they happen; the entries, each with its outcome,
// when the run ends.
#pragma once

#include <vector>

#include "apply/folder_check.h"
#include "apply/patch_thread.h"
#include "platform/platform.h"
#include "result/result_codes.h"
#include "runtime/shared_handle.h"

class RunLog {
 public:
  // Creates or replaces the file; false when it cannot be written.
  bool Open(const WCHAR* path);
  void Line(const WString& text);
  void Check(FolderState state);
  // An entry begun (the worker's WM_PATCH_FILENAME).
  void Begin(const WCHAR* path);
  // An entry that failed with `code`; an empty or null path names none.
  void Fail(ResultCode code, const WCHAR* path);
  // What became of a removal entry (the worker's WM_PATCH_NOTE).
  void Note(RemovalNote note, const WCHAR* path);
  // The entries, those without an outcome given `outcome`, then the result.
  void Finish(ResultCode code, const WCHAR* message, const WCHAR* outcome);

 private:
  struct Entry {
    WString path;
    WString outcome;
    RemovalNote note;  // 0 for none
  };
  Entry& Find(const WCHAR* path);
  SharedHandle file_;
  std::vector<Entry> entries_;
  bool finished_ = false;
};

// The log of this process's run, or null; the dialog and the silent run
// write to it.
extern RunLog* g_runLog;
