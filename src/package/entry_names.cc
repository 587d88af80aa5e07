#include "package/entry_names.h"

#include <algorithm>

#include "package/package_format.h"

const WCHAR kJournalName[] = WTXT("selfpatch.journal");
const WCHAR kBackupSuffix[] = WTXT(".bak");

namespace {

bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

// The name as Windows resolves it: components joined by one backslash, no
// empty component.
WString Canonical(const WString& name) {
  WString out;
  size_t start = 0;
  while (start < name.size()) {
    size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (end > start) {
      if (!out.empty()) out += u'\\';
      out.append(name, start, end - start);
    }
    start = end + 1;
  }
  return out;
}

// Windows' own comparison of file names: ordinal, case folded.
int Compare(const WString& a, const WString& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE);
}

bool IsFile(uint8_t kind) {
  return kind == EntryKindPatch || kind == EntryKindAdd;
}

// Canonical names with their entries, sorted by Windows' comparison (ties
// by entry order), for lookups.
class SortedNames {
 public:
  void Add(const WString& name, size_t entry) {
    items_.push_back({name, entry});
  }
  void Sort() {
    std::stable_sort(items_.begin(), items_.end(),
                     [](const Item& x, const Item& y) {
                       return Compare(x.name, y.name) == CSTR_LESS_THAN;
                     });
  }
  // The first entry whose name equals `name`, or false.
  bool Find(const WString& name, size_t* entry) const {
    auto at = std::lower_bound(items_.begin(), items_.end(), name,
                               [](const Item& x, const WString& key) {
                                 return Compare(x.name, key) == CSTR_LESS_THAN;
                               });
    if (at == items_.end() || Compare(at->name, name) != CSTR_EQUAL)
      return false;
    *entry = at->entry;
    return true;
  }
  // Two neighbours with equal names, or false.
  bool FindEqual(size_t* first, size_t* second) const {
    for (size_t i = 1; i < items_.size(); ++i) {
      if (Compare(items_[i - 1].name, items_[i].name) == CSTR_EQUAL) {
        *first = items_[i - 1].entry;
        *second = items_[i].entry;
        return true;
      }
    }
    return false;
  }

 private:
  struct Item {
    WString name;
    size_t entry;
  };
  std::vector<Item> items_;
};

}  // namespace

bool WindowsNameOrder::operator()(const WString& a, const WString& b) const {
  return Compare(Canonical(a), Canonical(b)) == CSTR_LESS_THAN;
}

bool IsTemporaryName(const WString& file) {
  const WString prefix(WTXT("ptf")), suffix(WTXT(".tmp"));
  if (file.size() < prefix.size() + 1 + suffix.size()) return false;
  size_t digits = file.size() - prefix.size() - suffix.size();
  if (digits > 4 && digits != 8) return false;
  auto same = [&](size_t at, const WString& part) {
    return Compare(file.substr(at, part.size()), part) == CSTR_EQUAL;
  };
  if (!same(0, prefix) || !same(file.size() - suffix.size(), suffix))
    return false;
  for (size_t i = prefix.size(); i < prefix.size() + digits; ++i) {
    WCHAR c = file[i];
    bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') ||
               (c >= u'A' && c <= u'F');
    if (!hex) return false;
  }
  return true;
}

NameCollision FindNameCollision(const std::vector<NamedEntry>& entries,
                                bool keepsBackups) {
  std::vector<WString> names;
  names.reserve(entries.size());
  for (const NamedEntry& entry : entries)
    names.push_back(Canonical(entry.name));

  const WString journal(kJournalName);
  for (size_t i = 0; i < names.size(); ++i) {
    WString top = names[i].substr(0, names[i].find(u'\\'));
    if (Compare(top, journal) == CSTR_EQUAL) return {NameClash::kJournal, i, i};
  }
  for (size_t i = 0; i < names.size(); ++i) {
    for (size_t start = 0; start <= names[i].size();) {
      size_t end = std::min(names[i].find(u'\\', start), names[i].size());
      if (IsTemporaryName(names[i].substr(start, end - start)))
        return {NameClash::kTemporary, i, i};
      start = end + 1;
    }
  }

  SortedNames all, files;
  for (size_t i = 0; i < names.size(); ++i) {
    all.Add(names[i], i);
    if (IsFile(entries[i].kind)) files.Add(names[i], i);
  }
  all.Sort();
  files.Sort();
  size_t first = 0, second = 0;
  if (all.FindEqual(&first, &second)) {
    return {NameClash::kSameFile, std::min(first, second),
            std::max(first, second)};
  }

  if (keepsBackups) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (entries[i].kind != EntryKindPatch &&
          entries[i].kind != EntryKindRemove)
        continue;
      if (all.Find(names[i] + kBackupSuffix, &second))
        return {NameClash::kBackupName, i, second};
    }
  }

  for (size_t j = 0; j < names.size(); ++j) {
    for (size_t cut = names[j].find(u'\\'); cut != WString::npos;
         cut = names[j].find(u'\\', cut + 1)) {
      if (files.Find(names[j].substr(0, cut), &first))
        return {NameClash::kUnderAFile, first, j};
    }
  }
  return {};
}
