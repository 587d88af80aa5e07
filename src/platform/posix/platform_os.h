// The Win32 subset the system uses, for POSIX systems.
//
// Every function here behaves as its Win32 namesake does in the ways the
// system relies on (see each group's notes); nothing else of Win32 exists.
// Paths accept both '\' and '/' as separators. Handles are heap objects of
// the stand-in; INVALID_HANDLE_VALUE and null keep their Win32 meanings.
#pragma once

#include <cstddef>
#include <cstdint>

#define WTXT(s) u##s
#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t ULONGLONG;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef void* HANDLE;
typedef struct SpModule* HMODULE;
typedef HMODULE HINSTANCE;
typedef struct SpWindow* HWND;
typedef struct SpSecurityAttributes* LPSECURITY_ATTRIBUTES;
typedef struct SpOverlapped* LPOVERLAPPED;

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// ---- Errors --------------------------------------------------------------
#define ERROR_SUCCESS 0u
#define NO_ERROR 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_LOCK_VIOLATION 33u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_DIR_NOT_EMPTY 145u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_DIRECTORY 267u
#define ERROR_CANCELLED 1223u
DWORD GetLastError();
void SetLastError(DWORD code);

// ---- Files ---------------------------------------------------------------
// Share modes are enforced between the stand-in's own handles: an open that
// conflicts with an earlier one, and a delete or rename of a file opened
// without FILE_SHARE_DELETE, fail with ERROR_SHARING_VIOLATION. As on
// Windows, only a handle that may read or write the data (GENERIC_READ,
// GENERIC_WRITE, FILE_READ_DATA, which for a folder is FILE_LIST_DIRECTORY)
// takes part: one opened for its attributes or owner alone does not. The
// read-only attribute is enforced by the stand-in itself (it holds even for
// root): opening for writing and deleting fail with ERROR_ACCESS_DENIED;
// renaming is allowed, as on Windows.
#define INVALID_HANDLE_VALUE \
  (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define READ_CONTROL 0x00020000u
#define FILE_READ_DATA 0x1u
#define FILE_LIST_DIRECTORY 0x1u
#define FILE_READ_ATTRIBUTES 0x80u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

// A folder opens only with FILE_FLAG_BACKUP_SEMANTICS (else
// ERROR_ACCESS_DENIED), and then cannot be read or written; while it is
// open without FILE_SHARE_DELETE it cannot be renamed or removed
// (ERROR_SHARING_VIOLATION). With FILE_FLAG_OPEN_REPARSE_POINT a link opens
// as itself, not as what it leads to.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
// A second handle of the file `file` is open on, with its own position,
// access and sharing, checked against every handle open on the file. Flags
// only: attributes are ERROR_INVALID_PARAMETER.
HANDLE ReOpenFile(HANDLE file, DWORD access, DWORD share, DWORD flags);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
DWORD SetFilePointer(HANDLE file, LONG distanceLow, PLONG distanceHigh,
                     DWORD method);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
// Creation time is not kept by POSIX file systems: it reads as the last
// status change and cannot be set (SetFileTime ignores it).
BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess,
                 FILETIME* lastWrite);
BOOL SetFileTime(HANDLE file, const FILETIME* creation,
                 const FILETIME* lastAccess, const FILETIME* lastWrite);
// A symbolic link is what Windows calls a reparse point: its own attributes
// are reported (FILE_ATTRIBUTE_REPARSE_POINT, plus FILE_ATTRIBUTE_DIRECTORY
// when it leads to a directory), not those of what it leads to. Every other
// call follows links, as Win32 does without FILE_FLAG_OPEN_REPARSE_POINT,
// except MoveFileW and DeleteFileW, which act on the link itself (deleting
// a link to a directory fails with ERROR_ACCESS_DENIED).
DWORD GetFileAttributesW(LPCWSTR name);
BOOL SetFileAttributesW(LPCWSTR name, DWORD attributes);
// Resolves against the current directory; '.' and '..' are collapsed and
// the result uses '/'. filePart is null when the path ends in a separator.
DWORD GetFullPathNameW(LPCWSTR name, DWORD bufferLength, LPWSTR buffer,
                       LPWSTR* filePart);
// Fails with ERROR_ALREADY_EXISTS when the destination exists.
BOOL MoveFileW(LPCWSTR existing, LPCWSTR newName);
#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x4u
// Two uses only. MOVEFILE_REPLACE_EXISTING with a new name: a file moved
// onto another, which it replaces; a folder or a read-only file there is
// refused with ERROR_ACCESS_DENIED, as one held open without
// FILE_SHARE_DELETE is. MOVEFILE_DELAY_UNTIL_REBOOT with no new name: the
// deletion of an existing file when Windows next starts; the stand-in
// never restarts: it records the file (standin::ScheduledDeletions).
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags);
BOOL DeleteFileW(LPCWSTR name);
BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security);
// The folder relative names resolve against, for the whole process. As on
// Windows, it keeps the name it was given: a link on the way stays in the
// full paths made from it.
BOOL SetCurrentDirectoryW(LPCWSTR name);
// Removes an empty folder; of a link to a folder (a junction) only the link
// goes, never what it leads to. A file fails with ERROR_DIRECTORY, a folder
// that is not empty with ERROR_DIR_NOT_EMPTY, one open without
// FILE_SHARE_DELETE with ERROR_SHARING_VIOLATION.
BOOL RemoveDirectoryW(LPCWSTR name);
struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
// Lists a folder: `pattern` is the folder's path and "\*" (the stand-in
// knows no other pattern). Each call gives one name in `data->cFileName`,
// "." and ".." first, as NTFS gives them; FindNextFileW fails with
// ERROR_NO_MORE_FILES after the last. A folder that is not there (or a
// file) fails with ERROR_PATH_NOT_FOUND.
HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE find);
// The stand-in has no short (8.3) names: an existing path is its own long
// name; a missing one fails with ERROR_FILE_NOT_FOUND.
DWORD GetLongPathNameW(LPCWSTR shortPath, LPWSTR longPath, DWORD bufferLength);
// The Windows folder is "/windows" unless a test sets another
// (standin::SetWindowsDirectory); the system's own copy of it is the same
// folder, and the 32-bit system folder is its "SysWOW64", as on 64-bit
// Windows. Each returns the length without the terminator, or the size
// needed with it when the buffer is too small.
UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size);
UINT GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size);
UINT GetSystemWow64DirectoryW(LPWSTR buffer, UINT size);
BOOL CloseHandle(HANDLE object);

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
// Attributes as GetFileAttributesW gives them for what the handle is open
// on (a link opened as itself is a reparse point), and its count of hard
// links.
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
// The path of what the handle is open on, every link on the way followed, in
// the long form ("\\?\" and the path); the length without the terminator,
// or the size needed with it when `size` is too small.
#define FILE_NAME_NORMALIZED 0x0u
#define VOLUME_NAME_DOS 0x0u
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD size,
                                DWORD flags);

// ---- Security
// ---------------------------------------------------------------- Every file
// and folder has an owner, kept with the file itself (its hard links share it):
// the user it was made under, which it keeps when renamed. The process runs as
// an elevated administrator: its token's owner, and so the owner of what it
// makes, is the Administrators group; its token's user is the administrator's
// own account. A file made by other means than the stand-in counts as made by
// the process. The control interface lets tests act as another user. A SID is a
// small value of the stand-in's own, valid in a buffer of SECURITY_MAX_SID_SIZE
// bytes.
typedef struct SpSid* PSID;
typedef void* PSECURITY_DESCRIPTOR;
typedef struct SpAcl* PACL;
typedef void* HLOCAL;
typedef DWORD SECURITY_INFORMATION;
#define OWNER_SECURITY_INFORMATION 0x1u
#define SECURITY_MAX_SID_SIZE 68
#define TOKEN_QUERY 0x8u
enum SE_OBJECT_TYPE { SE_FILE_OBJECT = 1 };
enum WELL_KNOWN_SID_TYPE {
  WinLocalSystemSid = 22,
  WinBuiltinAdministratorsSid = 26,
};
enum TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenOwner = 4 };
struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};
struct TOKEN_OWNER {
  PSID Owner;
};
// Only the owner is kept: the descriptor holds it and is freed with
// LocalFree. Returns a Win32 error code.
DWORD GetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type,
                      SECURITY_INFORMATION what, PSID* owner, PSID* group,
                      PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
HLOCAL LocalFree(HLOCAL block);
BOOL CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domain, PSID sid,
                        DWORD* size);
BOOL EqualSid(PSID first, PSID second);
// The process's own pseudo handle, and its token (closed with CloseHandle).
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
// TokenUser and TokenOwner: the structure, with its SID in the same buffer;
// ERROR_INSUFFICIENT_BUFFER and the size needed when it does not fit.
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type,
                         LPVOID information, DWORD length, DWORD* needed);

// ---- Strings ---------------------------------------------------------------
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3
// Compares UTF-16 unit by unit (a length of -1: up to the terminator). With
// ignoreCase each unit is first upper-cased by its simple Unicode mapping,
// as Windows' own table does (surrogates stay as they are).
int CompareStringOrdinal(LPCWSTR first, int firstLength, LPCWSTR second,
                         int secondLength, BOOL ignoreCase);
#define CP_UTF8 65001
// UTF-16 to UTF-8 (codePage CP_UTF8, flags 0): a length of -1 includes the
// terminator; a lone surrogate becomes U+FFFD. With no buffer, the size
// the text needs; otherwise the bytes written, or 0 when they do not fit.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length,
                        char* buffer, int bufferSize, const char* defaultChar,
                        BOOL* usedDefault);

// ---- Modules ---------------------------------------------------------------
// GetModuleHandleW(null) is the process's executable; the stand-in's control
// interface can register further modules backed by any file.
HMODULE GetModuleHandleW(LPCWSTR name);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);

// ---- Threads and synchronisation ------------------------------------------
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 0x102u
#define WAIT_FAILED 0xFFFFFFFFu

struct CRITICAL_SECTION {
  void* impl;
};

// The runtime library's thread creation; the thread starts at once unless
// a creation flag says otherwise (the stand-in supports none).
uintptr_t _beginthreadex(void* security, unsigned stackSize,
                         unsigned(WINAPI* start)(void*), void* argument,
                         unsigned flags, unsigned* threadId);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll,
                             DWORD milliseconds);
// POSIX cannot stop another thread's scheduling: the stand-in keeps each
// thread's suspend count and reports it as Win32 does, but the thread runs on.
DWORD SuspendThread(HANDLE thread);
DWORD ResumeThread(HANDLE thread);
DWORD GetCurrentThreadId();
void Sleep(DWORD milliseconds);
// Milliseconds since an arbitrary start, never going back.
ULONGLONG GetTickCount64();
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                    BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

// ---- User interface
// ---------------------------------------------------------- A window is
// handled on the thread that created it: a message sent from another thread
// waits until that thread's message loop has handled it. DialogBoxParamW runs a
// headless message loop; MessageBoxW returns answers scripted through the
// control interface.
#define WM_CLOSE 0x0010u
#define WM_INITDIALOG 0x0110u
#define WM_COMMAND 0x0111u
#define WM_USER 0x0400u
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_GETPOS (WM_USER + 8)
#define MB_OK 0x0u
#define MB_YESNO 0x4u
#define MB_ICONERROR 0x10u
#define MB_ICONQUESTION 0x20u
#define MB_ICONINFORMATION 0x40u
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
#define MAKELPARAM(low, high)                                         \
  (static_cast<LPARAM>((static_cast<DWORD>(static_cast<WORD>(low))) | \
                       (static_cast<DWORD>(static_cast<WORD>(high)) << 16)))
#define MAKEINTRESOURCEW(id) \
  (reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(static_cast<WORD>(id))))

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

// Windows of a registered class, made with CreateWindowExW, are handled on
// the thread that made them; the stand-in runs no message loop for them, so
// only messages sent from that thread reach their procedure.
typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
struct WNDCLASSW {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  void* hIcon;
  void* hCursor;
  void* hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
};
typedef WORD ATOM;
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<intptr_t>(-3)))

ATOM RegisterClassW(const WNDCLASSW* windowClass);
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName,
                     DWORD style, int x, int y, int width, int height,
                     HWND parent, void* menu, HINSTANCE instance, LPVOID param);
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL DestroyWindow(HWND window);

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner,
                        DLGPROC proc, LPARAM initParam);
BOOL EndDialog(HWND dialog, INT_PTR result);
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
HWND GetDlgItem(HWND dialog, int id);
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---- Folder picker (COM)
// ----------------------------------------------------- The common file dialog
// as a folder picker: CoCreateInstance gives an IFileOpenDialog whose Show
// returns the answer scripted through the control interface; a cancelled picker
// returns HRESULT_FROM_WIN32(ERROR_CANCELLED). Only the methods the system
// calls exist.
typedef LONG HRESULT;
typedef DWORD FILEOPENDIALOGOPTIONS;
struct GUID {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
typedef const GUID& REFCLSID;
typedef const GUID& REFIID;
#define S_OK 0
#define S_FALSE 1
#define E_FAIL (static_cast<HRESULT>(0x80004005u))
#define E_NOINTERFACE (static_cast<HRESULT>(0x80004002u))
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_FROM_WIN32(x)    \
  (static_cast<HRESULT>(x) <= 0  \
       ? static_cast<HRESULT>(x) \
       : static_cast<HRESULT>(((x)&0x0000FFFFu) | (7u << 16) | 0x80000000u))
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_DISABLE_OLE1DDE 0x4u
#define CLSCTX_INPROC_SERVER 0x1u
#define FOS_PICKFOLDERS 0x20u
#define FOS_FORCEFILESYSTEM 0x40u
enum SIGDN : uint32_t { SIGDN_FILESYSPATH = 0x80058000u };

struct IShellItem {
  virtual HRESULT GetDisplayName(SIGDN form, LPWSTR* name) = 0;
  virtual DWORD Release() = 0;

 protected:
  virtual ~IShellItem() = default;
};

struct IFileOpenDialog {
  virtual HRESULT GetOptions(FILEOPENDIALOGOPTIONS* options) = 0;
  virtual HRESULT SetOptions(FILEOPENDIALOGOPTIONS options) = 0;
  virtual HRESULT SetTitle(LPCWSTR title) = 0;
  virtual HRESULT Show(HWND owner) = 0;
  virtual HRESULT GetResult(IShellItem** item) = 0;
  virtual DWORD Release() = 0;

 protected:
  virtual ~IFileOpenDialog() = default;
};

extern const GUID CLSID_FileOpenDialog;
extern const GUID IID_IFileOpenDialog;

HRESULT CoInitializeEx(LPVOID reserved, DWORD flags);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID classId, void* outer, DWORD context,
                         REFIID interfaceId, LPVOID* object);
void CoTaskMemFree(LPVOID block);
