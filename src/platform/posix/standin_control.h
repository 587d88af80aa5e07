// Control interface of the POSIX stand-in, for tests only: what a test needs
// to set up and observe that Win32 itself would leave to the machine (which
// file a module is, which calls fail, what the user answers).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform_os.h"

namespace standin {

// A module handle whose file is the file at `path` (UTF-8).
HMODULE RegisterModule(const std::string& path);

// The folder GetWindowsDirectoryW reports (UTF-8); "/windows" until set.
void SetWindowsDirectory(const std::string& path);

// ---- Owners -----------------------------------------------------------------
enum class User {
  // Elevated: its token's owner is the Administrators group, its user the
  // person's own account.
  kAdministrator,
  // The same person before elevating: token owner and user are their own
  // account, which owns what they make (a per-user install).
  kAdministratorUnelevated,
  // Another local user, who can plant files in the folder.
  kOther,
};
// From now on the process acts as `user`: its token names that user, and
// what the stand-in creates is owned by it. The process starts as the
// administrator.
void ActAs(User user);
// Makes the file or folder at `path` (UTF-8) owned by `user`, as if `user`
// had made it.
void SetOwner(const std::string& path, User user);

// ---- Faults -----------------------------------------------------------------
// Every file-system call of the stand-in (CreateFileW, ReOpenFile, ReadFile,
// WriteFile, SetFilePointer, GetFileSize, GetFileTime, SetFileTime,
// GetFileAttributesW, SetFileAttributesW, GetFullPathNameW, MoveFileW,
// MoveFileExW, DeleteFileW, CreateDirectoryW, RemoveDirectoryW,
// FindFirstFileW, FlushFileBuffers, GetFileInformationByHandle,
// GetSecurityInfo) counts as one "call" with an ordinal; a fault makes one
// chosen call fail with `error`.
void FailCall(const std::string& function, uint64_t nth, DWORD error);
void FailNthCall(uint64_t ordinal, DWORD error);
// Clears faults and counters; the next call is ordinal 1.
void ResetCalls();
uint64_t CallCount();
uint64_t CallCount(const std::string& function);
// Called on every counted call, before faults are applied, with the
// function's name and its ordinal.
void SetCallObserver(std::function<void(const char*, uint64_t)> observer);

// The calls that made the file system change or keep a file (FlushFileBuffers,
// MoveFileW, DeleteFileW, SetFileTime), in the order they succeeded, each
// with the file's native path: for a call through a handle the name it was
// opened by, for a rename also the new name. What a power loss may undo is
// what was not flushed before; tests read the order from here. Cleared by
// ResetCalls.
struct FileCall {
  std::string function;
  std::string path;
  std::string newPath;
};
std::vector<FileCall> FileCalls();

// The files MoveFileExW has scheduled for deletion at the next start, as
// native paths, oldest first; cleared by ResetCalls.
std::vector<std::string> ScheduledDeletions();

// Holds the file at `path` (UTF-8) open, as a virus scanner holds a file
// just written: others may read it, nobody may write, rename or delete it.
// The hold ends on another thread once `milliseconds` have passed, or when
// the object is destroyed, whichever comes first.
class FileHold {
 public:
  FileHold(const std::string& path, DWORD milliseconds);
  ~FileHold();
  FileHold(const FileHold&) = delete;
  FileHold& operator=(const FileHold&) = delete;
  bool Held() const { return file_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE file_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool ending_ = false;
  std::thread thread_;
};

// ---- Clock ------------------------------------------------------------------
// With a step of n > 0, GetTickCount64 turns into a clock that moves only
// when read: each reading is n milliseconds after the one before, so time
// is counted in readings. 0 goes back to the machine's clock.
void SetClockStep(ULONGLONG milliseconds);

// ---- Windows ----------------------------------------------------------------
// A window that handles every message on the thread that sends or posts it.
typedef std::function<LRESULT(UINT, WPARAM, LPARAM)> SinkHandler;
HWND CreateSinkWindow(SinkHandler handler);
void DestroySinkWindow(HWND window);

struct MessageBoxRecord {
  HWND owner;
  std::u16string text;
  std::u16string caption;
  UINT type;
};
// Answers every MessageBoxW; without one, MB_OK boxes answer IDOK and
// MB_YESNO boxes IDYES. The handler runs on the thread that shows the box.
void SetMessageBoxHandler(std::function<int(const MessageBoxRecord&)> handler);
std::vector<MessageBoxRecord> MessageBoxes();

struct FolderPickerRecord {
  HWND owner;
  std::u16string title;
  DWORD options;
};
// Answers every folder picker with a folder, or an empty string for Cancel;
// without one, every picker is cancelled. The handler runs on the thread
// that shows the picker.
void SetFolderPickerHandler(
    std::function<std::u16string(const FolderPickerRecord&)> handler);
std::vector<FolderPickerRecord> FolderPickers();

// Called on the dialog's thread when DialogBoxParamW has created the
// dialog, before WM_INITDIALOG.
void SetDialogObserver(std::function<void(HWND)> observer);
// What the dialog's controls have shown, oldest first.
std::vector<std::u16string> ControlTexts(HWND dialog, int id);
std::vector<int> ProgressPositions(HWND dialog, int id);
// Low and high of the last PBM_SETRANGE.
std::pair<int, int> ProgressRange(HWND dialog, int id);

// Clears message boxes, observers and handlers.
void ResetUi();

}  // namespace standin
