// Turns two program trees into a patch executable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "producer/diff_engine.h"

// A problem with the producer's input or output, said in one line.
class ProducerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PlannedEntry {
  uint8_t kind;      // EntryKindPatch, EntryKindAdd or EntryKindDirectory
  std::string name;  // UTF-8, relative, '\'-separated, as the package holds it
  std::filesystem::path oldPath;
  std::filesystem::path newPath;
};

struct TreePlan {
  std::vector<PlannedEntry> entries;   // folders before what they hold
  std::vector<std::string> onlyInOld;  // the format cannot delete them
  uint64_t unchanged = 0;
};

// Compares two folders (or two files). A folder new in NEW gets a directory
// entry, a new file an add entry, a changed file a patch entry; the order
// is that of the sorted relative names, so the same trees always give the
// same plan. A new name is compared with the old file Windows would find
// under it, whose name may differ in case; two single files make an entry
// under OLD's name. Throws ProducerError for missing input, a folder replaced by a
// file (or the reverse), files that are not regular, and names Windows or
// the package format cannot hold.
TreePlan PlanTrees(const std::filesystem::path& oldRoot,
                   const std::filesystem::path& newRoot);

struct BuildSummary {
  uint64_t patched = 0, added = 0, directories = 0;
  uint64_t oldBytes = 0, newBytes = 0;  // of the patched and added files
  uint64_t copiedBytes = 0;             // new bytes taken from old files
  uint64_t packageSize = 0;
};

struct BuildOptions {
  // PackageFlagBackup, PackageFlagKeepTimes; PackageFlagCompressed
  // compresses every literal block.
  uint32_t flags = 0;
  DiffOptions diff;
  // Told the name of each entry as it is built.
  std::function<void(size_t index, const PlannedEntry&)> progress;
};

// Writes `stub` (a PE image with nothing after it) followed by the package
// to `output`, through a temporary name beside it: a failed build leaves no
// output behind.
BuildSummary WritePatch(const std::vector<uint8_t>& stub, const TreePlan& plan,
                        const std::filesystem::path& output,
                        const BuildOptions& options);
