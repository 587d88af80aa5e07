#include "apply/commit_journal.h"

#include <algorithm>
#include <cstring>

#include "apply/folder_pins.h"
#include "apply/held_files.h"
#include "apply/ownership.h"
#include "apply/safe_paths.h"
#include "package/file_hash.h"
#include "package/package_loader.h"
#include "package/sha256.h"

namespace {

const WCHAR kHeader[] = WTXT("selfpatch journal 2");
const WCHAR kReserved[] = WTXT("T");
const WCHAR kCommitted[] = WTXT("C");
const WCHAR kUndone[] = WTXT("U");
constexpr WCHAR kTab = u'\t';
constexpr WCHAR kNewline = u'\n';

bool Exists(const RunFolder& folder, const WString& name) {
  return GetFileAttributesW(folder.Full(name).c_str()) !=
         INVALID_FILE_ATTRIBUTES;
}

WString Decimal(int value) {
  WString out;
  do {
    out.insert(out.begin(), static_cast<WCHAR>(u'0' + value % 10));
    value /= 10;
  } while (value > 0);
  return out;
}

WString Hex(uint64_t value, int digits) {
  static const char kDigits[] = "0123456789abcdef";
  WString out;
  for (int i = digits - 1; i >= 0; --i) out += kDigits[(value >> (4 * i)) & 15];
  return out;
}

uint64_t ParseHex(const WString& text) {
  uint64_t value = 0;
  for (WCHAR c : text) {
    value = value * 16 + (c >= u'a' ? c - u'a' + 10 : c - u'0');
  }
  return value;
}

std::vector<WString> Fields(const WString& line) {
  std::vector<WString> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find(kTab, start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == WString::npos) return fields;
    start = tab + 1;
  }
}

// A journal bigger than this was not written by a run of ours: ten
// thousand entries, each with a reserved name and the steps of a backup,
// take some tens of MiB at most.
constexpr DWORD kMaxJournalBytes = 256u << 20;

// Whether `name` is a temporary file the applier reserves: a plain
// relative name whose last component is "ptf", eight hex digits, ".tmp"
// (in any case), or, from an older applier, what GetTempFileNameW made of
// that prefix: one to four hex digits.
bool IsOurTemporary(const WString& name) {
  if (!IsPlainRelativeName(name)) return false;
  WString file = name.substr(FolderOf(name).size());
  if (!file.empty() && (file[0] == u'\\' || file[0] == u'/')) file.erase(0, 1);
  return IsTemporaryName(file);
}

// Whether `text` is a SHA-256 digest as a journal gives it.
bool IsDigest(const WString& text) {
  return text.size() == 64 &&
         text.find_first_not_of(WTXT("0123456789abcdef")) == WString::npos;
}

// Whether a step names only what a run of ours writes into its plan: its
// temporaries, and the targets it moves them to or from, all in one folder
// (a temporary is reserved beside its target, an aside beside the
// temporary, a backup beside the file it keeps). Anything else is a
// stranger's file that recovery must not move or delete.
bool IsOurStep(const JournalStep& step) {
  bool targetIsTemporary = false;
  bool asideAllowed = false, asideRequired = false;
  bool placing = false;
  switch (step.kind) {
    case JournalStep::kMoveAside:
    case JournalStep::kMoveOlder:
      break;
    case JournalStep::kPlaceAdded:
      placing = true;
      break;
    case JournalStep::kPlaceNew:
      asideAllowed = asideRequired = placing = true;
      break;
    case JournalStep::kMakeBackup:
      asideAllowed = true;
      break;
    case JournalStep::kDelete:
      targetIsTemporary = true;
      break;
    case JournalStep::kRemoveFolder:
      return IsPlainRelativeName(step.target) && step.other.empty() &&
             step.aside.empty() && step.digest.empty();
    default:
      return false;
  }
  if (!step.digest.empty() && !(placing && IsDigest(step.digest))) return false;
  if (targetIsTemporary) {
    return IsOurTemporary(step.target) && step.other.empty() &&
           step.aside.empty();
  }
  if (!IsPlainRelativeName(step.target) || !IsOurTemporary(step.other))
    return false;
  const WString folder = FolderOf(step.target);
  if (FolderOf(step.other) != folder) return false;
  if (step.aside.empty()) return !asideRequired;
  return asideAllowed && IsOurTemporary(step.aside) &&
         FolderOf(step.aside) == folder;
}

// Whether text is the start of a journal's header line, cut short while it
// was written.
bool IsCutHeader(const WString& text) {
  WString lead = WString(kHeader) + kTab;
  if (text.size() <= lead.size())
    return lead.compare(0, text.size(), text) == 0;
  if (text.compare(0, lead.size(), lead) != 0) return false;
  WString digits = text.substr(lead.size());
  return digits.size() <= 64 &&
         digits.find_first_not_of(WTXT("0123456789abcdef")) == WString::npos;
}

// Recovery acts by name on files it has just found to be ours by their
// handles: no other user can rename or delete a file of ours, nor, while
// recovery holds the folders, the folders on the way to it.

// Deletes a file recovery found under a name of ours, leaving its
// attributes alone: no file of ours is ever read-only under such a name, and
// one that is may be a hard link to a stranger's file, which shares them.
bool RemoveOurs(const RunFolder& folder, const WString& name) {
  // Another user's file under the name is not ours to delete: it is left.
  const WString full = folder.Full(name);
  if (Examine(full) != Found::kOurs) return true;
  if (DeleteFileWaiting(full.c_str())) return true;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Whether a file of ours is under `name`. Recovery judges its steps by
// these alone: another user's file under a name of ours (one that was free
// when the run stopped) is no file of the run's.
bool Ours(const RunFolder& folder, const WString& name) {
  return Examine(folder.Full(name)) == Found::kOurs;
}

bool Move(const RunFolder& folder, const WString& from, const WString& to) {
  return Ours(folder, from) &&
         MoveFileWaiting(folder.Full(from).c_str(), folder.Full(to).c_str()) !=
             FALSE;
}

enum class Placement {
  kPlaced,   // the step's new file is under its target
  kNot,      // it is not: the step never ran, or was undone, or another
             // file has been written under the target since
  kUnknown,  // a file of ours there could not be read
};

// Whether the new file a placing step moved in is under its target. Given
// the placed content's digest: a file of ours that holds it. From an older
// run's journal: a file of ours while the temporary's name, which the step
// freed, is free. The content is read by the handle it is judged by,
// which lets nobody else write, rename or delete the file meanwhile.
Placement Placed(const RunFolder& folder, const JournalStep& step) {
  if (!Ours(folder, step.target)) return Placement::kNot;
  if (step.digest.empty()) {
    return Exists(folder, step.other) ? Placement::kNot : Placement::kPlaced;
  }
  HANDLE file = CreateFileWaiting(folder.Full(step.target).c_str(),
                                  GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  if (file == INVALID_HANDLE_VALUE) return Placement::kUnknown;
  SharedArray<IHashCode> hash;
  hash.Attach(new CHashSHA256, 1);
  bool read = IsOurPlainFile(file) && HashWholeFile(file, hash);
  CloseHandle(file);
  if (!read) return Placement::kUnknown;
  uint8_t value[32];
  hash.Get()->GetDigest(value);
  WString text;
  for (uint8_t byte : value) text += Hex(byte, 2);
  return text == step.digest ? Placement::kPlaced : Placement::kNot;
}

// Takes the new file off a placing step's target if it is there; true when
// it is not there (any more). It goes back to its temporary's name, or,
// where its content is known to be the package's, is deleted (the
// temporary's name, freed, may have been taken since).
bool Unplace(const RunFolder& folder, const JournalStep& step) {
  switch (Placed(folder, step)) {
    case Placement::kNot:
      return true;
    case Placement::kUnknown:
      return false;
    case Placement::kPlaced:
      break;
  }
  SetAttributesOfOnlyName(folder.Full(step.target), FILE_ATTRIBUTE_NORMAL);
  if (step.digest.empty()) return Move(folder, step.target, step.other);
  return RemoveOurs(folder, step.target);
}

// How many numbered names KeepBeside tries after "<target>.bak".
constexpr int kKeptNames = 1000;
// How many names of its own it then tries to make.
constexpr int kKeptMadeAttempts = 64;

}  // namespace

HANDLE CreateUnderFreeName(const RunFolder& folder,
                           const std::function<WString()>& next, int attempts,
                           DWORD access, DWORD share, WString* name) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    *name = next();
    HANDLE made =
        CreateFileW(folder.Full(*name).c_str(), access, share, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made != INVALID_HANDLE_VALUE) return made;
    DWORD error = GetLastError();
    // A name in use, or one whose file is being deleted.
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS &&
        error != ERROR_ACCESS_DENIED) {
      return INVALID_HANDLE_VALUE;
    }
  }
  return INVALID_HANDLE_VALUE;
}

bool KeepBeside(const RunFolder& folder, const WString& name,
                const WString& target, int first) {
  for (int n = first; n < kKeptNames; ++n) {
    WString kept = target + kBackupSuffix;
    if (n > 0) kept += WTXT(".") + Decimal(n);
    if (Exists(folder, kept)) continue;
    if (MoveFileWaiting(folder.Full(name).c_str(), folder.Full(kept).c_str()))
      return true;
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
      return false;
  }
  // Another user can take every numbered name, but not one made new by us:
  // the file replaces it.
  uint64_t value = GetTickCount64() ^ GetCurrentThreadId();
  WString kept;
  HANDLE made = CreateUnderFreeName(
      folder,
      [&] {
        value = value * 6364136223846793005u + 1442695040888963407u;
        return target + kBackupSuffix + WTXT(".") + Hex(value >> 32, 8);
      },
      kKeptMadeAttempts, GENERIC_WRITE, 0, &kept);
  if (made == INVALID_HANDLE_VALUE) return false;
  CloseHandle(made);
  kept = folder.Full(kept);
  if (ReplaceWaiting(folder.Full(name).c_str(), kept.c_str())) return true;
  DWORD error = GetLastError();
  DeleteFileWaiting(kept.c_str());
  SetLastError(error);
  return false;
}

namespace {

// Puts the file moved aside from `step.target` back while a file has been
// made under its name since, and keeps both: a file of ours (the program
// made it again) stays and the old one goes beside it; another user's goes
// beside it, and the old one back.
bool KeepBoth(const RunFolder& folder, const JournalStep& step) {
  if (Ours(folder, step.target))
    return KeepBeside(folder, step.other, step.target, 0);
  if (!KeepBeside(folder, step.target, step.target, 1) ||
      !Move(folder, step.other, step.target)) {
    return false;
  }
  SetAttributesOfOnlyName(folder.Full(step.target), step.attributes);
  return true;
}

// Undoes a backup step that ran while another user has taken the name it
// freed, the aside's: the old file goes from the backup straight back
// under its own name, in place of the new file placed there (the package
// has it), or into its free name where it was removed. A file written
// under that name since stays, and the old one with it, as the backup
// beside it: `kept` receives the name.
bool PutBack(const RunFolder& folder, const JournalStep& step,
             const std::vector<JournalStep>& steps, WString* kept) {
  auto aside = std::find_if(steps.begin(), steps.end(), [&](const auto& s) {
    return s.kind == JournalStep::kMoveAside && s.other == step.other;
  });
  auto place = std::find_if(steps.begin(), steps.end(), [&](const auto& s) {
    return s.kind == JournalStep::kPlaceNew && s.aside == step.other;
  });
  if (aside == steps.end()) return false;
  if (place != steps.end() && !Unplace(folder, *place)) return false;
  if (Exists(folder, aside->target)) {
    *kept = aside->target;
    return true;
  }
  if (!Move(folder, step.target, aside->target)) return false;
  SetAttributesOfOnlyName(folder.Full(aside->target), aside->attributes);
  return true;
}

// Undoes one step of `steps` if it ran; true when the step is undone or
// never ran. A file moved aside whose name has been taken since keeps
// both: the moved-aside one goes to a free name beside it, and `kept`
// receives the taken name.
bool Undo(const RunFolder& folder, const JournalStep& step,
          const std::vector<JournalStep>& steps, WString* kept) {
  switch (step.kind) {
    case JournalStep::kMoveOlder:
      if (Ours(folder, step.other) && Exists(folder, step.target)) {
        if (!KeepBoth(folder, step)) return false;
        *kept = step.target;
      } else if (Ours(folder, step.other)) {
        if (!Move(folder, step.other, step.target)) return false;
        SetAttributesOfOnlyName(folder.Full(step.target), step.attributes);
      }
      return true;
    case JournalStep::kMakeBackup:
      // Ran if the aside became the backup: no file of ours is left under
      // the aside's name, and, where an older backup was moved first, the
      // older one is still aside.
      if (!Ours(folder, step.target) || Ours(folder, step.other) ||
          (!step.aside.empty() && !Ours(folder, step.aside))) {
        return true;
      }
      if (Exists(folder, step.other)) return PutBack(folder, step, steps, kept);
      return Move(folder, step.target, step.other);
    case JournalStep::kPlaceNew:
      // The new file is in place while its old one is aside.
      return !Ours(folder, step.aside) || Unplace(folder, step);
    case JournalStep::kMoveAside:
      if (Ours(folder, step.other) && Exists(folder, step.target)) {
        if (!KeepBoth(folder, step)) return false;
        *kept = step.target;
        return true;
      }
      if (Ours(folder, step.other)) {
        if (!Move(folder, step.other, step.target)) return false;
      }
      if (Ours(folder, step.target))
        SetAttributesOfOnlyName(folder.Full(step.target), step.attributes);
      return true;
    case JournalStep::kPlaceAdded:
      return Unplace(folder, step);
    case JournalStep::kDelete:
    case JournalStep::kRemoveFolder:
      return true;  // taken only once the commit was complete
  }
  return true;
}

}  // namespace

bool RemoveFile(const WString& name) {
  // A read-only flag refuses the deletion as a hold does: it is cleared
  // before the second try waits out a hold.
  for (int attempt = 0; attempt < 2; ++attempt) {
    BOOL deleted = attempt == 0 ? DeleteFileW(name.c_str())
                                : DeleteFileWaiting(name.c_str());
    if (deleted) return true;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return true;
    }
    SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  return false;
}

FolderRemoval RemoveOurEmptyFolder(const RunFolder& folder,
                                   const WString& name) {
  const WString full = folder.Full(name);
  DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return FolderRemoval::kGone;
  }
  WString link;
  return ReachedWithoutLinks(folder, name, &link) && FolderOwnedByUs(full) &&
                 RemoveDirectoryWaiting(full.c_str())
             ? FolderRemoval::kRemoved
             : FolderRemoval::kKept;
}

bool RemoveAtRestart(const WString& name) {
  return MoveFileExW(name.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) !=
         FALSE;
}

CommitJournal::~CommitJournal() {
  if (IsOpen()) CloseHandle(file_);
}

bool CommitJournal::Append(const WString& text, bool flush) {
  DWORD bytes = static_cast<DWORD>(text.size() * sizeof(WCHAR));
  DWORD written = 0;
  return IsOpen() && WriteFile(file_, text.data(), bytes, &written, nullptr) &&
         written == bytes && (!flush || FlushFileBuffers(file_));
}

bool CommitJournal::Open(const RunFolder& folder, const uint8_t* digest) {
  name_ = folder.Full(kJournalName);
  file_ = CreateFileW(name_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!IsOpen()) return false;
  WString text = WString(1, 0xFEFF) + kHeader + kTab;
  for (int i = 0; i < 32; ++i) text += Hex(digest[i], 2);
  if (Append(text + kNewline, false)) return true;
  Remove();
  return false;
}

bool CommitJournal::NoteReserved(const WString& name) {
  WString line(kReserved);
  line += kTab;
  line += name;
  line += kNewline;
  return Append(line, false);
}

bool CommitJournal::WritePlan(const std::vector<JournalStep>& steps) {
  WString text;
  for (const JournalStep& step : steps) {
    text += static_cast<WCHAR>(step.kind);
    text += kTab + Hex(step.attributes, 8) + kTab + step.target + kTab +
            step.other + kTab + step.aside;
    if (!step.digest.empty()) text += kTab + step.digest;
    text += kNewline;
  }
  return Append(text, true);
}

bool CommitJournal::MarkCommitted() {
  WString line(kCommitted);
  line += kNewline;
  return Append(line, true);
}

bool CommitJournal::MarkUndone() {
  WString line(kUndone);
  line += kNewline;
  return Append(line, true);
}

bool CommitJournal::Remove() {
  if (!IsOpen()) return true;  // not ours: another run's, or none
  CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
  return RemoveFile(name_);
}

Recovery RecoverInterruptedCommit(const RunFolder& folder, uint8_t* digest,
                                  WString* problem) {
  *problem = kJournalName;
  HANDLE file = CreateFileW(folder.Full(kJournalName).c_str(), GENERIC_READ,
                            FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Recovery::kNothing;
  // Only a journal that an elevated run of ours wrote, under its only name,
  // is read: another user can plant one, but not give it to us.
  DWORD high = 0;
  DWORD size = GetFileSize(file, &high);
  bool ok = OwnedByUs(file) && HasOneName(file) &&
            !(size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) &&
            high == 0 && size <= kMaxJournalBytes;
  WString text(ok ? size / sizeof(WCHAR) : 0, 0);
  DWORD read = 0;
  ok = ok && ReadFile(file, &text[0], size, &read, nullptr) && read == size;
  CloseHandle(file);
  WString link;
  if (!ok || !ReachedWithoutLinks(folder, kJournalName, &link))
    return Recovery::kFailed;

  std::vector<JournalStep> steps;
  std::vector<WString> reserved;
  bool committed = false, undone = false;
  const size_t bom = text.empty() || text[0] != 0xFEFF ? 0 : 1;
  size_t start = bom;
  bool header = true;
  while (start < text.size()) {
    size_t end = text.find(kNewline, start);
    if (end == WString::npos) break;  // a line cut short was never acted on
    std::vector<WString> fields = Fields(text.substr(start, end - start));
    start = end + 1;
    if (header) {
      if (fields.size() != 2 || fields[0] != kHeader ||
          fields[1].size() != 64) {
        return Recovery::kFailed;
      }
      for (int i = 0; i < 32; ++i) {
        digest[i] = static_cast<uint8_t>(ParseHex(fields[1].substr(2 * i, 2)));
      }
      header = false;
    } else if (fields.size() == 1 && fields[0] == kCommitted) {
      committed = true;
    } else if (fields.size() == 1 && fields[0] == kUndone) {
      undone = true;
    } else if (fields.size() == 2 && fields[0] == kReserved &&
               IsOurTemporary(fields[1])) {
      reserved.push_back(fields[1]);
    } else if ((fields.size() == 5 || fields.size() == 6) &&
               fields[0].size() == 1) {
      JournalStep step = {static_cast<JournalStep::Kind>(fields[0][0]),
                          static_cast<DWORD>(ParseHex(fields[1])),
                          fields[2],
                          fields[3],
                          fields[4],
                          fields.size() == 6 ? fields[5] : WString()};
      if (fields.size() == 6 && step.digest.empty()) return Recovery::kFailed;
      if (!IsOurStep(step)) return Recovery::kFailed;
      steps.push_back(step);
    } else {
      return Recovery::kFailed;
    }
  }
  // Every temporary a step names was reserved, and noted, before the plan
  // was written.
  for (const JournalStep& step : steps) {
    for (const WString* name : {&step.target, &step.other, &step.aside}) {
      if (IsOurTemporary(*name) && std::find(reserved.begin(), reserved.end(),
                                             *name) == reserved.end()) {
        return Recovery::kFailed;
      }
    }
  }
  // Nothing is touched while any name leads through a link; the folders on
  // the way are held until recovery ends, so that none becomes one.
  FolderPins pins(folder);
  for (const JournalStep& step : steps) {
    for (const WString* name : {&step.target, &step.other, &step.aside}) {
      if (pins.Hold(FolderOf(*name), problem) != Pinned::kHeld)
        return Recovery::kFailed;
    }
  }
  for (const WString& name : reserved) {
    if (pins.Hold(FolderOf(name), problem) != Pinned::kHeld)
      return Recovery::kFailed;
  }
  for (const JournalStep& step : steps) {
    for (const WString* name : {&step.target, &step.other, &step.aside}) {
      if (!name->empty() && !ReachedWithoutLinks(folder, *name, problem))
        return Recovery::kFailed;
    }
  }
  for (const WString& name : reserved) {
    if (!ReachedWithoutLinks(folder, name, problem)) return Recovery::kFailed;
  }
  *problem = kJournalName;

  // A journal cut short before its header line ended: nothing was reserved
  // or renamed yet. Any other file under the journal's name is not ours to
  // remove.
  if (header) {
    if (!IsCutHeader(text.substr(bom))) return Recovery::kFailed;
    return RemoveOurs(folder, kJournalName) ? Recovery::kUndone
                                            : Recovery::kFailed;
  }

  bool done = true;
  WString kept;
  if (committed) {
    for (const JournalStep& step : steps) {
      if (step.kind == JournalStep::kDelete) {
        done = (RemoveOurs(folder, step.target) ||
                RemoveAtRestart(folder.Full(step.target))) &&
               done;
      }
    }
    // A folder that is not empty, or will not go, is left.
    for (const JournalStep& step : steps) {
      if (step.kind == JournalStep::kRemoveFolder) {
        pins.Release(step.target);
        RemoveOurEmptyFolder(folder, step.target);
      }
    }
  } else {
    // A run that undid its own commit left only its reserved files: a
    // target missing its new file then is as that run left it, and a file
    // under its name since is someone else's.
    for (auto step = steps.rbegin(); !undone && step != steps.rend(); ++step) {
      done = Undo(folder, *step, steps, &kept) && done;
    }
    // The interrupted run's reserved files, once no old file is left under
    // a reserved name (an aside that could not go back stays).
    for (const WString& name : reserved) {
      if (!done) break;
      done = RemoveOurs(folder, name);
    }
  }
  if (!done || !RemoveOurs(folder, kJournalName)) return Recovery::kFailed;
  if (!kept.empty()) {
    *problem = kept;
    return Recovery::kKeptBoth;
  }
  return committed ? Recovery::kFinished : Recovery::kUndone;
}
