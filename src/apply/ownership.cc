#include "apply/ownership.h"

namespace {

// Whether `sid` is the token's owner or user.
bool NamedByToken(PSID sid) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  bool named = false;
  // The structures, each with its SID in the same buffer.
  union {
    TOKEN_OWNER owner;
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    void* align;
  } buffer;
  DWORD size = 0;
  if (GetTokenInformation(token, TokenOwner, &buffer, sizeof buffer, &size))
    named = EqualSid(sid, buffer.owner.Owner) != FALSE;
  if (!named &&
      GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size))
    named = EqualSid(sid, buffer.user.User.Sid) != FALSE;
  CloseHandle(token);
  return named;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  union {
    BYTE bytes[SECURITY_MAX_SID_SIZE];
    void* align;
  } known;
  DWORD size = sizeof known;
  return CreateWellKnownSid(type, nullptr, reinterpret_cast<PSID>(&known),
                            &size) &&
         EqualSid(sid, reinterpret_cast<PSID>(&known));
}

}  // namespace

bool OwnedByUs(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                      nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  bool ours = owner != nullptr &&
              (IsWellKnown(owner, WinBuiltinAdministratorsSid) ||
               IsWellKnown(owner, WinLocalSystemSid) || NamedByToken(owner));
  LocalFree(descriptor);
  return ours;
}

bool HasOneName(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1;
}

namespace {

// The file or folder under `name` itself, for reading its owner and
// attributes; INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE OpenItself(const WString& name) {
  return CreateFileW(name.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

}  // namespace

bool IsOurPlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
         !(info.dwFileAttributes &
           (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
         OwnedByUs(file);
}

Found Examine(const WString& name) {
  HANDLE file = OpenItself(name);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? Found::kMissing
               : Found::kForeign;
  }
  bool ours = IsOurPlainFile(file);
  CloseHandle(file);
  return ours ? Found::kOurs : Found::kForeign;
}

bool SetAttributesOfOnlyName(const WString& name, DWORD attributes) {
  HANDLE file = OpenItself(name);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool only = GetFileInformationByHandle(file, &info) &&
              info.nNumberOfLinks == 1 &&
              !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  CloseHandle(file);
  return only && SetFileAttributesW(name.c_str(), attributes);
}

bool FolderOwnedByUs(const WString& name) {
  HANDLE folder = OpenItself(name);
  if (folder == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ours = GetFileInformationByHandle(folder, &info) &&
              (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
              !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
              OwnedByUs(folder);
  CloseHandle(folder);
  return ours;
}
