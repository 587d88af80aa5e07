#include "apply/folder_check.h"

#include <set>
#include <vector>

#include "apply/commit_journal.h"
#include "apply/directory.h"
#include "apply/ownership.h"
#include "apply/safe_paths.h"
#include "package/file_hash.h"

namespace {

SharedHandle OpenForReading(const WString& name) {
  SharedHandle file;
  file.Attach(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr),
              CloseHandle);
  return file;
}

// What one entry's target is, by attributes and size only.
struct Look {
  bool exists = false;
  bool isDirectory = false;
  bool isFile = false;  // an existing file that could be opened and sized
  uint64_t size = 0;
};

Look LookAt(const WString& name) {
  Look look;
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return look;
  look.exists = true;
  look.isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (look.isDirectory) return look;
  SharedHandle file = OpenForReading(name);
  look.isFile = file.IsValid() && FileSize(file.Get(), &look.size);
  return look;
}

// Whether the file `name` can be read and has `size` and `digest`.
bool HasContent(const WString& name, uint64_t size, const uint8_t* digest,
                const SharedArray<IHashCode>& hash) {
  SharedHandle file = OpenForReading(name);
  uint64_t actual = 0;
  return file.IsValid() && FileSize(file.Get(), &actual) && actual == size &&
         HashWholeFile(file.Get(), hash) && hash.Get()->CompareDigest(digest);
}

// Whether a run would remove the folder `name` (full): a folder of ours,
// no link, with nothing in it.
bool WouldRemoveFolder(const WString& name) {
  if (!FolderOwnedByUs(name)) return false;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((name + WTXT("\\*")).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool empty = true;
  do {
    const WString item(found.cFileName);
    empty = item == WTXT(".") || item == WTXT("..");
  } while (empty && FindNextFileW(find, &found));
  FindClose(find);
  return empty;
}

// The first entry that a run in a folder holding none of the files to patch
// would fail at: the run reserves a temporary file in each target's folder
// (missing: 7; directory entries before it create theirs), then a file to
// patch is missing (8) and a file to add must not exist (12).
void FindFirstFailure(const RunFolder& run, const PackageLoader& loader,
                      const std::vector<Look>& looks, FolderCheck* check) {
  std::set<WString> made;
  for (size_t i = 0; i < loader.entries.size(); ++i) {
    const LoadedEntry& entry = loader.entries[i];
    // Removals reserve nothing, and a file missing is one removed.
    if (entry.kind == EntryKindRemove ||
        entry.kind == EntryKindRemoveDirectory) {
      continue;
    }
    WString folder = run.Full(FolderOf(entry.name));
    check->failedEntry = i;
    if (!IsDirectory(folder.c_str()) && made.count(folder) == 0) {
      check->failure = ResultNoTempName;
      return;
    }
    switch (entry.kind) {
      case EntryKindPatch:
        // Its old file (or source) is missing; a file rebuilt from a
        // source must not exist either, and does not here.
        check->failure = ResultOpenSource;
        return;
      case EntryKindAdd:
        if (looks[i].exists) {
          check->failure = ResultTargetExists;
          return;
        }
        break;
      case EntryKindDirectory: {
        // Its folder exists, so the run creates just this one, unless a
        // file stands in the way.
        if (looks[i].exists && !looks[i].isDirectory) break;
        made.insert(run.Full(entry.name));
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace

FolderCheck CheckFolder(const PackageLoader& loader,
                        const SharedArray<IHashCode>& hash) {
  FolderCheck check{FolderReady, 0, ResultSuccess};
  // A folder that cannot be resolved is left to the run, which reports it.
  RunFolder run;
  if (!run.Resolve()) return check;
  const std::vector<LoadedEntry>& entries = loader.entries;
  std::vector<Look> looks(entries.size());
  size_t patches = 0, patchesHere = 0;
  bool newSizes = !entries.empty();
  bool oldSizes = true;
  bool foldersLeft = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const PackageEntry& record = entries[i].record;
    Look& look = looks[i] = LookAt(run.Full(entries[i].name));
    switch (entries[i].kind) {
      case EntryKindPatch: {
        // The old file is the source's where the entry names one; the
        // entry's own file is then one the run adds.
        const WString& source = entries[i].source;
        const Look old = source.empty() ? look : LookAt(run.Full(source));
        ++patches;
        if (look.exists || old.exists) ++patchesHere;
        oldSizes = oldSizes && old.isFile && old.size == record.oldSize &&
                   (source.empty() || !look.exists);
        newSizes = newSizes && look.isFile && look.size == record.newSize;
        break;
      }
      case EntryKindRemove:
        // A file there that cannot be read cannot be judged.
        newSizes =
            newSizes && (!look.exists || look.isDirectory || look.isFile);
        break;
      case EntryKindRemoveDirectory:
        // One that is not empty, or not ours, stays.
        foldersLeft =
            foldersLeft ||
            (look.isDirectory && WouldRemoveFolder(run.Full(entries[i].name)));
        break;
      case EntryKindAdd:
        oldSizes = oldSizes && !look.exists;
        newSizes = newSizes && look.isFile && look.size == record.newSize;
        break;
      case EntryKindDirectory:
        newSizes = newSizes && look.isDirectory;
        break;
      default:
        break;
    }
  }
  // A commit cut short may have moved every file aside: the run recovers
  // it here rather than look elsewhere.
  bool journal = GetFileAttributesW(run.Full(kJournalName).c_str()) !=
                 INVALID_FILE_ATTRIBUTES;
  if (patches > 0 && patchesHere == 0 && !journal) {
    check.state = FolderNotHere;
    FindFirstFailure(run, loader, looks, &check);
    return check;
  }
  if (newSizes) {
    bool applied = true;
    for (size_t i = 0; i < entries.size() && applied; ++i) {
      const PackageEntry& record = entries[i].record;
      const WString name = run.Full(entries[i].name);
      switch (entries[i].kind) {
        case EntryKindPatch:
        case EntryKindAdd:
          applied = HasContent(name, record.newSize, record.newDigest, hash);
          break;
        case EntryKindRemove:
          // Gone, or no longer the old file: a folder or a file changed
          // since, which the run keeps.
          applied = !looks[i].exists || looks[i].isDirectory ||
                    looks[i].size != record.oldSize ||
                    !HasContent(name, record.oldSize, record.oldDigest, hash);
          break;
        default:
          break;
      }
    }
    if (applied) {
      check.state = foldersLeft ? FolderFilesApplied : FolderApplied;
      return check;
    }
  }
  check.state = oldSizes ? FolderReady : FolderMixed;
  return check;
}
