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
  uint8_t kind;      // EntryKind*: what the entry does
  std::string name;  // UTF-8, relative, '\'-separated, as the package holds it
  std::filesystem::path oldPath;  // a patched file's, a removed file's
  std::filesystem::path newPath;
  // An added file: the old file (package name; its path in oldPath) to
  // rebuild it from where that is smaller than carrying it whole.
  std::string source{};
};

struct TreePlan {
  std::vector<PlannedEntry> entries;  // folders before what they hold
  // Files and folders (generic relative names) only in OLD, that the patch
  // leaves where they are (see PlanRemovals).
  std::vector<std::string> onlyInOld;
  uint64_t unchanged = 0;
};

// Compares two folders (or two files). A folder new in NEW gets a directory
// entry, a new file an add entry, a changed file a patch entry; the order
// is that of the sorted relative names, so the same trees always give the
// same plan. A new name is compared with the old file Windows would find
// under it, whose name may differ in case; two single files make an entry
// under OLD's name. Throws ProducerError for missing input, a folder replaced
// by a file (or the reverse), files that are not regular, and names Windows or
// the package format cannot hold.
TreePlan PlanTrees(const std::filesystem::path& oldRoot,
                   const std::filesystem::path& newRoot);

// Makes the patch remove what only OLD has: a removal entry for each file
// and folder of plan->onlyInOld (which it empties), after the other
// entries. Throws ProducerError for a name the package cannot carry.
void PlanRemovals(const std::filesystem::path& oldRoot, TreePlan* plan);

// Gives each added file of `plan` the old file it may be rebuilt from
// (SourceFinder): a removed one in its folder with a name that differs
// only in digits, or the one whose content is most like it.
void PlanSources(const std::filesystem::path& oldRoot, TreePlan* plan);

struct BuildSummary {
  uint64_t patched = 0, added = 0, directories = 0;
  uint64_t rebuilt = 0;  // of the added: rebuilt from an old file
  uint64_t removed = 0, removedDirectories = 0;
  uint64_t oldBytes = 0, newBytes = 0;  // of the patched and added files
  uint64_t copiedBytes = 0;             // new bytes taken from old files
  uint64_t packageSize = 0;
};

struct BuildOptions {
  // PackageFlagBackup, PackageFlagKeepTimes; PackageFlagCompressed
  // compresses every literal block, PackageFlagEntryOptions lets entries
  // seek, PackageFlagCompactTable writes the compact form.
  uint32_t flags = 0;
  DiffOptions diff;
  // Told the name of each entry as it is built.
  std::function<void(size_t index, const PlannedEntry&)> progress;
};

// The whole of the file `path`, as far as it goes when read. Throws
// ProducerError when it cannot be read, or not held in this build's memory.
std::vector<uint8_t> ReadWhole(const std::filesystem::path& path);

// The temporary name beside `output` the patch is written under first,
// "OUT.exe.part": a regular file or link found there is a build's leftover,
// removed.
std::filesystem::path PartialOutput(const std::filesystem::path& output);

// Writes `stub` (a PE image with nothing after it) followed by the package
// to `output`, through PartialOutput(output): a failed build leaves no
// output behind. An added file with a source is written as a patch of that
// source when its blocks are smaller so; PackageFlagRemovals is set when an
// entry needs it.
BuildSummary WritePatch(const std::vector<uint8_t>& stub, const TreePlan& plan,
                        const std::filesystem::path& output,
                        const BuildOptions& options);
