// Which old file a new file is most likely a version of: a new file is
// often an old one renamed (a versioned library, a moved folder, a renamed
// resource), and rebuilding it from that old file costs a fraction of
// carrying it whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

struct OldFile {
  std::string name;  // the package name ('\'-separated)
  std::filesystem::path path;
  bool removed;  // only in OLD
};

class SourceFinder {
 public:
  // `olds`: every file of OLD.
  explicit SourceFinder(std::vector<OldFile> olds);

  // The old file to try as the source of the new file `name` at `path`,
  // or null when none looks like it:
  //   1. a removed file in the same folder whose name differs only in its
  //      digits ("libvips-cpp-8.17.2.dll" for "libvips-cpp-8.17.3.dll");
  //   2. else the old file whose content sketch shares the most with the
  //      new file's, removed files first on a tie, if it shares at least
  //      an eighth of it.
  // Whether it is worth it is for the caller to measure.
  const OldFile* Find(const std::string& name,
                      const std::filesystem::path& path);

 private:
  void IndexSketches();

  std::vector<OldFile> olds_;
  bool indexed_ = false;
  // Each sketch value, with the old files whose sketch holds it.
  std::unordered_map<uint64_t, std::vector<size_t>> index_;
};

// The content sketch of a file: the smallest kSketchSize hashes of its
// chunks, cut where the content says (a boundary moves with the bytes
// around it, so an insertion changes only the chunks it touches), sorted.
// Two files' sketches share about as many values as the files share
// chunks.
constexpr size_t kSketchSize = 64;
std::vector<uint64_t> Sketch(const std::filesystem::path& path);
