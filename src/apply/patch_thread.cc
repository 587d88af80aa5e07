#include "apply/patch_thread.h"

#include <vector>

#include "apply/directory.h"
#include "apply/entry_builders.h"
#include "package/file_hash.h"
#include "package/sha256.h"

SharedArray<PackageLoader>* g_loaderHolder = nullptr;

namespace {

constexpr DWORD kPathUnits = 4096;
const WCHAR kTempPrefix[] = WTXT("ptf");
const WCHAR kBackupSuffix[] = WTXT(".bak");

// A verified temporary file waiting to replace its target.
struct Prepared {
  size_t entry;
  WString temp;
};

// A step of the commit, with what undoes it.
struct CommitStep {
  enum Kind {
    kAttributesCleared,   // `path` set to normal; undo: back to `attributes`
    kMoved,               // `path` renamed to `other`; undo: rename back
    kAttributesRestored,  // a new file got its old attributes; undo: normal
  } kind;
  WString path;
  WString other;
  DWORD attributes;
};

// Deletes a file that must go; a refusal gets one more try with normal
// attributes (a read-only flag, or a scanner that held the file a moment).
bool RemoveFile(const WString& name) {
  if (DeleteFileW(name.c_str())) return true;
  SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileW(name.c_str()) != FALSE;
}

class PatchRun {
 public:
  explicit PatchRun(CPatchThread& worker)
      : worker_(worker),
        loader_(*worker.loader.Get()),
        options_(loader_.header.flags) {
    path_.Allocate(kPathUnits);
    tempName_.Allocate(kPathUnits);
    hash_.Attach(new CHashSHA256, 1);
  }

  ResultCode Execute() {
    for (size_t i = 0; i < loader_.entries.size(); ++i) {
      if (!worker_.ShouldContinue()) return Fail(ResultSuccess);
      ResultCode result = PrepareEntry(i);
      if (result != ResultSuccess) return Fail(result);
    }
    if (!worker_.ShouldContinue()) return Fail(ResultSuccess);
    ResultCode result = Commit();
    if (result != ResultSuccess) return Fail(result);
    PostMessageW(worker_.dialogWindow, WM_PATCH_COMPLETE, 0, 0);
    return ResultSuccess;
  }

 private:
  static uint8_t Kind(const LoadedEntry& entry) {
    return static_cast<uint8_t>(entry.record.kind & 0xFF);
  }

  // Reserves a temporary file beside the target, tells the dialog, and
  // builds the entry. The reserved file joins the commit list or is removed.
  ResultCode PrepareEntry(size_t index) {
    const LoadedEntry& entry = loader_.entries[index];
    WCHAR* full = path_.Get();
    LPWSTR filePart = nullptr;
    DWORD length =
        GetFullPathNameW(entry.name.c_str(), kPathUnits, full, &filePart);
    if (length == 0 || length >= kPathUnits || filePart == nullptr) {
      // The full path does not fit, or names no file: report the name.
      size_t units = entry.name.copy(full, kPathUnits - 1);
      full[units] = 0;
      return ResultNoTempName;
    }
    WCHAR* separator = filePart - 1;
    WCHAR saved = *separator;
    *separator = 0;
    UINT unique = GetTempFileNameW(full, kTempPrefix, 0, tempName_.Get());
    *separator = saved;
    if (unique == 0) return ResultNoTempName;
    WString temp(tempName_.Get());

    SendMessageW(worker_.dialogWindow, WM_PATCH_FILENAME, index,
                 reinterpret_cast<LPARAM>(full));
    ResultCode result = ResultSuccess;
    switch (Kind(entry)) {
      case EntryKindPatch:
        result = PreparePatch(entry.record, temp);
        break;
      case EntryKindAdd:
        result = PrepareAdd(entry.record, temp);
        break;
      case EntryKindDirectory:
        if (!IsDirectory(full)) CreateDirectoryTree(full);
        break;
      default:
        break;
    }
    bool keep = result == ResultSuccess &&
                (Kind(entry) == EntryKindPatch || Kind(entry) == EntryKindAdd);
    if (keep) {
      commitList_.push_back({index, temp});
    } else {
      RemoveFile(temp);
    }
    return result;
  }

  // Whether an open file has the entry's new size and digest.
  bool MatchesNew(HANDLE file, const PackageEntry& record) {
    uint64_t size = 0;
    return SeekFile(file, 0) && FileSize(file, &size) &&
           size == record.newSize && HashWholeFile(file, hash_) &&
           hash_.Get()->CompareDigest(record.newDigest);
  }

  ResultCode PreparePatch(const PackageEntry& record, const WString& temp) {
    SharedHandle old;
    old.Attach(
        CreateFileW(path_.Get(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING,
                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr),
        CloseHandle);
    if (!old.IsValid()) return ResultOpenSource;
    uint64_t size = 0;
    FILETIME created, accessed, written;
    bool timed = GetFileTime(old.Get(), &created, &accessed, &written) != FALSE;
    if (!FileSize(old.Get(), &size) || size != record.oldSize ||
        !HashWholeFile(old.Get(), hash_) ||
        !hash_.Get()->CompareDigest(record.oldDigest)) {
      return ResultSourceMismatch;
    }
    SeekFile(old.Get(), 0);
    SharedHandle out;
    out.Attach(
        CreateFileW(temp.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
        CloseHandle);
    if (!out.IsValid()) return ResultOpenTarget;
    ResultCode code = RebuildFile(worker_, old.Get(), out.Get(), record);
    if (code != ResultSuccess) return code;
    if (!MatchesNew(out.Get(), record)) return ResultTargetMismatch;
    if ((options_ & PackageFlagKeepTimes) && timed) {
      SetFileTime(out.Get(), &created, &accessed, &written);
    }
    return ResultSuccess;
  }

  ResultCode PrepareAdd(const PackageEntry& record, const WString& temp) {
    if (GetFileAttributesW(path_.Get()) != INVALID_FILE_ATTRIBUTES) {
      return ResultTargetExists;
    }
    SharedHandle out;
    out.Attach(
        CreateFileW(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
        CloseHandle);
    if (!out.IsValid()) return ResultOpenTarget;
    ResultCode code = WriteAddedFile(record, worker_, out.Get());
    if (code != ResultSuccess) return code;
    return MatchesNew(out.Get(), record) ? ResultSuccess : ResultTargetMismatch;
  }

  // A free name beside `temp` (a file in the target's folder), for moving a
  // file aside. The name is reserved and released again, so that MoveFileW,
  // which refuses an existing destination, can take it.
  bool FreeNameBeside(const WString& temp, WString* name) {
    WString folder = temp.substr(0, temp.find_last_of(WTXT("\\/")));
    if (GetTempFileNameW(folder.c_str(), kTempPrefix, 0, tempName_.Get()) ==
        0) {
      return false;
    }
    *name = tempName_.Get();
    if (RemoveFile(*name)) return true;
    leftovers_.push_back(*name);
    return false;
  }

  bool Move(const WString& from, const WString& to) {
    if (!MoveFileW(from.c_str(), to.c_str())) return false;
    steps_.push_back({CommitStep::kMoved, from, to, 0});
    return true;
  }

  bool ClearAttributes(const WString& name, DWORD attributes) {
    if (!SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL)) return false;
    steps_.push_back(
        {CommitStep::kAttributesCleared, name, WString(), attributes});
    return true;
  }

  // Puts every prepared file in place; 0, or 14 with every step undone and
  // the failing target's full path in the path buffer.
  ResultCode Commit() {
    std::vector<Prepared> replaced;  // targets moved aside: entry, aside name
    for (const Prepared& item : commitList_) {
      const WString& target = loader_.entries[item.entry].name;
      if (Kind(loader_.entries[item.entry]) == EntryKindAdd) {
        if (!Move(item.temp, target)) return CommitFailed(item.entry);
        continue;
      }
      DWORD attributes = GetFileAttributesW(target.c_str());
      WString aside;
      if (attributes == INVALID_FILE_ATTRIBUTES ||
          !ClearAttributes(target, attributes) ||
          !FreeNameBeside(item.temp, &aside) || !Move(target, aside) ||
          !Move(item.temp, target)) {
        return CommitFailed(item.entry);
      }
      if (!SetFileAttributesW(target.c_str(), attributes)) {
        return CommitFailed(item.entry);
      }
      steps_.push_back({CommitStep::kAttributesRestored, target, WString(), 0});
      replaced.push_back({item.entry, aside});
    }

    // Every new file is in place. The moved-aside files become backups or
    // are deleted; an older backup of the same name is replaced.
    std::vector<Prepared> obsolete;  // entry, file to delete
    for (const Prepared& item : replaced) {
      if (!(options_ & PackageFlagBackup)) {
        obsolete.push_back(item);
        continue;
      }
      WString backup = loader_.entries[item.entry].name + kBackupSuffix;
      DWORD existing = GetFileAttributesW(backup.c_str());
      if (existing != INVALID_FILE_ATTRIBUTES) {
        WString older;
        if ((existing & FILE_ATTRIBUTE_DIRECTORY) ||
            !ClearAttributes(backup, existing) ||
            !FreeNameBeside(item.temp, &older) || !Move(backup, older)) {
          return CommitFailed(item.entry);
        }
        obsolete.push_back({item.entry, older});
      }
      if (!Move(item.temp, backup) ||
          !SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_NORMAL)) {
        return CommitFailed(item.entry);
      }
    }
    // Deleting is the one step that cannot be undone. Until the first
    // deletion succeeds everything can still go back; after it, a file that
    // will not go is left behind rather than undoing a finished patch.
    for (size_t i = 0; i < obsolete.size(); ++i) {
      if (!RemoveFile(obsolete[i].temp) && i == 0) {
        return CommitFailed(obsolete[i].entry);
      }
    }
    steps_.clear();
    commitList_.clear();
    return ResultSuccess;
  }

  ResultCode CommitFailed(size_t index) {
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
      switch (step->kind) {
        case CommitStep::kAttributesCleared:
          SetFileAttributesW(step->path.c_str(), step->attributes);
          break;
        case CommitStep::kMoved:
          MoveFileW(step->other.c_str(), step->path.c_str());
          break;
        case CommitStep::kAttributesRestored:
          SetFileAttributesW(step->path.c_str(), FILE_ATTRIBUTE_NORMAL);
          break;
      }
    }
    steps_.clear();
    for (const WString& name : leftovers_) RemoveFile(name);
    leftovers_.clear();
    GetFullPathNameW(loader_.entries[index].name.c_str(), kPathUnits,
                     path_.Get(), nullptr);
    return ResultUpdateFailed;
  }

  // Removes every prepared file and reports `result`.
  ResultCode Fail(ResultCode result) {
    for (const Prepared& item : commitList_) RemoveFile(item.temp);
    commitList_.clear();
    SendMessageW(worker_.dialogWindow, WM_PATCH_ERROR, result,
                 reinterpret_cast<LPARAM>(path_.Get()));
    return result;
  }

  CPatchThread& worker_;
  const PackageLoader& loader_;
  const uint32_t options_;
  SharedArray<WCHAR> path_;      // full path of the entry at hand
  SharedArray<WCHAR> tempName_;  // receives GetTempFileNameW's names
  SharedArray<IHashCode> hash_;
  std::vector<Prepared> commitList_;
  std::vector<CommitStep> steps_;   // commit steps taken, to undo
  std::vector<WString> leftovers_;  // reserved names that must go on failure
};

}  // namespace

CPatchThread::CPatchThread(HWND dialog) : dialogWindow(dialog) {
  if (g_loaderHolder != nullptr) loader = *g_loaderHolder;
}

CPatchThread::~CPatchThread() {
  Stop();
  loader.Release();
}

DWORD CPatchThread::Run() {
  PatchRun run(*this);
  return run.Execute();
}
