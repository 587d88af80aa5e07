#include "apply/patch_thread.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "apply/commit_journal.h"
#include "apply/directory.h"
#include "apply/entry_builders.h"
#include "apply/folder_check.h"
#include "apply/folder_pins.h"
#include "apply/held_files.h"
#include "apply/ownership.h"
#include "apply/safe_paths.h"
#include "package/entry_names.h"
#include "package/file_hash.h"
#include "package/sha256.h"
#include "runtime/thread.h"

SharedArray<PackageLoader>* g_loaderHolder = nullptr;

namespace {

const WCHAR kTempPrefix[] = WTXT("ptf");
const WCHAR kTempSuffix[] = WTXT(".tmp");
// Names tried for one temporary before the folder counts as unusable: each
// is taken only by a file already there (or one being deleted).
constexpr int kTempAttempts = 64;

// A verified temporary file waiting to replace its target, or (no
// temporary) a file proved the old one, waiting to be removed.
struct Prepared {
  size_t entry;
  WString temp;
};

// A new file at least this large goes to disk on a thread of its own while
// the worker reads it back.
constexpr uint64_t kFlushAsideSize = uint64_t{1} << 20;

// A file's flush, run on a thread of its own.
struct FlushAside {
  HANDLE file;
  bool flushed = false;

  static DWORD Run(void* self) {
    auto* job = static_cast<FlushAside*>(self);
    job->flushed = FlushFileBuffers(job->file) != FALSE;
    return 0;
  }
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

class PatchRun {
 public:
  explicit PatchRun(CPatchThread& worker)
      : worker_(worker),
        loader_(*worker.loader.Get()),
        options_(loader_.header.flags),
        pins_(folder_) {
    path_.Allocate(kLongPathUnits);
    path_.Get()[0] = 0;
    hash_.Attach(new CHashSHA256, 1);
    nextName_ = GetTickCount64() ^ (uint64_t{GetCurrentThreadId()} << 32);
  }

  ResultCode Execute() {
    // Every file call names its file by the full path of the folder as it is
    // now and the file's relative name.
    if (!folder_.Resolve()) return FailAt(ResultNoTempName, WTXT("."));
    // Started with the system's folder as the current one (an elevated
    // start can leave it there), a run would patch Windows itself.
    if (InWindowsFolder()) return FailAt(ResultInWindowsFolder, WTXT("."));
    if (worker_.checkOnly) return CheckEntries();
    // A commit cut short by an earlier run is undone (or, when it was
    // complete, finished) before anything else.
    uint8_t interrupted[32];
    WString problem;
    switch (RecoverInterruptedCommit(folder_, interrupted, &problem)) {
      case Recovery::kFailed:
      case Recovery::kKeptBoth:
        return FailAt(ResultUpdateFailed, problem);
      case Recovery::kFinished:
        // This very package was applied, if its targets say so: anyone who
        // can write into the folder can write a journal.
        if (std::memcmp(interrupted, loader_.header.packageDigest, 32) == 0 &&
            CheckFolder(loader_, hash_).state == FolderApplied) {
          PostMessageW(worker_.dialogWindow, WM_PATCH_COMPLETE, 0, 0);
          return ResultSuccess;
        }
        break;
      default:
        break;
    }
    ResultCode done = ResultSuccess;
    if (AlreadyDone(&done)) return done;  // nothing touched, no journal
    if (!loader_.entries.empty() &&
        !journal_.Open(folder_, loader_.header.packageDigest)) {
      return FailAt(ResultUpdateFailed, kJournalName);
    }
    for (size_t i = 0; i < loader_.entries.size(); ++i) {
      if (!worker_.ShouldContinue()) return Fail(ResultSuccess);
      ResultCode result = PrepareEntry(i);
      if (result != ResultSuccess) return Fail(result);
    }
    worker_.sharedLiteral.Release();  // its dictionary, before the commit
    if (!worker_.ShouldContinue()) return Fail(ResultSuccess);
    ResultCode result = Commit();
    if (result != ResultSuccess) return Fail(result);
    PostMessageW(worker_.dialogWindow, WM_PATCH_COMPLETE, 0, 0);
    return ResultSuccess;
  }

 private:
  static bool IsRemoval(uint8_t kind) {
    return kind == EntryKindRemove || kind == EntryKindRemoveDirectory;
  }

  // Whether no link lies on the way to `name` (relative) and the folders on
  // the way are held as they were checked, until the run ends; else the
  // code, with the component that stopped it in the path buffer.
  ResultCode Confine(const WString& name) {
    WString link;
    if (!ReachedWithoutLinks(folder_, name, &link)) {
      Show(link);
      return ResultLinkOnPath;
    }
    switch (pins_.Hold(FolderOf(name), &link)) {
      case Pinned::kLink:
      case Pinned::kForeign:
        Show(link);
        return ResultLinkOnPath;
      case Pinned::kFailed:
        Show(link);
        return ResultUpdateFailed;
      case Pinned::kHeld:
        break;
    }
    return ResultSuccess;
  }

  // The folders to remove, deepest first: a folder goes only once what it
  // held has.
  std::vector<size_t> FoldersToRemove() const {
    std::vector<size_t> folders;
    for (size_t i = 0; i < loader_.entries.size(); ++i) {
      if (loader_.entries[i].kind == EntryKindRemoveDirectory)
        folders.push_back(i);
    }
    auto depth = [this](size_t i) {
      const WString& name = loader_.entries[i].name;
      return std::count(name.begin(), name.end(), u'\\') +
             std::count(name.begin(), name.end(), u'/');
    };
    std::stable_sort(folders.begin(), folders.end(),
                     [&](size_t a, size_t b) { return depth(a) > depth(b); });
    return folders;
  }

  // Removes the folder `name` (relative) if it is empty now, and says what
  // became of it. A folder that is not empty (a file of the user's in it,
  // one to go at the next start, a backup) stays.
  void RemoveFolder(const WString& name) {
    pins_.Release(name);
    FolderRemoval removal = RemoveOurEmptyFolder(folder_, name);
    Show(name);
    Note(removal == FolderRemoval::kRemoved ? kNoteRemoved
         : removal == FolderRemoval::kGone  ? kNoteGone
                                            : kNoteKept);
  }

  // Whether the folder already holds what the package makes, said as a
  // run ends (`result`): patched, or every file applied with only folders
  // to remove left, which are then finished.
  bool AlreadyDone(ResultCode* result) {
    switch (CheckFolder(loader_, hash_).state) {
      case FolderApplied:
        PostMessageW(worker_.dialogWindow, WM_PATCH_COMPLETE,
                     kCompleteAlreadyApplied, 0);
        *result = ResultSuccess;
        return true;
      case FolderFilesApplied:
        *result = FinishFolders();
        return true;
      default:
        return false;
    }
  }

  // Every file is applied and only folders to remove are left (a run
  // could not remove one then): each is reached as a run's entry is, then
  // removed where it is empty, with no journal: removing an empty folder
  // loses nothing. A run that only checks stops after the checks.
  ResultCode FinishFolders() {
    const std::vector<size_t> folders = FoldersToRemove();
    for (size_t i : folders) {
      ResultCode result = ReachTarget(loader_.entries[i]);
      if (result != ResultSuccess) return Fail(result);
    }
    if (worker_.checkOnly) return ResultSuccess;
    for (size_t i : folders) RemoveFolder(loader_.entries[i].name);
    PostMessageW(worker_.dialogWindow, WM_PATCH_COMPLETE, 0, 0);
    return ResultSuccess;
  }

  // What a run checks of every entry, changing nothing: each is judged as
  // PrepareEntry judges it, against the folder as it is and the folders
  // the entries before it make, and the dialog hears of each (its name,
  // then its error if it has one). The first entry's code that fails, or
  // 0 with WM_PATCH_COMPLETE when the folder is already patched.
  ResultCode CheckEntries() {
    ResultCode done = ResultSuccess;
    if (AlreadyDone(&done)) return done;
    ResultCode first = ResultSuccess;
    std::set<WString, WindowsNameOrder> made;
    for (size_t i = 0; i < loader_.entries.size(); ++i) {
      ResultCode result = CheckEntry(i, &made);
      if (result == ResultSuccess) continue;
      SendMessageW(worker_.dialogWindow, WM_PATCH_ERROR, result,
                   reinterpret_cast<LPARAM>(path_.Get()));
      if (first == ResultSuccess) first = result;
    }
    return first;
  }

  // PrepareEntry without its work: the same checks in the same order, no
  // temporary reserved, nothing built or made. `made` holds the folders
  // the entries before it make (relative), and gets this one's.
  ResultCode CheckEntry(size_t index,
                        std::set<WString, WindowsNameOrder>* made) {
    const LoadedEntry& entry = loader_.entries[index];
    ResultCode result = ReachTarget(entry);
    if (result != ResultSuccess) return result;
    SendMessageW(worker_.dialogWindow, WM_PATCH_FILENAME, index,
                 reinterpret_cast<LPARAM>(path_.Get()));
    // A removal needs no temporary: a folder that is gone took the file,
    // and the folders in it (a run judges a folder only after its commit).
    if (entry.kind == EntryKindRemove) return PrepareRemoval(index);
    if (entry.kind == EntryKindRemoveDirectory) return ResultSuccess;
    // The temporary file goes into the target's folder.
    const WString folder = FolderOf(entry.name);
    if (!folder.empty() && made->count(folder) == 0 &&
        !IsDirectory(folder_.Full(folder).c_str())) {
      return ResultNoTempName;
    }
    switch (entry.kind) {
      case EntryKindPatch: {
        SharedHandle old;
        if (entry.source.empty())
          return OpenOld(target_, entry.record, &old, nullptr);
        if (GetFileAttributesW(target_.c_str()) != INVALID_FILE_ATTRIBUTES)
          return ResultTargetExists;
        ResultCode result =
            OpenOld(folder_.Full(entry.source), entry.record, &old, nullptr);
        if (result != ResultSuccess) Show(entry.source);
        return result;
      }
      case EntryKindAdd:
        return GetFileAttributesW(target_.c_str()) != INVALID_FILE_ATTRIBUTES
                   ? ResultTargetExists
                   : ResultSuccess;
      case EntryKindDirectory:
        if (IsDirectory(target_.c_str())) return ResultSuccess;
        if (GetFileAttributesW(target_.c_str()) != INVALID_FILE_ATTRIBUTES)
          return ResultTargetExists;
        // It and every folder on its way exist once it is made.
        for (size_t end = 1; end <= entry.name.size(); ++end) {
          if (end == entry.name.size() || entry.name[end] == u'\\' ||
              entry.name[end] == u'/')
            made->insert(entry.name.substr(0, end));
        }
        return ResultSuccess;
      default:
        return ResultSuccess;
    }
  }

  // The checks before an entry's temporary is reserved: its full path
  // fits, no link lies on its way, the folders on the way are held (and
  // ours), and an older backup it would replace is ours. Sets `target_`
  // and shows the entry's full path, or what stopped it.
  ResultCode ReachTarget(const LoadedEntry& entry) {
    WCHAR* full = path_.Get();
    LPWSTR filePart = nullptr;
    DWORD length =
        GetFullPathNameW(entry.name.c_str(), kLongPathUnits, full, &filePart);
    if (length == 0 || length >= kLongPathUnits || filePart == nullptr) {
      // The full path does not fit, or names no file: report the name.
      size_t units = entry.name.copy(full, kLongPathUnits - 1);
      full[units] = 0;
      return ResultNoTempName;
    }
    target_ = folder_.Full(entry.name);
    ResultCode result = Confine(entry.name);
    if (result == ResultSuccess && !entry.source.empty())
      result = Confine(entry.source);
    if (result != ResultSuccess) return result;
    // An older backup that has other names shares its attributes with
    // them, and another user's is not ours to replace. A folder there
    // would fail the commit: it fails the entry, as the commit reports it.
    if (!MovesAside(entry) || !(options_ & PackageFlagBackup))
      return ResultSuccess;
    const WString backup = entry.name + kBackupSuffix;
    if (IsDirectory(folder_.Full(backup).c_str())) {
      Show(entry.name);
      return ResultUpdateFailed;
    }
    if (Examine(folder_.Full(backup)) == Found::kForeign) {
      Show(backup);
      return ResultLinkOnPath;
    }
    return ResultSuccess;
  }

  // Reserves a temporary file beside the target (but for a removal), tells
  // the dialog, and builds the entry. The reserved file joins the commit
  // list or is removed.
  ResultCode PrepareEntry(size_t index) {
    const LoadedEntry& entry = loader_.entries[index];
    ResultCode result = ReachTarget(entry);
    if (result != ResultSuccess) return result;
    WCHAR* full = path_.Get();
    WString temp;
    SharedHandle file;
    if (!IsRemoval(entry.kind) &&
        !Reserve(FolderOf(entry.name), &temp, &file)) {
      return ResultNoTempName;
    }

    SendMessageW(worker_.dialogWindow, WM_PATCH_FILENAME, index,
                 reinterpret_cast<LPARAM>(full));
    switch (entry.kind) {
      case EntryKindPatch:
        // A file rebuilt from a source must not exist yet, as an added one.
        if (!entry.source.empty() &&
            GetFileAttributesW(target_.c_str()) != INVALID_FILE_ATTRIBUTES) {
          result = ResultTargetExists;
        } else if (entry.source.empty()) {
          result = PreparePatch(target_, entry.record, file.Get());
        } else {
          result = PreparePatch(folder_.Full(entry.source), entry.record,
                                file.Get());
          // What is wrong with the source is reported at the source.
          if (result == ResultOpenSource || result == ResultSourceMismatch ||
              result == ResultLinkOnPath) {
            Show(entry.source);
          }
        }
        break;
      case EntryKindAdd:
        result = PrepareAdd(entry.record, file.Get());
        break;
      case EntryKindRemove:
        result = PrepareRemoval(index);
        break;
      case EntryKindDirectory:
        // A folder that cannot be made (a file has its name, the folder
        // above refuses) fails the run rather than leave the program
        // without it.
        if (!IsDirectory(target_.c_str())) {
          NoteMissingFolders(entry.name);
          if (!CreateDirectoryTree(target_.c_str())) {
            result =
                GetFileAttributesW(target_.c_str()) != INVALID_FILE_ATTRIBUTES
                    ? ResultTargetExists
                    : ResultCreateFailed;
          }
        }
        break;
      default:
        break;
    }
    if (IsRemoval(entry.kind)) return result;
    file.Release();
    bool keep = result == ResultSuccess &&
                (entry.kind == EntryKindPatch || entry.kind == EntryKindAdd);
    if (keep) {
      commitList_.push_back({index, temp});
    } else {
      RemoveFile(folder_.Full(temp));
    }
    return result;
  }

  // Whether the commit moves the file under the entry's name aside: a
  // patched target, a file to remove.
  static bool MovesAside(const LoadedEntry& entry) {
    return (entry.kind == EntryKindPatch && entry.source.empty()) ||
           entry.kind == EntryKindRemove;
  }

  void Note(RemovalNote note) {
    SendMessageW(worker_.dialogWindow, WM_PATCH_NOTE, note,
                 reinterpret_cast<LPARAM>(path_.Get()));
  }

  // A file to remove goes on the commit list when it is still the old one,
  // proved as a file to patch is: one that cannot be read, and the old
  // content that is not ours to move (another user's, or with other names),
  // fail the run. Anything else under its name (a file changed since, by
  // whomever, or a folder) is kept, and nothing there is fine.
  ResultCode PrepareRemoval(size_t index) {
    const PackageEntry& record = loader_.entries[index].record;
    DWORD attributes = GetFileAttributesW(target_.c_str());
    DWORD error = GetLastError();
    if (attributes == INVALID_FILE_ATTRIBUTES &&
        (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
      Note(kNoteGone);
      return ResultSuccess;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      Note(kNoteChanged);
      return ResultSuccess;
    }
    SharedHandle old = OpenForReading(target_);
    if (!old.IsValid()) return ResultOpenSource;
    switch (Compare(old.Get(), record.oldSize, record.oldDigest)) {
      case Content::kUnreadable:
        return ResultOpenSource;
      case Content::kDiffers:
        Note(kNoteChanged);
        return ResultSuccess;
      case Content::kSame:
        break;
    }
    if (!HasOneName(old.Get()) || !OwnedByUs(old.Get()))
      return ResultLinkOnPath;
    commitList_.push_back({index, WString()});
    Note(kNoteRemoved);
    return ResultSuccess;
  }

  // Notes every folder on the way to `name` (relative), itself included,
  // that does not exist yet: a run that fails removes what it made.
  void NoteMissingFolders(const WString& name) {
    for (size_t end = 1; end <= name.size(); ++end) {
      if (end < name.size() && name[end] != u'\\' && name[end] != u'/')
        continue;
      WString folder = name.substr(0, end);
      if (!IsDirectory(folder_.Full(folder).c_str()))
        madeFolders_.push_back(folder);
    }
  }

  enum class Content { kSame, kDiffers, kUnreadable };

  // Whether an open file has `size` and `digest`, read from its start.
  Content Compare(HANDLE file, uint64_t size, const uint8_t* digest) {
    uint64_t actual = 0;
    if (!SeekFile(file, 0) || !FileSize(file, &actual))
      return Content::kUnreadable;
    if (actual != size) return Content::kDiffers;
    if (!HashWholeFile(file, hash_)) return Content::kUnreadable;
    return hash_.Get()->CompareDigest(digest) ? Content::kSame
                                              : Content::kDiffers;
  }
  bool Matches(HANDLE file, uint64_t size, const uint8_t* digest) {
    return Compare(file, size, digest) == Content::kSame;
  }
  bool MatchesNew(HANDLE file, const PackageEntry& record) {
    return Matches(file, record.newSize, record.newDigest);
  }

  // An old file, open for reading while nobody writes it (waiting out a
  // brief hold).
  static SharedHandle OpenForReading(const WString& full) {
    SharedHandle file;
    file.Attach(CreateFileWaiting(
                    full.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL),
                CloseHandle);
    return file;
  }

  // The file times of an old file; `read` when they could be.
  struct Times {
    FILETIME created, accessed, written;
    bool read = false;
  };

  // Opens the old file `full` (its target's, or the source's) into `old`
  // and proves it the one the entry names: 0, 8 when it cannot be opened,
  // 16 when it is not ours to move, 10 when its size or digest differs
  // (without `digest`, only its size is compared: the caller proves the
  // rest). `times`, when given, receives its times.
  ResultCode OpenOld(const WString& full, const PackageEntry& record,
                     SharedHandle* old, Times* times, bool digest = true) {
    *old = OpenForReading(full);
    if (!old->IsValid()) return ResultOpenSource;
    // A target with other names (hard links) would carry the attributes it
    // is given to a file elsewhere. Another user's file is not patched
    // either: moved aside by a run cut short, recovery could not tell it
    // from one planted under the aside's name, and would not put it back.
    if (!HasOneName(old->Get()) || !OwnedByUs(old->Get()))
      return ResultLinkOnPath;
    if (times != nullptr) {
      times->read = GetFileTime(old->Get(), &times->created, &times->accessed,
                                &times->written) != FALSE;
    }
    uint64_t size = 0;
    if (!digest) {
      return FileSize(old->Get(), &size) && size == record.oldSize
                 ? ResultSuccess
                 : ResultSourceMismatch;
    }
    return Matches(old->Get(), record.oldSize, record.oldDigest)
               ? ResultSuccess
               : ResultSourceMismatch;
  }

  // Builds the new file from the old file `oldFull` through `out`, the
  // handle that created its temporary: whatever has been put under the
  // temporary's name since is never opened, let alone written. The entry's
  // compressed blocks decode ahead while the old file is proven (that of a
  // seeking entry while it loads for the rebuild); a fault in its blocks
  // counts once the old file is the one the entry names.
  ResultCode PreparePatch(const WString& oldFull, const PackageEntry& record,
                          HANDLE out) {
    OpenedBlocks blocks;
    const ResultCode opened = OpenBlocks(worker_, record, &blocks);
    const bool provenInRebuild = opened == ResultSuccess && blocks.seeking;
    SharedHandle old;
    Times times;
    ResultCode code = OpenOld(oldFull, record, &old, &times, !provenInRebuild);
    if (code != ResultSuccess) return code;
    if (opened != ResultSuccess) return opened;
    SeekFile(old.Get(), 0);
    code = RebuildFile(worker_, blocks, old.Get(), out, record);
    if (code != ResultSuccess) return code;
    // The kept times are set before the flush, which takes them to disk with
    // the file, and again once the file is read back: reading it through
    // another handle may have touched its time of last access.
    const bool keep = (options_ & PackageFlagKeepTimes) && times.read;
    if (keep) SetFileTime(out, &times.created, &times.accessed, &times.written);
    code = ProveWritten(out, record, ResultUpdateFailed);
    if (code == ResultSuccess && keep)
      SetFileTime(out, &times.created, &times.accessed, &times.written);
    return code;
  }

  ResultCode PrepareAdd(const PackageEntry& record, HANDLE out) {
    if (GetFileAttributesW(target_.c_str()) != INVALID_FILE_ATTRIBUTES) {
      return ResultTargetExists;
    }
    ResultCode code = WriteAddedFile(record, worker_, out);
    if (code != ResultSuccess) return code;
    return ProveWritten(out, record, ResultCreateFailed);
  }

  // Whether the new file just written through `out` is the entry's (11 when
  // not), read back from its start, and on disk (`unflushed` when it could
  // not be put there). On disk before the commit: once it is marked complete
  // the old file goes, and the file system keeps names, not contents, across
  // a power loss. A large file is flushed on a thread of its own while it is
  // read back through a second handle: the requests made through one handle
  // wait for each other.
  ResultCode ProveWritten(HANDLE out, const PackageEntry& record,
                          ResultCode unflushed) {
    FlushAside flush{out};
    CThread flusher;
    SharedHandle reader;
    bool threaded = false;
    if (record.newSize >= kFlushAsideSize) {
      reader.Attach(
          ReOpenFile(out, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     FILE_FLAG_SEQUENTIAL_SCAN),
          CloseHandle);
      if (reader.IsValid() &&
          flusher.SetThreadProcC(&FlushAside::Run, &flush) == 1) {
        flusher.Start();
        threaded = flusher.GetThreadHandle() != nullptr;
      }
    }
    const bool same = MatchesNew(threaded ? reader.Get() : out, record);
    if (threaded) {
      flusher.Stop();
    } else if (same) {
      FlushAside::Run(&flush);
    }
    if (!same) return ResultTargetMismatch;
    return flush.flushed ? ResultSuccess : unflushed;
  }

  // The next temporary name in `folder` (relative; empty for the current
  // folder): "ptf", eight hex digits, ".tmp". The digits come from a
  // sequence seeded by the clock and the thread, so that names do not
  // repeat within a run nor follow from one run to the next.
  WString NextTempName(const WString& folder) {
    nextName_ = nextName_ * 6364136223846793005u + 1442695040888963407u;
    static const char kDigits[] = "0123456789abcdef";
    WString name = folder.empty() ? WString() : folder + WTXT("\\");
    name += kTempPrefix;
    for (int shift = 60; shift >= 32; shift -= 4)
      name += static_cast<WCHAR>(kDigits[(nextName_ >> shift) & 15]);
    return name + kTempSuffix;
  }

  // Creates a new, empty temporary file in `folder` under a name no file
  // had (another is tried while a name is taken) and notes it in the
  // journal; `name` receives its relative name. With `file`, the handle
  // that created it stays open there, for writing and reading; nobody else
  // may write, rename or delete the file while it is.
  bool Reserve(const WString& folder, WString* name, SharedHandle* file) {
    HANDLE made = CreateUnderFreeName(
        folder_, [&] { return NextTempName(folder); }, kTempAttempts,
        GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, name);
    if (made == INVALID_HANDLE_VALUE) return false;
    if (journal_.NoteReserved(*name)) {
      if (file != nullptr) {
        file->Attach(made, CloseHandle);
      } else {
        CloseHandle(made);
      }
      return true;
    }
    CloseHandle(made);
    RemoveFile(folder_.Full(*name));
    return false;
  }

  // A name beside `file` (a target) that no file has, for moving a file
  // aside. It is noted in the journal but never made:
  // MoveFileW refuses an existing destination, and a name made and deleted
  // again may not be free yet (Windows keeps the name of a deleted file
  // while another program still holds it). Someone who makes a file under
  // the name first only makes the move fail, and the commit undo.
  bool FreeNameBeside(const WString& file, WString* name) {
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
      *name = NextTempName(FolderOf(file));
      if (GetFileAttributesW(folder_.Full(*name).c_str()) ==
              INVALID_FILE_ATTRIBUTES &&
          GetLastError() == ERROR_FILE_NOT_FOUND) {
        return journal_.NoteReserved(*name);
      }
    }
    return false;
  }

  // Whether a prepared file is still the one made for it: a file of ours
  // with no other name. Its handle is closed once it is verified, and a
  // hard link or a stranger's file put under its name since must not be
  // placed on a target.
  bool StillOurs(const WString& temp) const {
    return Examine(folder_.Full(temp)) == Found::kOurs;
  }

  bool Move(const WString& from, const WString& to) {
    if (!MoveFileWaiting(folder_.Full(from).c_str(), folder_.Full(to).c_str()))
      return false;
    steps_.push_back({CommitStep::kMoved, from, to, 0});
    return true;
  }

  // Moves a new file onto the name its target was moved off. Another
  // user's file (or link) made under that name meanwhile is not left as
  // the program, nor given its attributes: it goes beside, kept.
  bool PlaceOnto(const WString& temp, const WString& target) {
    if (Move(temp, target)) return true;
    DWORD error = GetLastError();
    if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) ||
        Examine(folder_.Full(target)) != Found::kForeign ||
        !KeepBeside(folder_, target, target, 1)) {
      return false;
    }
    return Move(temp, target);
  }

  bool ClearAttributes(const WString& name, DWORD attributes) {
    if (!SetFileAttributesWaiting(folder_.Full(name).c_str(),
                                  FILE_ATTRIBUTE_NORMAL))
      return false;
    steps_.push_back(
        {CommitStep::kAttributesCleared, name, WString(), attributes});
    return true;
  }

  // The entry's new content's digest, as the journal gives it: recovery
  // knows by it the file a step placed.
  WString NewDigest(size_t entry) const {
    static const char kDigits[] = "0123456789abcdef";
    WString text;
    for (uint8_t byte : loader_.entries[entry].record.newDigest) {
      text += static_cast<WCHAR>(kDigits[byte >> 4]);
      text += static_cast<WCHAR>(kDigits[byte & 15]);
    }
    return text;
  }

  // Chooses every name the commit will use and lists its steps in order:
  // each target moved aside and its new file moved in, each file to remove
  // moved aside, each added file moved in; then each moved-aside file made
  // a backup (an older backup moved aside first) or marked for deletion;
  // then the folders to remove, deepest first. `entries` receives the entry
  // of each step. False, with the failing entry in `failed`.
  bool PlanCommit(std::vector<JournalStep>* plan, std::vector<size_t>* entries,
                  size_t* failed) {
    std::vector<JournalStep> finishing, deletions;
    std::vector<size_t> finishingEntries, deletionEntries;
    for (const Prepared& item : commitList_) {
      const LoadedEntry& entry = loader_.entries[item.entry];
      const WString& target = entry.name;
      *failed = item.entry;
      if (!MovesAside(entry)) {
        plan->push_back({JournalStep::kPlaceAdded, 0, target, item.temp,
                         WString(), NewDigest(item.entry)});
        entries->push_back(item.entry);
        continue;
      }
      DWORD attributes = GetFileAttributesW(folder_.Full(target).c_str());
      WString aside;
      if (attributes == INVALID_FILE_ATTRIBUTES ||
          !FreeNameBeside(target, &aside)) {
        return false;
      }
      plan->push_back({JournalStep::kMoveAside, attributes, target, aside,
                       WString(), WString()});
      entries->push_back(item.entry);
      if (!item.temp.empty()) {
        plan->push_back({JournalStep::kPlaceNew, attributes, target, item.temp,
                         aside, NewDigest(item.entry)});
        entries->push_back(item.entry);
      }
      if (!(options_ & PackageFlagBackup)) {
        deletions.push_back(
            {JournalStep::kDelete, 0, aside, WString(), WString(), WString()});
        deletionEntries.push_back(item.entry);
        continue;
      }
      WString backup = target + kBackupSuffix;
      DWORD existing = GetFileAttributesW(folder_.Full(backup).c_str());
      WString older;
      if (existing != INVALID_FILE_ATTRIBUTES) {
        // Checked again: another user's may have been put there since.
        if ((existing & FILE_ATTRIBUTE_DIRECTORY) ||
            Examine(folder_.Full(backup)) != Found::kOurs ||
            !FreeNameBeside(target, &older)) {
          return false;
        }
        finishing.push_back({JournalStep::kMoveOlder, existing, backup, older,
                             WString(), WString()});
        finishingEntries.push_back(item.entry);
        deletions.push_back(
            {JournalStep::kDelete, 0, older, WString(), WString(), WString()});
        deletionEntries.push_back(item.entry);
      }
      finishing.push_back(
          {JournalStep::kMakeBackup, 0, backup, aside, older, WString()});
      finishingEntries.push_back(item.entry);
    }
    // Deletions come last: they are the only steps that cannot be undone.
    plan->insert(plan->end(), finishing.begin(), finishing.end());
    plan->insert(plan->end(), deletions.begin(), deletions.end());
    entries->insert(entries->end(), finishingEntries.begin(),
                    finishingEntries.end());
    entries->insert(entries->end(), deletionEntries.begin(),
                    deletionEntries.end());
    for (size_t i : FoldersToRemove()) {
      plan->push_back({JournalStep::kRemoveFolder, 0, loader_.entries[i].name,
                       WString(), WString(), WString()});
      entries->push_back(i);
    }
    return true;
  }

  // Whether no name of a step leads through a link; else `link` names the
  // first link found.
  bool LinkFree(const JournalStep& step, WString* link) const {
    for (const WString* name : {&step.target, &step.other, &step.aside}) {
      if (!name->empty() && !ReachedWithoutLinks(folder_, *name, link))
        return false;
    }
    return true;
  }

  // Takes one step of the plan, looking for links once more right before
  // it: one may have been put in place since the plan was checked.
  bool Perform(const JournalStep& step) {
    WString link;
    if (!LinkFree(step, &link)) return false;
    switch (step.kind) {
      case JournalStep::kMoveAside:
      case JournalStep::kMoveOlder:
        return ClearAttributes(step.target, step.attributes) &&
               Move(step.target, step.other);
      case JournalStep::kPlaceNew:
        if (!StillOurs(step.other) || !PlaceOnto(step.other, step.target) ||
            !SetFileAttributesWaiting(folder_.Full(step.target).c_str(),
                                      step.attributes)) {
          return false;
        }
        steps_.push_back(
            {CommitStep::kAttributesRestored, step.target, WString(), 0});
        return true;
      case JournalStep::kPlaceAdded:
        return StillOurs(step.other) && Move(step.other, step.target);
      case JournalStep::kMakeBackup:
        return Move(step.other, step.target) &&
               SetFileAttributesWaiting(folder_.Full(step.target).c_str(),
                                        FILE_ATTRIBUTE_NORMAL);
      case JournalStep::kDelete:
      case JournalStep::kRemoveFolder:
        return true;  // after the commit is marked complete
    }
    return false;
  }

  // Puts every prepared file in place; 0, or 14 with every step undone and
  // the failing target's full path in the path buffer (16 and the link's
  // full path when a name of the plan leads through a link, before anything
  // moved). The plan goes to the journal first, so that a commit cut short
  // can be undone by the next run.
  ResultCode Commit() {
    std::vector<JournalStep> plan;
    std::vector<size_t> entries;
    size_t failed = 0;
    // A link may have been put in place since the entries were prepared:
    // once before any name is reserved for the plan, once for the plan.
    WString link;
    for (const Prepared& item : commitList_) {
      if (!ReachedWithoutLinks(folder_, loader_.entries[item.entry].name,
                               &link) ||
          !ReachedWithoutLinks(folder_, item.temp, &link)) {
        return CommitFailed(item.entry, link);
      }
    }
    if (!PlanCommit(&plan, &entries, &failed)) return CommitFailed(failed);
    if (plan.empty()) {
      // Folders made at most: nothing for a later run to undo.
      journal_.Remove();
      return ResultSuccess;
    }
    for (size_t i = 0; i < plan.size(); ++i) {
      if (!LinkFree(plan[i], &link)) return CommitFailed(entries[i], link);
    }
    if (!journal_.WritePlan(plan)) return CommitFailed(entries.front());
    for (size_t i = 0; i < plan.size(); ++i) {
      if (!Perform(plan[i])) return CommitFailed(entries[i]);
    }
    // The mark is on disk before anything is deleted (MarkCommitted
    // flushes it), as the prepared files are: a power loss after it keeps
    // the new files.
    if (!journal_.MarkCommitted()) return CommitFailed(entries.front());
    // Complete: from here on nothing goes back. A file that will not go
    // (a running program's old image) goes when Windows next starts; one
    // that cannot even be scheduled stays listed in the journal, and the
    // next run deletes it.
    bool deleted = true;
    for (const JournalStep& step : plan) {
      if (step.kind == JournalStep::kDelete) {
        const WString full = folder_.Full(step.target);
        deleted = (RemoveFile(full) || RemoveAtRestart(full)) && deleted;
      }
    }
    for (const JournalStep& step : plan) {
      if (step.kind == JournalStep::kRemoveFolder) RemoveFolder(step.target);
    }
    if (deleted) journal_.Remove();
    steps_.clear();
    commitList_.clear();
    return ResultSuccess;
  }

  // Undoes the steps taken and reports 14 with the entry's full path, or,
  // given the `link` that stopped the commit, 16 with the link's.
  ResultCode CommitFailed(size_t index, const WString& link = WString()) {
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
      // A step is not undone through a link: the journal stays, and the
      // next run's recovery refuses it too.
      WString found;
      bool undone = ReachedWithoutLinks(folder_, step->path, &found) &&
                    (step->other.empty() ||
                     ReachedWithoutLinks(folder_, step->other, &found));
      if (undone) {
        switch (step->kind) {
          case CommitStep::kAttributesCleared:
            // Only on the file they came from: if it could not go back,
            // what is under its name is not ours to change.
            undone = Examine(folder_.Full(step->path)) == Found::kOurs &&
                     SetFileAttributesWaiting(folder_.Full(step->path).c_str(),
                                              step->attributes) != FALSE;
            break;
          case CommitStep::kMoved:
            undone = MoveFileWaiting(folder_.Full(step->other).c_str(),
                                     folder_.Full(step->path).c_str()) != FALSE;
            break;
          case CommitStep::kAttributesRestored:
            undone = SetFileAttributesWaiting(folder_.Full(step->path).c_str(),
                                              FILE_ATTRIBUTE_NORMAL) != FALSE;
            break;
        }
      }
      // What could not be undone here is undone by the next run, from
      // the journal.
      keepJournal_ = keepJournal_ || !undone;
    }
    // Undone: a run cut short from here on leaves the next one only the
    // reserved files to delete, not the steps to judge again.
    if (!keepJournal_) journal_.MarkUndone();
    steps_.clear();
    if (!link.empty()) {
      Show(link);
      return ResultLinkOnPath;
    }
    Show(loader_.entries[index].name);
    return ResultUpdateFailed;
  }

  // Reports `result` with the full path of `name` (relative).
  ResultCode FailAt(ResultCode result, const WString& name) {
    Show(name);
    return Fail(result);
  }

  // Puts the full path of `name` (relative) in the path buffer, as the user
  // reads it; `name` itself when that cannot be made.
  void Show(const WString& name) {
    WCHAR* full = path_.Get();
    DWORD length =
        GetFullPathNameW(name.c_str(), kLongPathUnits, full, nullptr);
    if (length == 0 || length >= kLongPathUnits) {
      full[name.copy(full, kLongPathUnits - 1)] = 0;
    }
  }

  // Removes every prepared file and the journal, and reports `result`. A
  // prepared file that a link now leads out of the folder is left alone, as
  // is another user's file under a prepared file's name (one a failed undo
  // left free).
  ResultCode Fail(ResultCode result) {
    for (const Prepared& item : commitList_) {
      WString link;
      const WString full = folder_.Full(item.temp);
      if (!item.temp.empty() &&
          ReachedWithoutLinks(folder_, item.temp, &link) &&
          Examine(full) == Found::kOurs) {
        RemoveFile(full);
      }
    }
    commitList_.clear();
    // The folders the run made, deepest first, where they are still empty
    // and still reached without a link (the folders are no longer held).
    pins_.Release();
    for (auto folder = madeFolders_.rbegin(); folder != madeFolders_.rend();
         ++folder) {
      WString link;
      if (ReachedWithoutLinks(folder_, *folder, &link) &&
          FolderOwnedByUs(folder_.Full(*folder))) {
        RemoveDirectoryW(folder_.Full(*folder).c_str());
      }
    }
    if (!keepJournal_) journal_.Remove();
    SendMessageW(worker_.dialogWindow, WM_PATCH_ERROR, result,
                 reinterpret_cast<LPARAM>(path_.Get()));
    return result;
  }

  CPatchThread& worker_;
  const PackageLoader& loader_;
  const uint32_t options_;
  RunFolder folder_;         // the folder patched, resolved at the start
  SharedArray<WCHAR> path_;  // full path of the entry at hand, as shown
  WString target_;           // the entry's full path for file calls
  SharedArray<IHashCode> hash_;
  std::vector<Prepared> commitList_;
  std::vector<CommitStep> steps_;  // commit steps taken, to undo
  uint64_t nextName_;              // the sequence temporary names come from
  CommitJournal journal_;
  std::vector<WString> madeFolders_;  // by directory entries, in order
  FolderPins pins_;                   // the folders on the way to every entry
  bool keepJournal_ = false;  // an undo failed: the next run finishes it
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
