// Files and paths of the stand-in.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
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
  std::string path;  // as opened
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
  for (const FileObject* open : OpenFiles()) {
    if (open->device != info.st_dev || open->inode != info.st_ino) continue;
    if ((access & GENERIC_READ) && !(open->share & FILE_SHARE_READ))
      return false;
    if ((access & GENERIC_WRITE) && !(open->share & FILE_SHARE_WRITE))
      return false;
    if ((open->access & GENERIC_READ) && !(share & FILE_SHARE_READ))
      return false;
    if ((open->access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE))
      return false;
  }
  return true;
}

// Whether the file may be deleted or renamed: every handle open on it
// allows deletion.
bool DeletionAllowed(const struct stat& info) {
  std::lock_guard<std::mutex> lock(OpenFilesMutex());
  for (const FileObject* open : OpenFiles()) {
    if (open->device == info.st_dev && open->inode == info.st_ino &&
        !(open->share & FILE_SHARE_DELETE)) {
      return false;
    }
  }
  return true;
}

bool IsReadOnly(const struct stat& info) {
  return (info.st_mode & S_IWUSR) == 0;
}

// The error Win32 gives for a missing file: "file not found" when its
// directory exists, "path not found" otherwise.
void SetMissingError(const std::string& path) {
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
                   LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
  if (InjectFault("CreateFileW")) return INVALID_HANDLE_VALUE;
  std::string path = NativePath(name);
  struct stat info;
  bool exists = stat(path.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) {
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
  bool writes = (access & GENERIC_WRITE) || disposition == CREATE_ALWAYS;
  if (exists && writes && IsReadOnly(info)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int flags = O_CLOEXEC;
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) {
    flags |= O_RDWR;
  } else if (access & GENERIC_WRITE) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  if (disposition != OPEN_EXISTING) flags |= O_CREAT;
  if (disposition == CREATE_NEW) flags |= O_EXCL;

  // A file that fails to open is deleted after the lock is released: its
  // destructor takes the lock.
  std::unique_ptr<FileObject> file(new FileObject);
  file->access = access;
  file->share = share;
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
  // Like Win32: success, and "already exists" when an existing file was
  // opened by a disposition that could have created it.
  SetLastError(exists && disposition != OPEN_EXISTING ? ERROR_ALREADY_EXISTS
                                                      : ERROR_SUCCESS);
  return NewHandle(file.release());
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
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR name) {
  if (InjectFault("GetFileAttributesW")) return INVALID_FILE_ATTRIBUTES;
  std::string path = NativePath(name);
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
  std::string path = NativePath(name);
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

BOOL SetCurrentDirectoryW(LPCWSTR name) {
  if (chdir(NativePath(name).c_str()) != 0) {
    SetErrorFromErrno(errno);
    return FALSE;
  }
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
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      SetErrorFromErrno(errno);
      return 0;
    }
    path = std::string(cwd) + "/" + path;
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

BOOL MoveFileW(LPCWSTR existing, LPCWSTR newName) {
  if (InjectFault("MoveFileW")) return FALSE;
  std::string from = NativePath(existing);
  std::string to = NativePath(newName);
  struct stat info;
  if (lstat(from.c_str(), &info) != 0) {
    SetMissingError(from);
    return FALSE;
  }
  if (!DeletionAllowed(info)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
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
  if (newName != nullptr || flags != MOVEFILE_DELAY_UNTIL_REBOOT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string path = NativePath(existing);
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
  std::string path = NativePath(name);
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
  std::string path = NativePath(name);
  if (mkdir(path.c_str(), 0777) != 0) {
    if (errno == ENOENT) {
      SetLastError(ERROR_PATH_NOT_FOUND);
    } else {
      SetErrorFromErrno(errno);
    }
    return FALSE;
  }
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR name) {
  if (InjectFault("RemoveDirectoryW")) return FALSE;
  if (rmdir(NativePath(name).c_str()) != 0) {
    SetErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

DWORD GetLongPathNameW(LPCWSTR shortPath, LPWSTR longPath, DWORD bufferLength) {
  std::u16string path(shortPath);
  struct stat info;
  if (stat(NativePath(shortPath).c_str(), &info) != 0) {
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
