// Finds the package appended to an executable, proves it intact and reads
// its entry table.
#pragma once

#include <cstdint>
#include <vector>

#include "package/package_format.h"
#include "platform/platform.h"
#include "result/result_codes.h"
#include "runtime/shared_handle.h"

// One element of the entry table: the decoded names and the record as read.
struct LoadedEntry {
  WString name;
  // The file a patch entry rebuilds from when that is not the file under
  // `name` (EntryOptionSource); empty otherwise.
  WString source;
  PackageEntry record;
  // What the entry does: the low byte of the record's kind, or 0 (nothing)
  // for a removal kind in a package without PackageFlagRemovals.
  uint8_t kind;
};

class PackageLoader {
 public:
  // `module` 0 means the executable of this process.
  explicit PackageLoader(HMODULE module);
  PackageLoader(const PackageLoader&) = delete;
  PackageLoader& operator=(const PackageLoader&) = delete;
  ~PackageLoader();

  // Checks, in this order, and returns the code of the first that fails:
  // the image end (1), opening the file (2), room for a header of the form
  // the package's flags name (3), the
  // magic (4, before any hashing), the digest of everything after the header
  // (5), the entry table (6: a record or name that cannot be read, a name
  // IsPlainRelativeName refuses, names that collide in one folder, see
  // FindNameCollision, or, with PackageFlagRemovals, a kind or option this
  // applier does not know). 0 when the package is ready to apply.
  ResultCode Load();
  // The same checks on the executable at `path` (a patch read by another
  // program, such as the command-line tool).
  ResultCode LoadFile(const WCHAR* path);

  HMODULE moduleHandle;
  SharedHandle fileHandle;  // the executable, open for reading
  uint64_t packageOffset;   // file offset of package offset 0
  PackageHeader header;     // a compact header's fields, the others zero
  std::vector<LoadedEntry> entries;

 private:
  ResultCode CheckHeader();
  ResultCode ReadEntries();

  uint32_t headerSize_ = kPackageHeaderSize;
  uint64_t tableOffset_ = kPackageHeaderSize;  // where the records begin
};

// Whether a decoded name is one the package may carry: a plain relative
// path that stays inside the folder the package is applied in and that
// Windows holds as it is (CheckWideName in package/name_rule.h).
bool IsPlainRelativeName(const WString& name);
