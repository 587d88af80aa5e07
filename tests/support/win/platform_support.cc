#include "../platform_support.h"

#include <aclapi.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {
namespace {

const wchar_t kClassName[] = L"SelfpatchRecordingWindow";

LRESULT CALLBACK RecordingProc(HWND window, UINT id, WPARAM w, LPARAM l) {
  auto* self = reinterpret_cast<RecordingWindow*>(
      GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && id >= 0x800 && id <= 0x804) {
    self->Record(id, w, l);
    return TRUE;
  }
  return DefWindowProcW(window, id, w, l);
}

}  // namespace

TestModule::TestModule(const std::filesystem::path& path)
    : handle_(
          LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES)) {}

TestModule::~TestModule() {
  if (handle_ != nullptr) FreeLibrary(handle_);
}

RecordingWindow::RecordingWindow() {
  static const ATOM registered = [] {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    return RegisterClassW(&windowClass);
  }();
  (void)registered;
  handle_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                            nullptr, GetModuleHandleW(nullptr), nullptr);
  SetWindowLongPtrW(handle_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

RecordingWindow::~RecordingWindow() {
  Pump();
  DestroyWindow(handle_);
}

void RecordingWindow::Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessageW(&message);
  }
}

// Windows' clock cannot be stepped: it runs on.
SteppedClock::SteppedClock(ULONGLONG) {}

SteppedClock::~SteppedClock() = default;

namespace {

bool IsLink(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

typedef char*(CDECL* UnixFileName)(LPCWSTR);

// Wine's own export that gives a path's name on the host; null elsewhere.
UnixFileName WineUnixFileName() {
  FARPROC export_ = GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                   "wine_get_unix_file_name");
  return reinterpret_cast<UnixFileName>(reinterpret_cast<void (*)()>(export_));
}

std::wstring HostPath(const std::filesystem::path& path) {
  char* name = WineUnixFileName()(path.c_str());
  if (name == nullptr) return std::wstring();
  std::wstring wide;
  for (const char* c = name; *c != 0; ++c) {
    wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  }
  HeapFree(GetProcessHeap(), 0, name);
  return wide;
}

// Under Wine a program of the host runs as a child process; links made by
// the host's own tools are what Wine shows as reparse points. The child
// cannot be waited for: the caller polls for its effect.
void RunHostTool(const wchar_t* program, std::wstring command) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(program, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) Sleep(10);
  return done();
}

// A junction: a mount-point reparse point on an empty folder.
bool MakeJunction(const std::filesystem::path& link,
                  const std::filesystem::path& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  HANDLE folder = CreateFileW(
      link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  std::wstring substitute = L"\\??\\" + target.wstring();
  std::wstring print = target.wstring();
  // Tag, data length, reserved; then the mount point's four offsets and
  // lengths and both names, each with its terminator.
  std::vector<uint8_t> data(8 + 8);
  auto put16 = [&data](size_t at, size_t value) {
    data[at] = static_cast<uint8_t>(value);
    data[at + 1] = static_cast<uint8_t>(value >> 8);
  };
  size_t substituteBytes = substitute.size() * 2, printBytes = print.size() * 2;
  put16(8, 0);
  put16(10, substituteBytes);
  put16(12, substituteBytes + 2);
  put16(14, printBytes);
  for (const std::wstring* name : {&substitute, &print}) {
    for (wchar_t c : *name + L'\0') {
      data.push_back(static_cast<uint8_t>(c));
      data.push_back(static_cast<uint8_t>(c >> 8));
    }
  }
  DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(data.data(), &tag, 4);
  put16(4, data.size() - 8);
  DWORD returned = 0;
  bool made = folder != INVALID_HANDLE_VALUE &&
              DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, data.data(),
                              static_cast<DWORD>(data.size()), nullptr, 0,
                              &returned, nullptr);
  if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
  if (!made) RemoveDirectoryW(link.c_str());
  return made;
}

}  // namespace

bool MakeLink(const std::filesystem::path& link,
              const std::filesystem::path& target) {
  if (WineUnixFileName() != nullptr) {
    std::wstring from = HostPath(target), to = HostPath(link);
    // Names are passed unquoted: a space would split them.
    if (from.empty() || to.empty() || from.find(L' ') != std::wstring::npos ||
        to.find(L' ') != std::wstring::npos) {
      return false;
    }
    RunHostTool(L"Z:\\bin\\ln", L"ln -s " + from + L" " + to);
    Eventually([&link] { return IsLink(link); });
  } else if (std::filesystem::is_directory(target)) {
    MakeJunction(link, target);
  } else {
    CreateSymbolicLinkW(link.c_str(), target.c_str(),
                        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  }
  if (IsLink(link)) return true;
  RemoveLink(link);
  return false;
}

void RemoveLink(const std::filesystem::path& link) {
  if (WineUnixFileName() != nullptr) {
    std::wstring name = HostPath(link);
    if (name.empty() || name.find(L' ') != std::wstring::npos) return;
    RunHostTool(L"Z:\\bin\\rm", L"rm -f " + name);
    // A file link reads as the file it leads to, or as missing.
    Eventually([&link] {
      return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES ||
             !IsLink(link);
    });
  } else if (!RemoveDirectoryW(link.c_str())) {
    DeleteFileW(link.c_str());
  }
}

namespace {

// The owner of the file at `path`, as its SID's bytes; empty when unknown.
std::vector<BYTE> OwnerOf(const std::filesystem::path& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  const BYTE* bytes = static_cast<const BYTE*>(owner);
  std::vector<BYTE> sid(bytes, bytes + GetLengthSid(owner));
  LocalFree(descriptor);
  return sid;
}

// Lets this process give files to others, where its token holds the right.
void EnableRestorePrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
    return;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege",
                            &privileges.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

}  // namespace

// hold_file.exe, beside the test program, holds the file and signals the
// event once it does.
struct HeldElsewhere::Hold {
  HANDLE process = nullptr;
  bool held = false;
};

HeldElsewhere::HeldElsewhere(const std::filesystem::path& path,
                             DWORD milliseconds)
    : hold_(new Hold) {
  std::wstring event = L"selfpatch-held-" +
                       std::to_wstring(GetCurrentProcessId()) + L"-" +
                       std::to_wstring(GetTickCount64());
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
  if (ready == nullptr) return;
  std::wstring helper =
      (OwnExecutable().parent_path() / "hold_file.exe").wstring();
  std::wstring command = L"\"" + helper + L"\" \"" + path.wstring() + L"\" " +
                         std::to_wstring(milliseconds) + L" " + event;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (CreateProcessW(helper.c_str(), &command[0], nullptr, nullptr, FALSE, 0,
                     nullptr, nullptr, &startup, &started)) {
    CloseHandle(started.hThread);
    hold_->process = started.hProcess;
    HANDLE both[] = {ready, started.hProcess};
    hold_->held =
        WaitForMultipleObjects(2, both, FALSE, 20000) == WAIT_OBJECT_0;
  }
  CloseHandle(ready);
}

HeldElsewhere::~HeldElsewhere() {
  if (hold_->process == nullptr) return;
  if (WaitForSingleObject(hold_->process, 30000) != WAIT_OBJECT_0)
    TerminateProcess(hold_->process, 1);
  CloseHandle(hold_->process);
}

bool HeldElsewhere::Held() const { return hold_->held; }

std::vector<std::string> ListFolder(const std::filesystem::path& path) {
  std::wstring pattern = L"\\\\?\\" + path.wstring() + L"\\*";
  for (wchar_t& c : pattern) c = c == L'/' ? L'\\' : c;
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..")
      names.push_back(std::filesystem::path(name).u8string());
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

bool GiveToAnotherUser(const std::filesystem::path& path) {
  const std::vector<BYTE> before = OwnerOf(path);
  if (before.empty()) return false;
  if (WineUnixFileName() != nullptr) {
    std::wstring name = HostPath(path);
    if (name.empty() || name.find(L' ') != std::wstring::npos) return false;
    RunHostTool(L"Z:\\bin\\chown", L"chown 12345 " + name);
  } else {
    EnableRestorePrivilege();
    BYTE other[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof other;
    if (!CreateWellKnownSid(WinNetworkServiceSid, nullptr, other, &size))
      return false;
    std::wstring name = path.wstring();
    SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                          other, nullptr, nullptr, nullptr);
  }
  return Eventually([&] {
    std::vector<BYTE> now = OwnerOf(path);
    return !now.empty() && now != before;
  });
}

std::filesystem::path WindowsFolder() {
  wchar_t folder[MAX_PATH];
  UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
  return std::filesystem::path(std::wstring(folder, length));
}

std::filesystem::path OwnExecutable() {
  wchar_t path[4096];
  GetModuleFileNameW(nullptr, path, 4096);
  return path;
}

}  // namespace testing_support
