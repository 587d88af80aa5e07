// Building packages, instruction streams and scratch folders for tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "package/package_format.h"
#include "platform/platform.h"

namespace testing_support {

typedef std::vector<uint8_t> Bytes;

Bytes ToBytes(const std::string& text);
Bytes Sha256(const Bytes& data);
Bytes RandomBytes(std::mt19937& random, size_t size);

WString Wide(const std::filesystem::path& path);
WString Wide(const char16_t* text);

// ---- Instruction streams
// -----------------------------------------------------

// Writes fields most significant bit first, as the decoder reads them.
class BitWriter {
 public:
  void WriteBits(uint32_t value, int count);
  // The length code: k one-bits, a zero, k + 1 groups of 4 bits.
  void WriteLength(uint32_t length);
  // The end marker (Replace 0), then zero bits to the end of the byte.
  Bytes Finish();

 private:
  Bytes bytes_;
  int bitsInLast_ = 8;
};

struct Instruction {
  uint32_t op;
  uint32_t length;
  bool back = false;  // a Seek of the seeking form: towards the start
};

// The instruction stream for `instructions` plus the end marker.
Bytes EncodeInstructions(const std::vector<Instruction>& instructions);
// The same in the seeking form, whose Seek has a direction bit.
Bytes EncodeSeekingInstructions(const std::vector<Instruction>& instructions);
// The same grouped by field (EntryOptionGrouped): no end marker, the count
// of instructions first.
Bytes EncodeGroupedInstructions(const std::vector<Instruction>& instructions);

// ---- Packages
// -----------------------------------------------------------------

struct TestEntry {
  std::string name;    // UTF-8; written with its NUL
  std::string source;  // written after the name's NUL, with its own
  uint32_t kind = EntryKindPatch;
  uint64_t oldSize = 0;
  uint64_t newSize = 0;
  Bytes oldDigest = Bytes(32);
  Bytes newDigest = Bytes(32);
  Bytes instructions;
  Bytes literal;
};

// Its instructions from a plain, obviously correct encoder: they copy the
// common prefix and suffix of `old` and `target` and replace, skip or
// insert the middle.
TestEntry PatchEntry(const std::string& name, const Bytes& old,
                     const Bytes& target);
TestEntry AddEntry(const std::string& name, const Bytes& content);
TestEntry DirectoryEntry(const std::string& name);
// For packages with PackageFlagRemovals: `name` rebuilt from the file
// `source` holding `old`; a file to remove that holds `old`; a folder to
// remove.
TestEntry SourcedEntry(const std::string& name, const std::string& source,
                       const Bytes& old, const Bytes& target);
TestEntry RemoveEntry(const std::string& name, const Bytes& old);
TestEntry RemoveDirectoryEntry(const std::string& name);

// `data` as a compressed block (PackageFlagCompressed): one LZMA stream
// with its end marker, quickly encoded: the properties byte (byte 0), the
// dictionary size (bytes 1 to 4, 4 KiB, the smallest), then the coded
// bytes.
Bytes CompressedStream(const Bytes& data);
// `data` as one Zstandard frame (EntryOptionZstd), without checksum, at
// `level`, with a window of 2^windowLog bytes when windowLog is not 0
// (smaller than the data, the frame names its window and the decoder
// slides it).
Bytes ZstdFrameOf(const Bytes& data, int level = 3, int windowLog = 0);
// Decodes `frame` block by block as the applier does, holding at most
// 2^maxWindowLog bytes of history; false when it is refused.
bool DecodeZstd(const uint8_t* frame, size_t size, Bytes* out,
                int maxWindowLog = 26);
// `entry` as a package with PackageFlagCompressed holds it: the literal
// block a CompressedStream, the instruction block its count of bytes and
// then theirs.
TestEntry Compressed(TestEntry entry);

// A seeking instruction block: the sizes of `parameters` and
// `instructions`, then both, then `differences`, each as stored.
Bytes SeekingBlock(const Bytes& parameters, const Bytes& instructions,
                   const Bytes& differences);

// Lays out header, table and blocks (each entry's instructions, then its
// literal block; with PackageFlagCompactTable the compact header, the
// blocks, then the table) and seals the digest.
Bytes BuildPackage(const std::vector<TestEntry>& entries, uint32_t flags = 0);
// Recomputes the digest after a test changed package bytes.
void Seal(Bytes* package);

// ---- Executables
// ----------------------------------------------------------------

// A minimal PE file: headers and sections of the given raw sizes, ending
// exactly at its image end.
Bytes MakePeImage(bool pe32Plus, const std::vector<uint32_t>& sectionSizes);
// An executable the platform can load as a module: the test program itself
// on Windows, a minimal PE elsewhere (the stand-in never maps it).
Bytes BaseExecutable();

// ---- Files
// ----------------------------------------------------------------------

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Runs the applier's decoder over `instructions`, with `old` and `literal`
// in files in `dir`; `out` gets what it wrote. Returns whether the stream
// ended well; `consumed`, when given, the bytes taken from old (from the
// differences in the seeking form) and literal. With `differences`, the
// seeking form's decoder, over `instructions` grouped by field when
// `grouped`, building at most `newSize` bytes.
bool DecodeWithFiles(const ScratchDir& dir, const Bytes& instructions,
                     const Bytes& old, const Bytes& literal, Bytes* out,
                     uint64_t consumed[2] = nullptr,
                     const Bytes* differences = nullptr, bool grouped = false,
                     uint64_t newSize = UINT64_MAX);

// Removes everything inside `folder`, read-only files included.
void ClearFolder(const std::filesystem::path& folder);

Bytes ReadAll(const std::filesystem::path& path);
void WriteAll(const std::filesystem::path& path, const Bytes& data);
// Every file and folder below `root`, relative, sorted, with each file's
// content (folders end in '/').
std::vector<std::pair<std::string, Bytes>> Snapshot(
    const std::filesystem::path& root);

// Makes the process's current folder `path` for its lifetime.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::filesystem::path& path);
  ~CurrentDirectory();

 private:
  std::filesystem::path previous_;
};

}  // namespace testing_support
