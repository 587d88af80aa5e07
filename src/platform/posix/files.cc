// Files and paths of the stand-in.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "standin_control.h"
#include "standin_internal.h"

namespace standin {
namespace {

struct FileObject : KernelObject {
  ~FileObject() override;
  int fd = -1;
  DWORD access = 0;
  DWORD share = 0;
  dev_t device = 0;
  ino_t inode = 0;
  bool link = false;             // a link opened as itself
  bool linkToDirectory = false;  // ... that leads to a folder
  std::string path;              // as opened
};

std::mutex& OpenFilesMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::vector<FileObject*>& OpenFiles() {
  static auto* files = new std::vector<FileObject*>;
  return *files;
}

FileObject::~FileObject() {
  {
    std::lock_guard<std::mutex> lock(OpenFilesMutex());
    auto& files = OpenFiles();
    for (size_t i = 0; i < files.size(); ++i) {
      if (files[i] == this) {
        files.erase(files.begin() + static_cast<long>(i));
        break;
      }
    }
  }
  if (fd >= 0) close(fd);
}

// Whether an open of the file with `access` and `share` is compatible with
// every handle already open on it. Called with OpenFilesMutex() held.
bool SharingAllows(const struct stat& info, DWORD access, DWORD share) {
  const DWORD reads = GENERIC_READ | FILE_READ_DATA;
  for (const FileObject* open : OpenFiles()) {
    if (open->device != info.st_dev || open->inode != info.st_ino) continue;
    if ((access & reads) && !(open->share & FILE_SHARE_READ)) return false;
    if ((access & GENERIC_WRITE) && !(open->share & FILE_SHARE_WRITE))
      return false;
    if ((open->access & reads) && !(share & FILE_SHARE_READ)) return false;
    if ((open->access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE))
      return false;
  }
  return true;
}

// Whether the file may be deleted or renamed: every handle open on it for
// its data allows deletion.
bool DeletionAllowed(const struct stat& info) {
  std::lock_guard<std::mutex> lock(OpenFilesMutex());
  for (const FileObject* open : OpenFiles()) {
    bool data = open->access & (GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA);
    if (open->device == info.st_dev && open->inode == info.st_ino && data &&
        !(open->share & FILE_SHARE_DELETE)) {
      return false;
    }
  }
  return true;
}

// The open(2) flags of a file or folder opened for `access`. Never waits:
// Windows opens whatever a name holds at once, where a FIFO here would wait
// for its other end.
int OpenMode(DWORD access, bool folder) {
  const int flags = O_CLOEXEC | O_NONBLOCK;
  if (folder) return flags | O_RDONLY | O_DIRECTORY;
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
    return flags | O_RDWR;
  return flags | ((access & GENERIC_WRITE) ? O_WRONLY : O_RDONLY);
}

bool IsReadOnly(const struct stat& info) {
  return (info.st_mode & S_IWUSR) == 0;
}

// The error Win32 gives for a missing file: "file not found" when its
// directory exists, "path not found" otherwise.
void SetMissingError(const std::string& path) {
  if (path.empty()) {  // a path too long to name anything
    SetLastError(ERROR_PATH_NOT_FOUND);
    return;
  }
  std::string::size_type slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  if (dir.empty()) dir = "/";
  struct stat info;
  bool dirExists = stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  SetLastError(dirExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
}

FileObject* AcquireFile(HANDLE handle) {
  KernelObject* object = AcquireHandle(handle);
  auto* file = dynamic_cast<FileObject*>(object);
  if (file == nullptr) {
    if (object != nullptr) ReleaseObject(object);
    SetLastError(ERROR_INVALID_HANDLE);
  }
  return file;
}

// Holds one reference to a file object for the length of a call.
class FileRef {
 public:
  explicit FileRef(HANDLE handle) : file_(AcquireFile(handle)) {}
  ~FileRef() {
    if (file_ != nullptr) ReleaseObject(file_);
  }
  FileRef(const FileRef&) = delete;
  FileRef& operator=(const FileRef&) = delete;
  FileObject* operator->() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }

 private:
  FileObject* file_;
};

// Owners are kept in an extended attribute of the file, so that they go
// with it through renames and hard links and vanish with it. A file without
// one was made by the administrator, outside the stand-in. A link itself
// carries none.
const char kOwnerAttribute[] = "user.standin.owner";

// Well-known and stand-in SIDs, by their last number.
constexpr uint32_t kLocalSystemSid = 18;
constexpr uint32_t kAdministratorsSid = 544;
constexpr uint32_t kAdministratorSid = 1000;  // the administrator's account
constexpr uint32_t kOtherUserSid = 1001;

std::atomic<User> actingUser{User::kAdministrator};

// The owner of what `user` makes: the owner their token names.
uint32_t SidOf(User user) {
  return user == User::kAdministrator             ? kAdministratorsSid
         : user == User::kAdministratorUnelevated ? kAdministratorSid
                                                  : kOtherUserSid;
}

// What the process's token names as owner (and so gives what it makes), and
// as user.
uint32_t TokenOwnerSid() { return SidOf(actingUser); }
uint32_t TokenUserSid() {
  return actingUser == User::kOther ? kOtherUserSid : kAdministratorSid;
}

void WriteOwner(const std::string& path, uint32_t sid) {
  std::string value = std::to_string(sid);
  setxattr(path.c_str(), kOwnerAttribute, value.data(), value.size(), 0);
}

// Gives a file the stand-in has just made to the user it acts as.
void NoteMade(const std::string& path) {
  if (TokenOwnerSid() != kAdministratorsSid) WriteOwner(path, TokenOwnerSid());
}

uint32_t OwnerOf(int fd) {
  char value[16];
  ssize_t size = fgetxattr(fd, kOwnerAttribute, value, sizeof value - 1);
  if (size <= 0) return kAdministratorsSid;
  value[size] = 0;
  return static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
}

void WriteSid(PSID sid, uint32_t value) { std::memcpy(sid, &value, 4); }

uint32_t ReadSid(PSID sid) {
  uint32_t value;
  std::memcpy(&value, sid, 4);
  return value;
}

struct TokenObject : KernelObject {};

constexpr uint64_t kEpochDifference = 11644473600ull;  // 1601 to 1970, s

FILETIME ToFileTime(const struct timespec& time) {
  uint64_t ticks =
      (static_cast<uint64_t>(time.tv_sec) + kEpochDifference) * 10000000ull +
      static_cast<uint64_t>(time.tv_nsec) / 100;
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

struct timespec FromFileTime(const FILETIME* time) {
  struct timespec out;
  if (time == nullptr) {
    out.tv_sec = 0;
    out.tv_nsec = UTIME_OMIT;
    return out;
  }
  uint64_t ticks =
      (static_cast<uint64_t>(time->dwHighDateTime) << 32) | time->dwLowDateTime;
  out.tv_sec = static_cast<time_t>(ticks / 10000000ull) -
               static_cast<time_t>(kEpochDifference);
  out.tv_nsec = static_cast<long>(ticks % 10000000ull) * 100;
  return out;
}

}  // namespace
}  // namespace standin

using namespace standin;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD attributes,
                   HANDLE) {
  if (InjectFault("CreateFileW")) return INVALID_HANDLE_VALUE;
  std::string path = FilePath(name);
  struct stat info;
  bool link = (attributes & FILE_FLAG_OPEN_REPARSE_POINT) &&
              lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
  bool exists = link || stat(path.c_str(), &info) == 0;
  bool writes = (access & GENERIC_WRITE) || disposition == CREATE_ALWAYS;
  bool folder = !link && exists && S_ISDIR(info.st_mode);
  if (folder && (!(attributes & FILE_FLAG_BACKUP_SEMANTICS) || writes)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!exists && (disposition == OPEN_EXISTING)) {
    SetMissingError(path);
    return INVALID_HANDLE_VALUE;
  }
  if (exists && disposition == CREATE_NEW) {
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  if (link && disposition != OPEN_EXISTING) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (exists && writes && IsReadOnly(info)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int flags = link ? O_CLOEXEC | O_NONBLOCK | O_PATH | O_NOFOLLOW
                   : OpenMode(access, folder);
  if (disposition != OPEN_EXISTING) flags |= O_CREAT;
  if (disposition == CREATE_NEW) flags |= O_EXCL;

  // A file that fails to open is deleted after the lock is released: its
  // destructor takes the lock.
  std::unique_ptr<FileObject> file(new FileObject);
  file->access = access;
  file->share = share;
  file->link = link;
  struct stat target;
  file->linkToDirectory =
      link && stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  file->path = path;
  {
    std::lock_guard<std::mutex> lock(OpenFilesMutex());
    if (exists && !SharingAllows(info, access, share)) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    file->fd = open(path.c_str(), flags, 0666);
    if (file->fd < 0) {
      int error = errno;
      if (error == ENOENT) {
        SetMissingError(path);
      } else {
        SetErrorFromErrno(error);
      }
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS && exists && ftruncate(file->fd, 0) != 0) {
      SetErrorFromErrno(errno);
      return INVALID_HANDLE_VALUE;
    }
    struct stat opened;
    fstat(file->fd, &opened);
    file->device = opened.st_dev;
    file->inode = opened.st_ino;
    OpenFiles().push_back(file.get());
  }
  if (!exists) NoteMade(path);
  // Like Win32: success, and "already exists" when an existing file was
  // opened by a disposition that could have created it.
  SetLastError(exists && disposition != OPEN_EXISTING ? ERROR_ALREADY_EXISTS
                                                      : ERROR_SUCCESS);
  return NewHandle(file.release());
}

HANDLE ReOpenFile(HANDLE original, DWORD access, DWORD share, DWORD flags) {
  if (InjectFault("ReOpenFile")) return INVALID_HANDLE_VALUE;
  if ((flags & 0xFFFFu) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  FileRef file(original);
  if (!file) return INVALID_HANDLE_VALUE;
  struct stat info;
  if (fstat(file->fd, &info) != 0) {
    SetErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  const bool writes = (access & GENERIC_WRITE) != 0;
  const bool folder = S_ISDIR(info.st_mode);
  if (file->link ||
      (folder && (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || writes)) ||
      (writes && IsReadOnly(info))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  const int mode = OpenMode(access, folder);
  std::unique_ptr<FileObject> copy(new FileObject);
  copy->access = access;
  copy->share = share;
  copy->path = file->path;
  copy->device = info.st_dev;
  copy->inode = info.st_ino;
  {
    std::lock_guard<std::mutex> lock(OpenFilesMutex());
    if (!SharingAllows(info, access, share)) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    // The file itself, whatever its name is now: not the name it was
    // opened by.
    std::string self = "/proc/self/fd/" + std::to_string(file->fd);
    copy->fd = open(self.c_str(), mode);
    if (copy->fd < 0) {
      SetErrorFromErrno(errno);
      return INVALID_HANDLE_VALUE;
    }
    OpenFiles().push_back(copy.get());
  }
  SetLastError(ERROR_SUCCESS);
  return NewHandle(copy.release());
}

BOOL GetFileInformationByHandle(HANDLE handle,
                                BY_HANDLE_FILE_INFORMATION* info) {
  if (InjectFault("GetFileInformationByHandle")) return FALSE;
  FileRef file(handle);
  if (!file) return FALSE;
  struct stat status;
  if (fstat(file->fd, &status) != 0) {
    SetErrorFromErrno(errno);
    return FALSE;
  }
  *info = BY_HANDLE_FILE_INFORMATION();
  if (file->link) {
    info->dwFileAttributes =
        FILE_ATTRIBUTE_REPARSE_POINT |
        (file->linkToDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0);
  } else {
    DWORD attributes = IsReadOnly(status) ? FILE_ATTRIBUTE_READONLY : 0;
    if (S_ISDIR(status.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    info->dwFileAttributes =
        attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  }
  info->ftCreationTime = ToFileTime(status.st_ctim);
  info->ftLastAccessTime = ToFileTime(status.st_atim);
  info->ftLastWriteTime = ToFileTime(status.st_mtim);
  info->dwVolumeSerialNumber = static_cast<DWORD>(status.st_dev);
  auto size = static_cast<uint64_t>(status.st_size);
  info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(size);
  info->nNumberOfLinks = static_cast<DWORD>(status.st_nlink);
  auto index = static_cast<uint64_t>(status.st_ino);
  info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
  info->nFileIndexLow = static_cast<DWORD>(index);
  return TRUE;
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type,
                      SECURITY_INFORMATION what, PSID* owner, PSID* group,
                      PACL* dacl, PACL* sacl,
                      PSECURITY_DESCRIPTOR* descriptor) {
  if (InjectFault("GetSecurityInfo")) return GetLastError();
  if (type != SE_FILE_OBJECT || what != OWNER_SECURITY_INFORMATION ||
      owner == nullptr || descriptor == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  FileRef file(handle);
  if (!file) return ERROR_INVALID_HANDLE;
  if (group != nullptr) *group = nullptr;
  if (dacl != nullptr) *dacl = nullptr;
  if (sacl != nullptr) *sacl = nullptr;
  void* block = std::malloc(SECURITY_MAX_SID_SIZE);
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  *owner = static_cast<PSID>(block);
  WriteSid(*owner, file->link ? kAdministratorsSid : OwnerOf(file->fd));
  *descriptor = block;
  return ERROR_SUCCESS;
}

HLOCAL LocalFree(HLOCAL block) {
  std::free(block);
  return nullptr;
}

BOOL CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID, PSID sid, DWORD* size) {
  if (size == nullptr ||
      (type != WinLocalSystemSid && type != WinBuiltinAdministratorsSid)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (sid == nullptr || *size < SECURITY_MAX_SID_SIZE) {
    *size = SECURITY_MAX_SID_SIZE;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  WriteSid(sid,
           type == WinLocalSystemSid ? kLocalSystemSid : kAdministratorsSid);
  *size = SECURITY_MAX_SID_SIZE;
  return TRUE;
}

BOOL EqualSid(PSID first, PSID second) {
  return ReadSid(first) == ReadSid(second);
}

HANDLE GetCurrentProcess() {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL OpenProcessToken(HANDLE process, DWORD, HANDLE* token) {
  if (process != GetCurrentProcess()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *token = NewHandle(new TokenObject);
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type,
                         LPVOID information, DWORD length, DWORD* needed) {
  KernelObject* object = AcquireHandle(token);
  bool isToken = dynamic_cast<TokenObject*>(object) != nullptr;
  if (object != nullptr) ReleaseObject(object);
  if (!isToken) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The structure, then its SID, aligned for a pointer.
  const DWORD head =
      type == TokenUser ? sizeof(TOKEN_USER) : sizeof(TOKEN_OWNER);
  if (type != TokenUser && type != TokenOwner) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *needed = head + SECURITY_MAX_SID_SIZE;
  if (information == nullptr || length < *needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto sid = reinterpret_cast<PSID>(static_cast<char*>(information) + head);
  if (type == TokenUser) {
    WriteSid(sid, TokenUserSid());
    *static_cast<TOKEN_USER*>(information) = TOKEN_USER{{sid, 0}};
  } else {
    WriteSid(sid, TokenOwnerSid());
    *static_cast<TOKEN_OWNER*>(information) = TOKEN_OWNER{sid};
  }
  return TRUE;
}

void standin::ActAs(User user) { actingUser = user; }

void standin::SetOwner(const std::string& path, User user) {
  WriteOwner(path, SidOf(user));
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read,
              LPOVERLAPPED) {
  if (read != nullptr) *read = 0;
  if (InjectFault("ReadFile")) return FALSE;
  FileRef file(handle);
  if (!file) return FALSE;
  if (!(file->access & GENERIC_READ)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < toRead) {
    ssize_t n = ::read(file->fd, out + done, toRead - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(ERROR_READ_FAULT);
      if (read != nullptr) *read = done;
      return FALSE;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (read != nullptr) *read = done;
  return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED) {
  if (written != nullptr) *written = 0;
  if (InjectFault("WriteFile")) return FALSE;
  FileRef file(handle);
  if (!file) return FALSE;
  if (!(file->access & GENERIC_WRITE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < toWrite) {
    ssize_t n = ::write(file->fd, in + done, toWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetErrorFromErrno(errno);
      if (written != nullptr) *written = done;
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = done;
  return TRUE;
}

DWORD GetFinalPathNameByHandleW(HANDLE handle, LPWSTR buffer, DWORD size,
                                DWORD) {
  if (InjectFault("GetFinalPathNameByHandleW")) return 0;
  FileRef file(handle);
  if (!file) return 0;
  char target[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(file->fd);
  ssize_t length = readlink(self.c_str(), target, sizeof target - 1);
  if (length < 0) {
    SetErrorFromErrno(errno);
    return 0;
  }
  const std::u16string path =
      u"\\\\?\\" + FromUtf8(std::string(target, static_cast<size_t>(length)));
  if (path.size() + 1 > size) return static_cast<DWORD>(path.size() + 1);
  path.copy(buffer, path.size());
  buffer[path.size()] = 0;
  return static_cast<DWORD>(path.size());
}

BOOL FlushFileBuffers(HANDLE handle) {
  if (InjectFault("FlushFileBuffers")) return FALSE;
  FileRef file(handle);
  if (!file) return FALSE;
  if (fsync(file->fd) != 0) {
    SetErrorFromErrno(errno);
    return FALSE;
  }
  LogFileCall("FlushFileBuffers", file->path);
  return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distanceLow, PLONG distanceHigh,
                     DWORD method) {
  if (InjectFault("SetFilePointer")) return INVALID_SET_FILE_POINTER;
  FileRef file(handle);
  if (!file) return INVALID_SET_FILE_POINTER;
  int64_t distance =
      distanceHigh == nullptr
          ? static_cast<int64_t>(distanceLow)
          : static_cast<int64_t>(
                (static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh))
                 << 32) |
                static_cast<uint32_t>(distanceLow));
  int whence = method == FILE_BEGIN     ? SEEK_SET
               : method == FILE_CURRENT ? SEEK_CUR
                                        : SEEK_END;
  off_t position = lseek(file->fd, static_cast<off_t>(distance), whence);
  if (position < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh == nullptr && position > 0xFFFFFFFFll) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh != nullptr) {
    *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(position);
}

DWORD GetFileSize(HANDLE handle, LPDWORD sizeHigh) {
  if (InjectFault("GetFileSize")) return INVALID_FILE_SIZE;
  FileRef file(handle);
  if (!file) return INVALID_FILE_SIZE;
  struct stat info;
  fstat(file->fd, &info);
  auto size = static_cast<uint64_t>(info.st_size);
  if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

BOOL GetFileTime(HANDLE handle, FILETIME* creation, FILETIME* lastAccess,
                 FILETIME* lastWrite) {
  if (InjectFault("GetFileTime")) return FALSE;
  FileRef file(handle);
  if (!file) return FALSE;
  struct stat info;
  fstat(file->fd, &info);
  if (creation != nullptr) *creation = ToFileTime(info.st_ctim);
  if (lastAccess != nullptr) *lastAccess = ToFileTime(info.st_atim);
  if (lastWrite != nullptr) *lastWrite = ToFileTime(info.st_mtim);
  return TRUE;
}

BOOL SetFileTime(HANDLE handle, const FILETIME*, const FILETIME* lastAccess,
                 const FILETIME* lastWrite) {
  if (InjectFault("SetFileTime")) return FALSE;
  FileRef file(handle);
  if (!file) return FALSE;
  if (!(file->access & GENERIC_WRITE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  struct timespec times[2] = {FromFileTime(lastAccess),
                              FromFileTime(lastWrite)};
  if (futimens(file->fd, times) != 0) {
    SetErrorFromErrno(errno);
    return FALSE;
  }
  LogFileCall("SetFileTime", file->path);
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR name) {
  if (InjectFault("GetFileAttributesW")) return INVALID_FILE_ATTRIBUTES;
  std::string path = FilePath(name);
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    SetMissingError(path);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISLNK(info.st_mode)) {
    struct stat target;
    bool directory =
        stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    return FILE_ATTRIBUTE_REPARSE_POINT |
           (directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
  }
  DWORD attributes = IsReadOnly(info) ? FILE_ATTRIBUTE_READONLY : 0;
  if (S_ISDIR(info.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

BOOL SetFileAttributesW(LPCWSTR name, DWORD attributes) {
  if (InjectFault("SetFileAttributesW")) return FALSE;
  std::string path = FilePath(name);
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    SetMissingError(path);
    return FALSE;
  }
  mode_t mode = info.st_mode & 07777;
  mode = (attributes & FILE_ATTRIBUTE_READONLY)
             ? (mode & ~static_cast<mode_t>(0222))
             : (mode | S_IWUSR);
  if (chmod(path.c_str(), mode) != 0) {
    SetErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

namespace {

std::mutex& CurrentFolderMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

// The current folder as it was named, links on the way kept, as Windows
// keeps it; empty until set.
std::string& CurrentFolder() {
  static auto* folder = new std::string;
  return *folder;
}

// The folder relative paths resolve against: the one set by name while it is
// still the process's, else the process's own, every link followed.
bool CurrentFolderName(std::string* name) {
  std::lock_guard<std::mutex> lock(CurrentFolderMutex());
  struct stat named, current;
  if (!CurrentFolder().empty() && stat(CurrentFolder().c_str(), &named) == 0 &&
      stat(".", &current) == 0 && named.st_dev == current.st_dev &&
      named.st_ino == current.st_ino) {
    *name = CurrentFolder();
    return true;
  }
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return false;
  *name = cwd;
  return true;
}

}  // namespace

BOOL SetCurrentDirectoryW(LPCWSTR name) {
  std::vector<WCHAR> full(32768);
  DWORD length = GetFullPathNameW(name, 32768, full.data(), nullptr);
  if (length == 0 || length >= 32768) return FALSE;
  const std::string path = NativePath(full.data());
  if (chdir(path.c_str()) != 0) {
    SetErrorFromErrno(errno);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(CurrentFolderMutex());
  CurrentFolder() = path;
  return TRUE;
}

DWORD GetFullPathNameW(LPCWSTR name, DWORD bufferLength, LPWSTR buffer,
                       LPWSTR* filePart) {
  if (InjectFault("GetFullPathNameW")) return 0;
  std::string path = NativePath(name);
  if (path.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (path[0] != '/') {
    std::string current;
    if (!CurrentFolderName(&current)) {
      SetErrorFromErrno(errno);
      return 0;
    }
    path = current + "/" + path;
  }
  // Collapse empty, "." and ".." components.
  std::vector<std::string> parts;
  std::string::size_type start = 1;
  while (start <= path.size()) {
    std::string::size_type end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string full;
  for (const std::string& part : parts) full += "/" + part;
  bool trailing = path.back() == '/';
  if (full.empty() || trailing) full += "/";
  std::u16string wide = FromUtf8(full);
  if (wide.size() + 1 > bufferLength) {
    return static_cast<DWORD>(wide.size() + 1);
  }
  wide.copy(buffer, wide.size());
  buffer[wide.size()] = 0;
  if (filePart != nullptr) {
    *filePart = full.back() == '/' ? nullptr : buffer + wide.rfind(u'/') + 1;
  }
  return static_cast<DWORD>(wide.size());
}

namespace {

// Whether the file at `from` exists and no handle open on it forbids moving
// it; if not, the error is set.
bool Movable(const std::string& from) {
  struct stat info;
  if (lstat(from.c_str(), &info) != 0) {
    SetMissingError(from);
    return false;
  }
  if (!DeletionAllowed(info)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }
  return true;
}

}  // namespace

BOOL MoveFileW(LPCWSTR existing, LPCWSTR newName) {
  if (InjectFault("MoveFileW")) return FALSE;
  std::string from = FilePath(existing);
  std::string to = FilePath(newName);
  if (!Movable(from)) return FALSE;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                RENAME_NOREPLACE) != 0) {
    if (errno == ENOENT) {
      SetMissingError(to);
    } else {
      SetErrorFromErrno(errno);
    }
    return FALSE;
  }
  LogFileCall("MoveFileW", from, to);
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags) {
  if (InjectFault("MoveFileExW")) return FALSE;
  if (newName != nullptr && flags == MOVEFILE_REPLACE_EXISTING) {
    std::string from = FilePath(existing);
    std::string to = FilePath(newName);
    struct stat there;
    if (!Movable(from)) return FALSE;
    if (lstat(to.c_str(), &there) == 0 &&
        (S_ISDIR(there.st_mode) || IsReadOnly(there) ||
         !DeletionAllowed(there))) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
      SetErrorFromErrno(errno);
      return FALSE;
    }
    LogFileCall("MoveFileExW", from, to);
    return TRUE;
  }
  if (newName != nullptr || flags != MOVEFILE_DELAY_UNTIL_REBOOT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string path = FilePath(existing);
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    SetMissingError(path);
    return FALSE;
  }
  ScheduleDeletion(path);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR name) {
  if (InjectFault("DeleteFileW")) return FALSE;
  std::string path = FilePath(name);
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    SetMissingError(path);
    return FALSE;
  }
  struct stat target;
  bool directoryLink = S_ISLNK(info.st_mode) &&
                       stat(path.c_str(), &target) == 0 &&
                       S_ISDIR(target.st_mode);
  if (S_ISDIR(info.st_mode) || directoryLink || IsReadOnly(info)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!DeletionAllowed(info)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (unlink(path.c_str()) != 0) {
    SetErrorFromErrno(errno);
    return FALSE;
  }
  LogFileCall("DeleteFileW", path);
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES) {
  if (InjectFault("CreateDirectoryW")) return FALSE;
  std::string path = FilePath(name);
  if (mkdir(path.c_str(), 0777) != 0) {
    if (errno == ENOENT) {
      SetLastError(ERROR_PATH_NOT_FOUND);
    } else {
      SetErrorFromErrno(errno);
    }
    return FALSE;
  }
  NoteMade(path);
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR name) {
  if (InjectFault("RemoveDirectoryW")) return FALSE;
  std::string path = FilePath(name);
  struct stat info, target;
  if (lstat(path.c_str(), &info) != 0) {
    SetMissingError(path);
    return FALSE;
  }
  // A link to a folder (a junction, a symbolic link) is removed itself, as
  // Windows removes it: what it leads to stays. A file is no folder.
  bool folderLink = S_ISLNK(info.st_mode) && stat(path.c_str(), &target) == 0 &&
                    S_ISDIR(target.st_mode);
  if (!S_ISDIR(info.st_mode) && !folderLink) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (!DeletionAllowed(info)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (folderLink ? unlink(path.c_str()) != 0 : rmdir(path.c_str()) != 0) {
    SetErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

namespace {

// A folder's names as FindFirstFileW read them, and the next to give.
struct FindObject : KernelObject {
  std::vector<std::string> names;
  size_t next = 0;
};

// Fills `data` with the next name of `find`; false after the last.
bool NextFound(FindObject* find, WIN32_FIND_DATAW* data) {
  if (find->next == find->names.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return false;
  }
  *data = WIN32_FIND_DATAW();
  std::u16string name = FromUtf8(find->names[find->next++]);
  name.resize(std::min<size_t>(name.size(), MAX_PATH - 1));
  name.copy(data->cFileName, name.size());
  data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  return true;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
  if (InjectFault("FindFirstFileW")) return INVALID_HANDLE_VALUE;
  std::string path = FilePath(pattern);
  if (path.size() < 2 || path.compare(path.size() - 2, 2, "/*") != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  DIR* folder = opendir(path.substr(0, path.size() - 2).c_str());
  if (folder == nullptr) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto* find = new FindObject;
  for (struct dirent* entry = readdir(folder); entry != nullptr;
       entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") find->names.push_back(name);
  }
  closedir(folder);
  std::sort(find->names.begin(), find->names.end());
  find->names.insert(find->names.begin(), {".", ".."});
  NextFound(find, data);
  return NewHandle(find);
}

BOOL FindNextFileW(HANDLE handle, WIN32_FIND_DATAW* data) {
  KernelObject* object = AcquireHandle(handle);
  auto* find = dynamic_cast<FindObject*>(object);
  bool found = find != nullptr && NextFound(find, data);
  if (find == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  if (object != nullptr) ReleaseObject(object);
  return found;
}

BOOL FindClose(HANDLE find) { return CloseHandle(find); }

DWORD GetLongPathNameW(LPCWSTR shortPath, LPWSTR longPath, DWORD bufferLength) {
  std::u16string path(shortPath);
  struct stat info;
  if (stat(FilePath(shortPath).c_str(), &info) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (path.size() + 1 > bufferLength)
    return static_cast<DWORD>(path.size() + 1);
  path.copy(longPath, path.size());
  longPath[path.size()] = 0;
  return static_cast<DWORD>(path.size());
}

standin::FileHold::FileHold(const std::string& path, DWORD milliseconds)
    : file_(CreateFileW(FromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                        nullptr)) {
  thread_ = std::thread([this, milliseconds] {
    std::unique_lock<std::mutex> lock(mutex_);
    released_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                       [this] { return ending_; });
    if (Held()) CloseHandle(file_);
  });
}

standin::FileHold::~FileHold() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  released_.notify_all();
  thread_.join();
}

namespace {

std::mutex& WindowsFolderMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::u16string& WindowsFolder() {
  static auto* folder = new std::u16string(u"/windows");
  return *folder;
}

UINT CopyFolder(const std::u16string& folder, LPWSTR buffer, UINT size) {
  if (folder.size() + 1 > size) return static_cast<UINT>(folder.size() + 1);
  folder.copy(buffer, folder.size());
  buffer[folder.size()] = 0;
  return static_cast<UINT>(folder.size());
}

}  // namespace

void standin::SetWindowsDirectory(const std::string& path) {
  std::lock_guard<std::mutex> lock(WindowsFolderMutex());
  WindowsFolder() = FromUtf8(path);
}

UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
  std::lock_guard<std::mutex> lock(WindowsFolderMutex());
  return CopyFolder(WindowsFolder(), buffer, size);
}

UINT GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size) {
  return GetWindowsDirectoryW(buffer, size);
}

UINT GetSystemWow64DirectoryW(LPWSTR buffer, UINT size) {
  std::lock_guard<std::mutex> lock(WindowsFolderMutex());
  return CopyFolder(WindowsFolder() + u"/SysWOW64", buffer, size);
}
