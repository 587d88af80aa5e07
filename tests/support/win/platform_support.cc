#include "../platform_support.h"

#include <aclapi.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "apply/patch_thread.h"

namespace testing_support {
namespace {

const wchar_t kClassName[] = L"SelfpatchRecordingWindow";

LRESULT CALLBACK RecordingProc(HWND window, UINT id, WPARAM w, LPARAM l) {
  auto* self = reinterpret_cast<RecordingWindow*>(
      GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && id >= WM_PATCH_QUIT && id <= WM_PATCH_NOTE) {
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

// Runs the host's /bin/TOOL with `arguments` and then the host's names of
// `paths`, and waits until `done` holds (a program of the host cannot be
// waited for). Only under Wine, whose links and owners are the host's; false
// elsewhere, and for a name with a space (names are passed unquoted).
bool HostTool(const std::wstring& tool, const std::wstring& arguments,
              std::initializer_list<std::filesystem::path> paths,
              const std::function<bool()>& done) {
  typedef char*(CDECL * UnixFileName)(LPCWSTR);
  auto unixName = reinterpret_cast<UnixFileName>(
      reinterpret_cast<void (*)()>(GetProcAddress(
          GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return false;
  std::wstring command = tool + L" " + arguments;
  for (const std::filesystem::path& path : paths) {
    char* name = unixName(path.c_str());
    if (name == nullptr) return false;
    const std::string host(name);
    HeapFree(GetProcessHeap(), 0, name);
    if (host.find(' ') != std::string::npos) return false;
    command += L' ';
    for (char c : host) command += static_cast<unsigned char>(c);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (CreateProcessW((L"Z:\\bin\\" + tool).c_str(), &command[0], nullptr,
                     nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  for (int i = 0; i < 500 && !done(); ++i) Sleep(10);
  return done();
}

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

}  // namespace

bool MakeLink(const std::filesystem::path& link,
              const std::filesystem::path& target) {
  if (HostTool(L"ln", L"-s", {target, link}, [&] { return IsLink(link); }))
    return true;
  RemoveLink(link);
  return false;
}

void RemoveLink(const std::filesystem::path& link) {
  // A file link reads as the file it leads to, or as missing.
  HostTool(L"rm", L"-f", {link}, [&] {
    return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES ||
           !IsLink(link);
  });
}

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
  return !before.empty() && HostTool(L"chown", L"12345", {path}, [&] {
    std::vector<BYTE> now = OwnerOf(path);
    return !now.empty() && now != before;
  });
}

std::filesystem::path WindowsFolder() {
  wchar_t folder[MAX_PATH];
  UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
  return std::filesystem::path(std::wstring(folder, length));
}

}  // namespace testing_support
