#include "producer/patch_builder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "package/compact_table.h"
#include "package/entry_names.h"
#include "package/file_hash.h"
#include "package/image_end.h"
#include "package/name_rule.h"
#include "package/package_format.h"
#include "package/package_loader.h"
#include "package/sha256.h"
#include "producer/block_compressor.h"
#include "producer/code_sections.h"
#include "producer/side_by_side.h"
#include "producer/source_finder.h"
#include "runtime/shared_handle.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 1 << 20;

// A path as a message shows it: one line, whatever bytes it holds.
std::string Shown(const fs::path& path) { return EscapeName(path.u8string()); }

WString WidePath(const fs::path& path) {
  std::u16string text = path.u16string();
  return WString(text.begin(), text.end());
}

[[noreturn]] void Fail(const std::string& what, const fs::path& path,
                       const std::error_code& error) {
  throw ProducerError(what + " " + Shown(path) + ": " + error.message());
}

// What the C library last said went wrong (an I/O error when it said
// nothing).
std::error_code LastError() {
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

// A file of the input trees, read from start to end; any failure to open
// or read it stops the build with the path and the system's reason.
class InputFile {
 public:
  explicit InputFile(const fs::path& path) : path_(path) {
    errno = 0;
    in_.open(path, std::ios::binary);
    if (!in_) Fail("cannot read", path_, LastError());
  }

  // Fills `buffer` as far as the file goes; returns the bytes read.
  size_t Read(void* buffer, size_t size) {
    errno = 0;
    in_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
    if (in_.bad()) Fail("cannot read", path_, LastError());
    return static_cast<size_t>(in_.gcount());
  }

 private:
  fs::path path_;
  std::ifstream in_;
};

uint64_t SizeOf(const fs::path& path) {
  std::error_code error;
  uint64_t size = fs::file_size(path, error);
  if (error) Fail("cannot read", path, error);
  return size;
}

// A buffer for reading `size` bytes a chunk at a time: no larger than they
// need, and a byte more, so that a small file ends in one read. A chunk of
// fresh pages for each small file cost more than the file's own work.
std::vector<char> BufferFor(uint64_t size) {
  return std::vector<char>(
      static_cast<size_t>(std::min<uint64_t>(kChunk, size + 1)));
}

bool SameContent(const fs::path& a, const fs::path& b) {
  const uint64_t size = SizeOf(a);
  if (SizeOf(b) != size) return false;
  InputFile x(a), y(b);
  std::vector<char> bufferX = BufferFor(size), bufferY = BufferFor(size);
  for (;;) {
    size_t gotX = x.Read(bufferX.data(), bufferX.size());
    size_t gotY = y.Read(bufferY.data(), bufferY.size());
    if (gotX != gotY || std::memcmp(bufferX.data(), bufferY.data(), gotX) != 0)
      return false;
    if (gotX < bufferX.size()) return true;
  }
}

// The package name of a relative path, checked against the rule the
// applier's loader applies.
std::string PackageName(const fs::path& relative) {
  std::string name;
  for (const fs::path& part : relative) {
    std::string text = part.u8string();
    // A backslash here would split one name into two on Windows.
    if (text.find('\\') != std::string::npos) {
      throw ProducerError(std::string(DescribeNameFault(NameFault::kReserved)) +
                          ": " + Shown(relative));
    }
    if (!name.empty()) name += '\\';
    name += text;
  }
  WString wide;
  NameFault fault = CheckEntryName(name, &wide);
  if (fault != NameFault::kNone) {
    throw ProducerError(std::string(DescribeNameFault(fault)) + ": " +
                        Shown(relative));
  }
  return name;
}

// A name that passed the name rule, as the applier decodes it.
WString WideOf(const std::string& name) {
  WString wide;
  CheckEntryName(name, &wide);
  return wide;
}

// Refuses names the applier would refuse together: the loader's own rule.
void CheckNamesTogether(const std::vector<PlannedEntry>& entries,
                        bool keepsBackups) {
  std::vector<NamedEntry> names;
  names.reserve(entries.size());
  for (const PlannedEntry& entry : entries)
    names.push_back({WideOf(entry.name), entry.kind});
  NameCollision found = FindNameCollision(names, keepsBackups);
  if (found.clash == NameClash::kNone) return;
  const std::string& first = entries[found.first].name;
  const std::string& second = entries[found.second].name;
  switch (found.clash) {
    case NameClash::kSameFile:
      throw ProducerError("names Windows takes for one file: " + first +
                          " and " + second);
    case NameClash::kBackupName:
      throw ProducerError("name the applier gives the backup of " + first +
                          ": " + second);
    case NameClash::kJournal:
      throw ProducerError("name the applier keeps for its journal: " + first);
    case NameClash::kTemporary:
      throw ProducerError(
          "name of the form the applier keeps for its "
          "temporary files (ptf....tmp): " +
          first);
    case NameClash::kUnderAFile:
      throw ProducerError(second + " lies under " + first +
                          ", which the patch makes a file");
    case NameClash::kNone:
      break;
  }
}

enum class Kind { kMissing, kFile, kFolder };

// What is at `path`, not following links. Links and special files stop the
// build: a link would be patched as what it points to on one side and not
// on the other, and the applier can make neither.
Kind KindOf(const fs::path& path) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(path, error);
  if (status.type() == fs::file_type::not_found) return Kind::kMissing;
  if (error) Fail("cannot read", path, error);
  // On Windows the library follows links and junctions: only the
  // attributes tell. (A name that is not Unicode has none here; the name
  // rule refuses it.)
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  try {
    attributes = GetFileAttributesW(WidePath(path).c_str());
  } catch (const std::system_error&) {
  }
  if (status.type() == fs::file_type::symlink ||
      (attributes != INVALID_FILE_ATTRIBUTES &&
       (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    throw ProducerError("a symbolic link, which selfpatch does not follow: " +
                        Shown(path));
  }
  switch (status.type()) {
    case fs::file_type::regular:
      return Kind::kFile;
    case fs::file_type::directory:
      return Kind::kFolder;
    default:
      throw ProducerError(
          "not a regular file or folder (a device, FIFO or socket): " +
          Shown(path));
  }
}

// What OLD or NEW itself is; a link given there is followed, as the user
// named it.
Kind RootKind(const fs::path& path) {
  std::error_code error;
  fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found)
    throw ProducerError("no such file or folder: " + Shown(path));
  if (error) Fail("cannot read", path, error);
  if (status.type() == fs::file_type::regular) return Kind::kFile;
  if (status.type() == fs::file_type::directory) return Kind::kFolder;
  throw ProducerError(
      "not a regular file or folder (a device, FIFO or socket): " +
      Shown(path));
}

// Every file and folder below `folder`, by generic relative name.
void Walk(const fs::path& root, const fs::path& folder,
          std::map<std::string, fs::path>* items) {
  std::error_code error;
  fs::directory_iterator it(folder, error), end;
  for (; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    Kind kind = KindOf(path);
    (*items)[path.lexically_relative(root).generic_u8string()] = path;
    if (kind == Kind::kFolder) Walk(root, path, items);
  }
  if (error) Fail("cannot read the folder", folder, error);
}

std::map<std::string, fs::path> Walk(const fs::path& root) {
  std::map<std::string, fs::path> items;
  Walk(root, root, &items);
  return items;
}

// An entry's name bytes: its name and NUL, then its source's, if any.
std::string NameBytes(const PlannedEntry& entry) {
  std::string bytes = entry.name + '\0';
  if (!entry.source.empty()) bytes += entry.source + '\0';
  return bytes;
}

template <typename T>
void Put(std::vector<uint8_t>* out, size_t offset, const T& value) {
  std::memcpy(out->data() + offset, &value, sizeof value);
}

std::vector<uint8_t> Digest(const std::vector<uint8_t>& data) {
  CHashSHA256 hash;
  for (size_t at = 0; at < data.size(); at += kChunk) {
    hash.Update(data.data() + at,
                static_cast<uint32_t>(std::min(kChunk, data.size() - at)));
  }
  hash.Final();
  std::vector<uint8_t> digest(32);
  hash.GetDigest(digest.data());
  return digest;
}

}  // namespace

std::vector<uint8_t> ReadWhole(const fs::path& path) {
  InputFile in(path);
  std::vector<uint8_t> data;
  // A 32-bit build cannot hold 2 GiB and more.
  std::error_code error;
  uint64_t size = fs::file_size(path, error);
  if (!error && size >= data.max_size()) {
    throw ProducerError("too large to compare in this build's memory: " +
                        Shown(path));
  }
  // Read at once as far as the size says, and a byte more to see the end;
  // on in chunks while a file that grew gives more. A chunk's worth of
  // zeroed pages for each small file was most of a small patch's faults.
  size_t want = error ? kChunk : static_cast<size_t>(size) + 1;
  for (;;) {
    data.resize(data.size() + want);
    size_t got = in.Read(data.data() + data.size() - want, want);
    data.resize(data.size() - want + got);
    if (got < want) return data;
    want = kChunk;
  }
}

fs::path PartialOutput(const fs::path& output) {
  return (output.has_parent_path() ? output.parent_path() : fs::path(".")) /
         fs::u8path(output.filename().u8string() + ".part");
}

namespace {

// The patch file, written under a temporary name beside the output and
// renamed onto it only when complete. The temporary is created new: a file,
// link or anything else found under its name is neither followed nor
// written (a file or link left by a run cut short is removed first), so the
// output's folder decides nothing but the name. Every error names the
// output as the user gave it.
class OutputFile {
 public:
  explicit OutputFile(const fs::path& output)
      : output_(output), temporary_(PartialOutput(output)) {
    std::error_code error;
    fs::file_type left = fs::symlink_status(temporary_, error).type();
    if (left == fs::file_type::regular || left == fs::file_type::symlink)
      fs::remove(temporary_, error);
    file_.Attach(
        CreateFileW(WidePath(temporary_).c_str(), GENERIC_READ | GENERIC_WRITE,
                    0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
        CloseHandle);
    if (!file_.IsValid()) Failed();
  }
  ~OutputFile() {
    file_.Release();
    std::error_code ignored;
    if (!placed_) fs::remove(temporary_, ignored);
  }

  HANDLE handle() const { return file_.Get(); }
  // Stops the build, with the system's reason for the last call that
  // failed.
  [[noreturn]] void Failed() const {
    DWORD error = GetLastError();
    const char* reason = error == ERROR_ACCESS_DENIED ? ": Permission denied"
                         : error == ERROR_HANDLE_DISK_FULL
                             ? ": No space left on device"
                             : "";
    throw ProducerError("cannot write " + Shown(output_) + reason);
  }
  void Write(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      DWORD piece = static_cast<DWORD>(std::min<size_t>(size, kChunk));
      DWORD written = 0;
      if (!WriteFile(file_.Get(), bytes, piece, &written, nullptr) ||
          written != piece) {
        Failed();
      }
      bytes += piece;
      size -= piece;
    }
  }
  void Read(void* data, size_t size) {
    DWORD read = 0;
    if (!ReadFile(file_.Get(), data, static_cast<DWORD>(size), &read,
                  nullptr) ||
        read != size) {
      Failed();
    }
  }
  void Seek(uint64_t offset) {
    if (!SeekFile(file_.Get(), offset)) Failed();
  }

  // Closes the file and renames it onto the output, which must still be
  // a regular file if anything: a link, device or FIFO put there since it
  // was checked is not replaced.
  void Place() {
    if (!FlushFileBuffers(file_.Get())) Failed();
    file_.Release();
    std::error_code error;
    fs::file_status status = fs::symlink_status(output_, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
      throw ProducerError(Shown(output_) +
                          " is not a regular file; nothing written");
    }
    fs::rename(temporary_, output_, error);
    if (error) {
      throw ProducerError("cannot write " + Shown(output_) + ": " +
                          error.message());
    }
    placed_ = true;
  }

 private:
  fs::path output_, temporary_;
  SharedHandle file_;
  bool placed_ = false;
};

// Writes the package after the stub, keeping the entry records in memory
// until the blocks are in place.
class PackageWriter {
 public:
  // Writes the stub and reads its headers back as the applier will: it
  // must be a PE image with nothing after it, or the applier would look
  // for its package in the wrong place.
  PackageWriter(OutputFile* out, const std::vector<uint8_t>& stub)
      : out_(*out), stub_(stub.size()) {
    Write(stub.data(), stub.size());
    uint32_t imageEnd = 0;
    if (!ImageEndOf(out_.handle(), &imageEnd)) {
      throw ProducerError("the applier stub is not a valid PE executable");
    }
    if (imageEnd != stub_) {
      throw ProducerError(
          "the applier stub has " +
          std::to_string(static_cast<int64_t>(stub_) - imageEnd) +
          " bytes after its image; use an unsigned, stripped stub");
    }
    out_.Seek(stub_);
  }

  // Leaves room for what precedes the blocks: the header, and in the
  // specified form the table.
  void ReserveTable(const TreePlan& plan, uint32_t flags) {
    headSize_ = kCompactHeaderSize;
    if ((flags & PackageFlagCompactTable) == 0) {
      headSize_ = kPackageHeaderSize;
      for (const PlannedEntry& entry : plan.entries) {
        headSize_ += kPackageEntrySize + NameBytes(entry).size();
      }
    }
    std::vector<uint8_t> zeros(headSize_);
    Write(zeros.data(), zeros.size());
  }

  uint64_t Offset() const { return position_ - stub_; }

  void Write(const void* data, size_t size) {
    out_.Write(data, size);
    position_ += size;
  }

  // Copies a whole file into the package as a literal block.
  void WriteFile(const fs::path& path, CHashSHA256* hash) {
    InputFile in(path);
    std::vector<char> buffer = BufferFor(SizeOf(path));
    size_t got = 0;
    do {
      got = in.Read(buffer.data(), buffer.size());
      hash->Update(buffer.data(), static_cast<uint32_t>(got));
      Write(buffer.data(), got);
    } while (got == buffer.size());
  }

  // Writes the table and the header, with the digest of everything after
  // the header; returns the package's size.
  uint64_t Finish(const std::vector<PackageEntry>& records,
                  const TreePlan& plan, uint32_t flags) {
    const bool compact = (flags & PackageFlagCompactTable) != 0;
    // The specified form's records go before the blocks, after its header;
    // the compact ones after the blocks.
    std::vector<uint8_t> table(compact ? 0 : headSize_);
    const uint64_t tableOffset = compact ? Offset() : kPackageHeaderSize;
    size_t at = kPackageHeaderSize;
    for (size_t i = 0; i < records.size(); ++i) {
      const std::string names = NameBytes(plan.entries[i]);
      if (compact) {
        AppendCompactRecord(&table, records[i], names);
        continue;
      }
      Put(&table, at, records[i]);
      std::memcpy(table.data() + at + kPackageEntrySize, names.data(),
                  names.size());
      at += kPackageEntrySize + names.size();
    }
    if (compact) Write(table.data(), table.size());
    const uint64_t packageSize = Offset();

    // Hash what follows the header: the records kept here, then what is
    // written from the blocks on.
    const uint32_t headerSize =
        compact ? kCompactHeaderSize : kPackageHeaderSize;
    PackageHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.magic, kPackageMagic, sizeof header.magic);
    header.entryCount = static_cast<uint32_t>(records.size());
    header.flags = flags;
    header.packageSize = packageSize;
    header.reserved = kPackageReservedValue;
    CHashSHA256 hash;
    if (compact) {
      // The compact header's fields are covered too.
      const CompactHeader shorter = CompactHeaderOf(header, tableOffset);
      hash.Update(&shorter, offsetof(CompactHeader, packageDigest));
    } else {
      hash.Update(table.data() + headerSize,
                  static_cast<uint32_t>(table.size() - headerSize));
    }
    out_.Seek(stub_ + headSize_);
    uint64_t left = packageSize - headSize_;
    std::vector<char> buffer(
        static_cast<size_t>(std::min<uint64_t>(left, kChunk)));
    while (left > 0) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
      out_.Read(buffer.data(), piece);
      hash.Update(buffer.data(), static_cast<uint32_t>(piece));
      left -= piece;
    }
    hash.Final();
    hash.GetDigest(header.packageDigest);
    out_.Seek(stub_);
    if (compact) {
      const CompactHeader shorter = CompactHeaderOf(header, tableOffset);
      out_.Write(&shorter, sizeof shorter);
      return packageSize;
    }
    Put(&table, 0, header);
    out_.Write(table.data(), table.size());
    return packageSize;
  }

 private:
  OutputFile& out_;
  uint64_t stub_;
  uint64_t position_ = 0;
  uint64_t headSize_ = 0;  // the bytes before the first block
};

// OLD's names, found for NEW's as Windows finds a file: a name that differs
// from an old one only in case names that old file there, so a file whose
// name changes only in case is patched, not added beside itself.
class OldNames {
 public:
  explicit OldNames(const std::map<std::string, fs::path>& olds) : olds_(olds) {
    for (const auto& item : olds) {
      WString wide;
      if (CheckEntryName(item.first, &wide) != NameFault::kNone) continue;
      auto placed = byWindowsName_.emplace(wide, item.first);
      if (!placed.second) twice_.push_back(item.first);
    }
  }

  // The old name of the file NEW calls `name` (generic, relative): the
  // same name, else the one Windows takes for it; `name` when OLD has none.
  std::string Match(const std::string& name) {
    WString wide;
    auto found = byWindowsName_.end();
    if (olds_.count(name) == 0 &&
        CheckEntryName(name, &wide) == NameFault::kNone) {
      found = byWindowsName_.find(wide);
    }
    if (found == byWindowsName_.end()) {
      matched_.insert(name);
      return name;
    }
    for (const std::string& other : twice_) {
      WString twin = WideOf(other);
      if (!WindowsNameOrder()(wide, twin) && !WindowsNameOrder()(twin, wide)) {
        throw ProducerError("names Windows takes for one file in OLD: " +
                            EscapeName(found->second) + " and " +
                            EscapeName(other));
      }
    }
    matched_.insert(found->second);
    return found->second;
  }
  bool Matched(const std::string& name) const {
    return matched_.count(name) != 0;
  }

 private:
  const std::map<std::string, fs::path>& olds_;
  std::map<WString, std::string, WindowsNameOrder> byWindowsName_;
  std::vector<std::string> twice_;  // hidden by an earlier equal name
  std::set<std::string> matched_;
};

// One patched entry's blocks, as the package holds them, and the options
// its kind carries.
struct PatchBlocks {
  uint32_t options = 0;
  std::vector<uint8_t> instructions, literal;
  // The literal bytes before compression, when compressed.
  std::vector<uint8_t> literalBytes;
  uint64_t copied = 0;
  // Stored blocks of a package asked to be compressed: they are smaller
  // (see kStoredTrial).
  bool stored = false;
  size_t Size() const { return instructions.size() + literal.size(); }
};

// One way to rebuild a patched file, before compression: the original form
// (instructions and literal bytes) or the seeking form (with the
// transform's parameters and the differences).
struct Candidate {
  bool seeking = false;
  uint32_t options = 0;
  std::vector<uint8_t> parameters, instructions, differences, literal;
  uint64_t copied = 0;
  size_t size = 0;  // of its blocks at kChoosingLevel, once measured
};

// Candidates are compared compressed at this quick level; only the one
// kept is compressed at the highest.
constexpr int kChoosingLevel = 2;
// Programs up to this size are diffed in the original form too: beyond it
// the seeking form was the smaller on every program measured, and a second
// engine would cost create another search of the whole file. Files that
// are no programs (text, data) are diffed in both forms whatever their
// size: on the typescript package's lib.dom.d.ts (1.4 MB, rewritten in
// many places) the original form is half the size of the seeking form.
constexpr size_t kOrderedCandidateSize = size_t{1} << 20;
// A program whose seeking form comes out below this many bytes is diffed
// in the original form too: there the seeking block's fixed parts decide
// (rollup's ia32 DLL, 2.1 MB with a few bytes changed: 336 bytes seeking,
// under 300 in the original form).
constexpr size_t kSmallDelta = 4096;
// A lone entry whose compressed blocks come out below this many bytes is
// also measured stored: an LZMA stream's header, first bytes and end marker
// cost some 15 bytes, more than it saves on a few dozen (rollup's ia32 DLL:
// 81 bytes compressed, 50 stored).
constexpr size_t kStoredTrial = 512;
// A file this large whose LZMA blocks come to 1/kFastStreamShare of it or
// more has them also coded as Zstandard frames, which are kept when they
// are at most 1/kFastStreamCost larger: the applier decodes them several
// times faster, and there decoding LZMA is much of its work. On the
// benchmark's programs (bench/apply_floor.py), biome's blocks (10% of the
// file) took the apply from 2.7 to 2.0 times the floor, libvips' (5%) from
// 1.7 to 1.3; esbuild's (1-3%) gained less than a tenth, for some 9% more
// bytes.
constexpr size_t kFastStreamSize = size_t{4} << 20;
constexpr size_t kFastStreamShare = 32;
constexpr size_t kFastStreamCost = 8;

// `suffixes` and `memo`: see ComputeDelta.
Candidate Ordered(const std::vector<uint8_t>& old,
                  const std::vector<uint8_t>& target, const DiffOptions& diff,
                  const int32_t* suffixes = nullptr,
                  MatchMemo* memo = nullptr) {
  Delta delta = ComputeDelta(old.data(), old.size(), target.data(),
                             target.size(), diff, suffixes, memo);
  Candidate candidate;
  candidate.instructions = EncodeInstructions(delta.instructions);
  candidate.literal = std::move(delta.literal);
  candidate.copied = delta.copied;
  return candidate;
}

PatchBlocks Blocks(const Candidate& candidate, bool compressed, int level,
                   bool beside = false, StreamCodec codec = StreamCodec::kLzma);

// One seeking delta as a candidate, its instructions in the smaller coding
// (`compressed` or not): grouped by field when there are many (their
// compressed stream is a quarter smaller on large programs), the bits when
// there are few.
Candidate SeekingCandidate(SeekingDelta delta, uint32_t kind,
                           const std::vector<uint8_t>& parameters,
                           bool compressed) {
  Candidate candidate;
  candidate.seeking = true;
  candidate.options = EntryOptionSeeking | (kind << kEntryTransformShift);
  candidate.parameters = parameters;
  std::vector<uint8_t> bits = EncodeSeekingInstructions(delta.instructions);
  std::vector<uint8_t> grouped = EncodeGroupedInstructions(delta.instructions);
  auto size = [compressed](const std::vector<uint8_t>& part) {
    return compressed ? CompressInstructions(part, kChoosingLevel).size()
                      : part.size();
  };
  if (size(grouped) < size(bits)) {
    candidate.options |= EntryOptionGrouped;
    candidate.instructions = std::move(grouped);
  } else {
    candidate.instructions = std::move(bits);
  }
  candidate.differences = std::move(delta.differences);
  candidate.literal = std::move(delta.literal);
  candidate.copied = delta.copied;
  candidate.size = Blocks(candidate, compressed, kChoosingLevel).Size();
  return candidate;
}

// Which match gain makes the smallest seeking form is a matter of the
// files: a lower one follows moved code sooner, a higher one keeps an
// alignment through more changed bytes. On the programs of
// bench/patch_size.py the best of 2 to 32 was up to 18% smaller than
// bsdiff's 8 (lightningcss: 32; sharp's x64 module: 2), and no one gain
// was best everywhere; what lay between was seldom better than both its
// neighbours. So create starts from 8 and halves the gain, or else doubles
// it, while that makes the form smaller.
constexpr int64_t kLowestGain = 2;
constexpr int64_t kHighestGain = 32;

// Two files, both already through the transform `kind` whose parameters
// are `parameters`, ready for seeking deltas at any match gain.
struct SeekingSource {
  SeekingSource(const std::vector<uint8_t>& old,
                const std::vector<uint8_t>& target, uint32_t kind,
                std::vector<uint8_t> parameters)
      : old(old),
        target(target),
        kind(kind),
        parameters(std::move(parameters)),
        suffixes(SortSuffixes(old.data(), old.size())),
        memo(target.size()) {}

  Candidate At(int64_t gain, bool compressed) const {
    return SeekingCandidate(
        ComputeSeekingDelta(old.data(), old.size(), suffixes.data(),
                            target.data(), target.size(), gain, &memo),
        kind, parameters, compressed);
  }

  const std::vector<uint8_t>& old;
  const std::vector<uint8_t>& target;
  uint32_t kind;
  std::vector<uint8_t> parameters;
  std::vector<int32_t> suffixes;
  mutable MatchMemo memo;  // shared by the searches at every gain
};

// `best`, `source`'s form at kMatchGain, or a smaller one at another gain;
// the first step down and the first step up side by side.
Candidate Smallest(const SeekingSource& source, Candidate best,
                   bool compressed) {
  Candidate lower, higher;
  RunSideBySide([&] { lower = source.At(kMatchGain / 2, compressed); },
                [&] { higher = source.At(kMatchGain * 2, compressed); });
  const bool lowering = lower.size < best.size;
  Candidate next = std::move(lowering ? lower : higher);
  for (int64_t gain = lowering ? kMatchGain / 2 : kMatchGain * 2;
       next.size < best.size;) {
    best = std::move(next);
    gain = lowering ? gain / 2 : gain * 2;
    if (gain < kLowestGain || gain > kHighestGain) break;
    next = source.At(gain, compressed);
  }
  return best;
}

template <typename T>
void Append(std::vector<uint8_t>* out, const T& value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  out->insert(out->end(), bytes, bytes + sizeof value);
}

// The blocks of `candidate`, compressed at `level` (0: as the package is
// written) in `codec` when `compressed`; `beside`: the differences are
// compressed on a second core while the instructions and the literal bytes
// are. A seeking block is the sizes of the parameters and of the
// instruction part, the parameters, the instruction part and the
// differences.
PatchBlocks Blocks(const Candidate& candidate, bool compressed, int level,
                   bool beside, StreamCodec codec) {
  PatchBlocks blocks;
  blocks.options = candidate.options;
  blocks.copied = candidate.copied;
  std::vector<uint8_t> part = candidate.instructions;
  std::vector<uint8_t> differences = candidate.differences;
  blocks.literal = candidate.literal;
  if (compressed && codec == StreamCodec::kZstd)
    blocks.options |= EntryOptionZstd;
  if (compressed) {
    auto instructionsAndLiteral = [&] {
      part = CompressInstructions(part, level, codec);
      blocks.literal =
          CompressStream(blocks.literal.data(), blocks.literal.size(),
                         kMaxWindowLog, level, kFileModel, codec);
    };
    auto differenceStream = [&] {
      if (differences.empty()) return;
      differences =
          CompressStream(differences.data(), differences.size(),
                         kDifferenceWindowLog, level, kDifferenceModel, codec);
    };
    if (beside && !differences.empty()) {
      RunSideBySide(instructionsAndLiteral, differenceStream);
    } else {
      instructionsAndLiteral();
      differenceStream();
    }
  }
  if (!candidate.seeking) {
    blocks.instructions = std::move(part);
    return blocks;
  }
  Append(&blocks.instructions,
         static_cast<uint32_t>(candidate.parameters.size()));
  Append(&blocks.instructions, static_cast<uint32_t>(part.size()));
  const std::vector<uint8_t>* pieces[] = {&candidate.parameters, &part,
                                          &differences};
  for (const std::vector<uint8_t>* piece : pieces) {
    blocks.instructions.insert(blocks.instructions.end(), piece->begin(),
                               piece->end());
  }
  return blocks;
}

// The blocks of `candidate` as the package is written, on both cores:
// compressed ones keep their literal bytes too, for a stream they may share.
PatchBlocks Written(const Candidate& candidate, bool compressed, int level,
                    StreamCodec codec = StreamCodec::kLzma) {
  PatchBlocks blocks = Blocks(candidate, compressed, level, true, codec);
  if (compressed) blocks.literalBytes = candidate.literal;
  return blocks;
}

// The smallest blocks the package's form allows: with
// PackageFlagEntryOptions the smallest of the seeking form, the seeking
// form through the code transform where both files are programs of one
// machine, and the original form unless they are large programs with a
// large seeking form (see kOrderedCandidateSize); the original form alone
// without the flag, or for an old file beyond the suffix array's reach.
// When `alone` (the package's only entry) stored blocks are offered where
// they are smaller than compressed ones.
PatchBlocks BuildPatchBlocks(const std::string& name,
                             const std::vector<uint8_t>& old,
                             const std::vector<uint8_t>& target, uint32_t flags,
                             const DiffOptions& diff, bool alone) {
  // The applier holds an entry's instructions in one block of memory.
  auto fits = [&name](Candidate candidate) {
    if (candidate.instructions.size() > static_cast<size_t>(INT32_MAX)) {
      throw ProducerError("the changes to " + name + " are too large to patch");
    }
    return candidate;
  };
  bool compressed = (flags & PackageFlagCompressed) != 0;
  if ((flags & PackageFlagEntryOptions) == 0 ||
      old.size() > std::min<uint64_t>(diff.suffixArrayLimit, INT32_MAX)) {
    return Written(fits(Ordered(old, target, diff)), compressed,
                   diff.compressionLevel);
  }
  std::vector<uint8_t> parameters, oldCode, newCode;
  TransformParameters parsed;
  uint32_t kind = SharedTransform(FindCode(old.data(), old.size()),
                                  FindCode(target.data(), target.size()),
                                  &parameters, &parsed);
  // Each form at bsdiff's gain, two at a time: the seeking form of the
  // files as they are, and of the files through the transform or else the
  // original form, which is then always a candidate.
  std::optional<SeekingSource> plain, transformed;
  Candidate plainForm, transformedForm;
  std::optional<Candidate> orderedForm;
  // The original form, its search served by `source`'s when there is one
  // (the files as they are).
  auto takeOrdered = [&](const SeekingSource* source) {
    Candidate form =
        fits(source != nullptr ? Ordered(old, target, diff,
                                         source->suffixes.data(), &source->memo)
                               : Ordered(old, target, diff));
    form.size = Blocks(form, compressed, kChoosingLevel).Size();
    orderedForm = std::move(form);
  };
  RunSideBySide(
      [&] {
        plain.emplace(old, target, kTransformNone, std::vector<uint8_t>());
        plainForm = fits(plain->At(kMatchGain, compressed));
      },
      [&] {
        if (kind == kTransformNone) return takeOrdered(nullptr);
        oldCode = old;
        newCode = target;
        CodeTransform(kind, parsed.width, parsed.old)
            .Forward(oldCode.data(), 0, oldCode.size());
        CodeTransform(kind, parsed.width, parsed.target)
            .Forward(newCode.data(), 0, newCode.size());
        transformed.emplace(oldCode, newCode, kind, parameters);
        transformedForm = fits(transformed->At(kMatchGain, compressed));
      });
  // Then the better seeking form at the other gains, and beside it the
  // original form of a small program; the other seeking form's search is
  // done with.
  const bool orderedBeside =
      kind != kTransformNone && old.size() <= kOrderedCandidateSize;
  auto smallest = [&] {
    if (kind != kTransformNone && transformedForm.size < plainForm.size) {
      if (!orderedBeside) plain.reset();
      transformedForm =
          fits(Smallest(*transformed, std::move(transformedForm), compressed));
    } else {
      transformed.reset();
      plainForm = fits(Smallest(*plain, std::move(plainForm), compressed));
    }
  };
  if (orderedBeside) {
    RunSideBySide(smallest, [&] { takeOrdered(&*plain); });
  } else {
    smallest();
  }
  std::vector<Candidate> candidates;
  candidates.push_back(std::move(plainForm));
  if (kind != kTransformNone) {
    candidates.push_back(std::move(transformedForm));
    if (!orderedForm &&
        std::min(candidates[0].size, candidates[1].size) < kSmallDelta) {
      takeOrdered(plain ? &*plain : nullptr);
    }
  }
  if (orderedForm) candidates.push_back(std::move(*orderedForm));
  auto smaller = [](const Candidate& a, const Candidate& b) {
    return a.size < b.size;
  };
  size_t best =
      std::min_element(candidates.begin(), candidates.end(), smaller) -
      candidates.begin();
  PatchBlocks written =
      Written(candidates[best], compressed, diff.compressionLevel);
  if (compressed && candidates[best].seeking &&
      target.size() >= kFastStreamSize &&
      written.Size() >= target.size() / kFastStreamShare) {
    PatchBlocks fast = Written(candidates[best], compressed,
                               diff.compressionLevel, StreamCodec::kZstd);
    if (fast.Size() <= written.Size() + written.Size() / kFastStreamCost)
      written = std::move(fast);
  }
  if (!compressed || !alone || written.Size() >= kStoredTrial) return written;
  for (const Candidate& candidate : candidates) {
    PatchBlocks stored = Blocks(candidate, false, 0);
    if (stored.Size() < written.Size()) {
      written = std::move(stored);
      written.stored = true;
    }
  }
  return written;
}

// An entry's blocks and what they rebuild.
struct DeltaBlocks {
  PatchBlocks blocks;
  uint64_t oldSize = 0, newSize = 0;
  std::vector<uint8_t> oldDigest, newDigest;
  uint64_t Size() const { return blocks.Size(); }
};

// The blocks that rebuild `target` from `old` in the form `flags` allow,
// for the entry `name` (`alone`: see BuildPatchBlocks).
DeltaBlocks MakeDelta(const fs::path& oldPath, const fs::path& targetPath,
                      const std::string& name, uint32_t flags,
                      const DiffOptions& options, bool alone = false) {
  std::vector<uint8_t> old = ReadWhole(oldPath);
  std::vector<uint8_t> target = ReadWhole(targetPath);
  DeltaBlocks delta;
  delta.blocks = BuildPatchBlocks(name, old, target, flags, options, alone);
  delta.oldSize = old.size();
  delta.newSize = target.size();
  delta.oldDigest = Digest(old);
  delta.newDigest = Digest(target);
  return delta;
}

// The size of an added file's block: the file, or its compressed stream.
uint64_t AddedBlockSize(const fs::path& path, bool compressed, int level) {
  if (!compressed) return SizeOf(path);
  std::vector<uint8_t> content = ReadWhole(path);
  return CompressBlock(content.data(), content.size(), kMaxWindowLog, level)
      .size();
}

}  // namespace

TreePlan PlanTrees(const fs::path& oldRoot, const fs::path& newRoot) {
  Kind oldKind = RootKind(oldRoot), newKind = RootKind(newRoot);
  TreePlan plan;
  if (oldKind == Kind::kFile && newKind == Kind::kFile) {
    // The file users have is OLD: the patch finds it by that name.
    std::string name = PackageName(oldRoot.filename());
    if (SameContent(oldRoot, newRoot)) {
      plan.unchanged = 1;
    } else {
      plan.entries.push_back({EntryKindPatch, name, oldRoot, newRoot});
    }
    CheckNamesTogether(plan.entries, false);
    return plan;
  }
  if (oldKind != Kind::kFolder || newKind != Kind::kFolder) {
    throw ProducerError("OLD and NEW must both be folders or both be files");
  }
  std::map<std::string, fs::path> olds = Walk(oldRoot), news = Walk(newRoot);
  OldNames oldNames(olds);
  for (const auto& item : news) {
    fs::path oldPath = oldRoot / fs::u8path(oldNames.Match(item.first));
    Kind was = KindOf(oldPath), is = KindOf(item.second);
    std::string name = PackageName(fs::u8path(item.first));
    if (is == Kind::kFolder) {
      if (was == Kind::kFile)
        throw ProducerError("a file becomes a folder: " +
                            EscapeName(item.first));
      if (was == Kind::kMissing)
        plan.entries.push_back({EntryKindDirectory, name, {}, item.second});
    } else if (was == Kind::kFolder) {
      throw ProducerError("a folder becomes a file: " + EscapeName(item.first));
    } else if (was == Kind::kMissing) {
      plan.entries.push_back({EntryKindAdd, name, {}, item.second});
    } else if (SameContent(oldPath, item.second)) {
      ++plan.unchanged;
    } else {
      plan.entries.push_back({EntryKindPatch, name, oldPath, item.second});
    }
  }
  for (const auto& item : olds) {
    if (!oldNames.Matched(item.first)) plan.onlyInOld.push_back(item.first);
  }
  CheckNamesTogether(plan.entries, false);
  return plan;
}

void PlanRemovals(const fs::path& oldRoot, TreePlan* plan) {
  std::vector<PlannedEntry> files, folders;
  for (const std::string& name : plan->onlyInOld) {
    const fs::path path = oldRoot / fs::u8path(name);
    PlannedEntry entry{
        EntryKindRemove, PackageName(fs::u8path(name)), path, {}, {}};
    if (KindOf(path) == Kind::kFolder) {
      entry.kind = EntryKindRemoveDirectory;
      entry.oldPath.clear();
      folders.push_back(entry);
    } else {
      files.push_back(entry);
    }
  }
  plan->entries.insert(plan->entries.end(), files.begin(), files.end());
  plan->entries.insert(plan->entries.end(), folders.begin(), folders.end());
  plan->onlyInOld.clear();
  CheckNamesTogether(plan->entries, false);
}

void PlanSources(const fs::path& oldRoot, TreePlan* plan) {
  std::set<std::string> removed;
  bool adds = false;
  for (const PlannedEntry& entry : plan->entries) {
    if (entry.kind == EntryKindRemove) removed.insert(entry.name);
    adds = adds || entry.kind == EntryKindAdd;
  }
  if (!adds || RootKind(oldRoot) != Kind::kFolder) return;
  std::vector<OldFile> olds;
  for (const auto& item : Walk(oldRoot)) {
    // A name the package cannot carry is no source (nor in NEW).
    std::string name;
    for (const fs::path& part : fs::u8path(item.first))
      name += (name.empty() ? "" : "\\") + part.u8string();
    WString wide;
    if (KindOf(item.second) != Kind::kFile ||
        CheckEntryName(name, &wide) != NameFault::kNone) {
      continue;
    }
    olds.push_back({name, item.second, removed.count(name) != 0});
  }
  SourceFinder finder(std::move(olds));
  for (PlannedEntry& entry : plan->entries) {
    if (entry.kind != EntryKindAdd) continue;
    const OldFile* source = finder.Find(entry.name, entry.newPath);
    if (source == nullptr) continue;
    entry.source = source->name;
    entry.oldPath = source->path;
  }
}

// Patched entries' literal blocks, held back a group at a time, as long as
// their bytes add up to kSharedLiteralLimit at most, and then written
// either each on its own or as one stream the group shares with a
// SharedLiteral for each, whichever is smaller. Bundles of one program
// change alike: on the typescript package, _tsc.js's and typescript.js's
// literal bytes code to 4,178 bytes apart and 2,866 together.
class SharedLiterals {
 public:
  // An applier keeps a group's stream from one window to the next, with a
  // dictionary as large as the group: the bound keeps that memory small,
  // and no window starts further in than an applier takes.
  static constexpr size_t kSharedLiteralLimit = kMaxSharedSkip;

  SharedLiterals(PackageWriter* writer, std::vector<PackageEntry>* records,
                 uint32_t flags, int level)
      : writer_(*writer), records_(*records), level_(level), flags_(flags) {}

  // Whether `blocks` may join a group: compressed, in a package whose
  // entries carry options.
  bool Shares(const PatchBlocks& blocks) const {
    return (flags_ & PackageFlagEntryOptions) != 0 &&
           (blocks.options & EntryOptionZstd) == 0 &&
           !blocks.literalBytes.empty() &&
           blocks.literalBytes.size() <= kSharedLiteralLimit;
  }

  // Holds back the literal block of record `index`.
  void Add(size_t index, const PatchBlocks& blocks) {
    if (bytes_.size() + blocks.literalBytes.size() > kSharedLiteralLimit)
      Flush();
    members_.push_back({index, blocks.literal, blocks.literalBytes.size()});
    bytes_.insert(bytes_.end(), blocks.literalBytes.begin(),
                  blocks.literalBytes.end());
  }

  // Writes the group held back and sets its records' literal blocks.
  void Flush() {
    size_t apart = 0;
    for (const Member& member : members_) apart += member.block.size();
    std::vector<uint8_t> stream;
    if (members_.size() > 1) {
      stream =
          CompressBlock(bytes_.data(), bytes_.size(), kMaxWindowLog, level_);
    }
    bool share =
        members_.size() > 1 &&
        stream.size() + members_.size() * sizeof(SharedLiteral) < apart;
    SharedLiteral shared{writer_.Offset(), stream.size(), 0, 0};
    if (share) writer_.Write(stream.data(), stream.size());
    for (const Member& member : members_) {
      PackageEntry& record = records_[member.index];
      record.literalOffset = writer_.Offset();
      if (share) {
        record.kind |= EntryOptionSharedLiteral;
        shared.length = static_cast<uint32_t>(member.length);
        writer_.Write(&shared, sizeof shared);
        shared.skip += shared.length;
      } else {
        writer_.Write(member.block.data(), member.block.size());
      }
      record.literalSize = writer_.Offset() - record.literalOffset;
    }
    members_.clear();
    bytes_.clear();
  }

 private:
  struct Member {
    size_t index;
    std::vector<uint8_t> block;
    size_t length;
  };
  PackageWriter& writer_;
  std::vector<PackageEntry>& records_;
  int level_;
  uint32_t flags_;
  std::vector<Member> members_;
  std::vector<uint8_t> bytes_;
};

BuildSummary WritePatch(const std::vector<uint8_t>& stub,
                        const TreePlan& planned, const fs::path& output,
                        const BuildOptions& options) {
  if (planned.entries.size() > UINT32_MAX)
    throw ProducerError("too many entries");
  CheckNamesTogether(planned.entries, (options.flags & PackageFlagBackup) != 0);
  OutputFile out(output);
  PackageWriter writer(&out, stub);

  // Which added files are rebuilt from their sources: the table holds the
  // sources' names, so it is decided before the table is laid out, and the
  // blocks kept meanwhile (they are the smaller ones). So is a lone patched
  // file's, whose blocks decide whether the package is compressed.
  TreePlan plan = planned;
  std::vector<DeltaBlocks> prepared(plan.entries.size());
  uint32_t flags = options.flags;
  // A compact table holds at most kMaxCompactEntries records; a tree of
  // more is written with fixed ones.
  if (plan.entries.size() > kMaxCompactEntries)
    flags &= ~PackageFlagCompactTable;
  if (plan.entries.size() == 1 && plan.entries[0].kind == EntryKindPatch) {
    const PlannedEntry& entry = plan.entries[0];
    prepared[0] = MakeDelta(entry.oldPath, entry.newPath, entry.name, flags,
                            options.diff, true);
    if (prepared[0].blocks.stored) flags &= ~PackageFlagCompressed;
  }
  const bool compressed = (flags & PackageFlagCompressed) != 0;
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    PlannedEntry& entry = plan.entries[i];
    if (entry.kind == EntryKindAdd && !entry.source.empty()) {
      prepared[i] = MakeDelta(entry.oldPath, entry.newPath, entry.name, flags,
                              options.diff);
      if (prepared[i].Size() >= AddedBlockSize(entry.newPath, compressed,
                                               options.diff.compressionLevel)) {
        entry.source.clear();
        prepared[i] = DeltaBlocks();
      }
    }
    if (!entry.source.empty() || entry.kind == EntryKindRemove ||
        entry.kind == EntryKindRemoveDirectory) {
      flags |= PackageFlagRemovals;
    }
  }
  writer.ReserveTable(plan, flags);

  BuildSummary summary;
  std::vector<PackageEntry> records;
  SharedLiterals shared(&writer, &records, flags,
                        options.diff.compressionLevel);
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    const PlannedEntry& entry = plan.entries[i];
    if (options.progress) options.progress(i, entry);
    PackageEntry record;
    std::memset(&record, 0, sizeof record);
    record.nameLength = static_cast<uint32_t>(NameBytes(entry).size());
    record.kind = entry.kind;
    if (entry.kind == EntryKindPatch || !entry.source.empty()) {
      DeltaBlocks delta = prepared[i].newDigest.empty()
                              ? MakeDelta(entry.oldPath, entry.newPath,
                                          entry.name, flags, options.diff)
                              : std::move(prepared[i]);
      const PatchBlocks& blocks = delta.blocks;
      if (!entry.source.empty()) {
        record.kind = EntryKindPatch | EntryOptionSource;
        ++summary.added;
        ++summary.rebuilt;
      } else {
        ++summary.patched;
      }
      record.kind |= blocks.options;
      summary.oldBytes += delta.oldSize;
      record.oldSize = delta.oldSize;
      record.newSize = delta.newSize;
      record.instructionOffset = writer.Offset();
      record.instructionSize = blocks.instructions.size();
      writer.Write(blocks.instructions.data(), blocks.instructions.size());
      std::memcpy(record.oldDigest, delta.oldDigest.data(), 32);
      std::memcpy(record.newDigest, delta.newDigest.data(), 32);
      summary.newBytes += delta.newSize;
      summary.copiedBytes += blocks.copied;
      if (shared.Shares(blocks)) {
        records.push_back(record);
        shared.Add(i, blocks);  // sets the literal block when it is written
        continue;
      }
      record.literalOffset = writer.Offset();
      record.literalSize = blocks.literal.size();
      writer.Write(blocks.literal.data(), blocks.literal.size());
    } else if (entry.kind == EntryKindRemove) {
      CHashSHA256 hash;
      InputFile in(entry.oldPath);
      std::vector<char> buffer = BufferFor(SizeOf(entry.oldPath));
      size_t got = 0;
      do {
        got = in.Read(buffer.data(), buffer.size());
        hash.Update(buffer.data(), static_cast<uint32_t>(got));
        record.oldSize += got;
      } while (got == buffer.size());
      hash.Final();
      hash.GetDigest(record.oldDigest);
      ++summary.removed;
    } else if (entry.kind == EntryKindRemoveDirectory) {
      ++summary.removedDirectories;
    } else if (entry.kind == EntryKindAdd && compressed) {
      std::vector<uint8_t> content = ReadWhole(entry.newPath);
      std::vector<uint8_t> block =
          CompressBlock(content.data(), content.size(), kMaxWindowLog,
                        options.diff.compressionLevel);
      record.literalOffset = writer.Offset();
      record.literalSize = block.size();
      writer.Write(block.data(), block.size());
      record.newSize = content.size();
      std::memcpy(record.newDigest, Digest(content).data(), 32);
      ++summary.added;
      summary.newBytes += record.newSize;
    } else if (entry.kind == EntryKindAdd) {
      CHashSHA256 hash;
      record.literalOffset = writer.Offset();
      writer.WriteFile(entry.newPath, &hash);
      record.literalSize = writer.Offset() - record.literalOffset;
      record.newSize = record.literalSize;
      hash.Final();
      hash.GetDigest(record.newDigest);
      ++summary.added;
      summary.newBytes += record.newSize;
    } else {
      ++summary.directories;
    }
    records.push_back(record);
  }
  shared.Flush();
  summary.packageSize = writer.Finish(records, plan, flags);
  out.Place();
  return summary;
}
