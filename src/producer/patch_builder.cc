#include "producer/patch_builder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <system_error>

#include "package/entry_names.h"
#include "package/image_end.h"
#include "package/name_rule.h"
#include "package/package_format.h"
#include "package/package_loader.h"
#include "package/sha256.h"
#include "producer/block_compressor.h"

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

std::vector<uint8_t> ReadWhole(const fs::path& path) {
  InputFile in(path);
  std::vector<uint8_t> data;
  // A 32-bit build cannot hold 2 GiB and more.
  std::error_code error;
  uint64_t size = fs::file_size(path, error);
  if (!error && size > data.max_size()) {
    throw ProducerError("too large to compare in this build's memory: " +
                        Shown(path));
  }
  size_t got = 0;
  do {
    data.resize(data.size() + kChunk);
    got = in.Read(data.data() + data.size() - kChunk, kChunk);
    data.resize(data.size() - kChunk + got);
  } while (got == kChunk);
  return data;
}

uint64_t SizeOf(const fs::path& path) {
  std::error_code error;
  uint64_t size = fs::file_size(path, error);
  if (error) Fail("cannot read", path, error);
  return size;
}

bool SameContent(const fs::path& a, const fs::path& b) {
  if (SizeOf(a) != SizeOf(b)) return false;
  InputFile x(a), y(b);
  std::vector<char> bufferX(kChunk), bufferY(kChunk);
  for (;;) {
    size_t gotX = x.Read(bufferX.data(), kChunk);
    size_t gotY = y.Read(bufferY.data(), kChunk);
    if (gotX != gotY || std::memcmp(bufferX.data(), bufferY.data(), gotX) != 0)
      return false;
    if (gotX < kChunk) return true;
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

// Writes the package after the stub, keeping the entry records in memory
// until the blocks are in place.
class PackageWriter {
 public:
  // Writes the stub and reads its headers back from the file as the
  // applier will: it must be a PE image with nothing after it, or the
  // applier would look for its package in the wrong place. The file is
  // closed meanwhile, as Windows lets no one read a file that is open for
  // writing.
  PackageWriter(const fs::path& path, const std::vector<uint8_t>& stub)
      : path_(path), stub_(stub.size()) {
    out_.open(path, std::ios::binary | std::ios::trunc | std::ios::out);
    Write(stub.data(), stub.size());
    out_.close();
    if (!out_) throw ProducerError("cannot write " + path.u8string());
    CheckStub();
    out_.open(path, std::ios::binary | std::ios::in | std::ios::out);
    out_.seekp(0, std::ios::end);
    if (!out_) throw ProducerError("cannot write " + path.u8string());
  }

  void ReserveTable(const TreePlan& plan) {
    tableSize_ = kPackageHeaderSize;
    for (const PlannedEntry& entry : plan.entries) {
      tableSize_ += kPackageEntrySize + entry.name.size() + 1;
    }
    std::vector<uint8_t> zeros(tableSize_);
    Write(zeros.data(), zeros.size());
  }

  uint64_t Offset() const { return position_ - stub_; }

  void Write(const void* data, size_t size) {
    out_.write(static_cast<const char*>(data),
               static_cast<std::streamsize>(size));
    if (!out_) throw ProducerError("cannot write " + path_.u8string());
    position_ += size;
  }

  // Copies a whole file into the package as a literal block.
  void WriteFile(const fs::path& path, CHashSHA256* hash) {
    InputFile in(path);
    std::vector<char> buffer(kChunk);
    size_t got = 0;
    do {
      got = in.Read(buffer.data(), kChunk);
      hash->Update(buffer.data(), static_cast<uint32_t>(got));
      Write(buffer.data(), got);
    } while (got == kChunk);
  }

  // Writes header and table, then the digest of everything after the header.
  void Finish(const std::vector<PackageEntry>& records, const TreePlan& plan,
              uint32_t flags) {
    std::vector<uint8_t> table(tableSize_);
    size_t at = kPackageHeaderSize;
    for (size_t i = 0; i < records.size(); ++i) {
      Put(&table, at, records[i]);
      std::memcpy(table.data() + at + kPackageEntrySize,
                  plan.entries[i].name.c_str(),
                  plan.entries[i].name.size() + 1);
      at += kPackageEntrySize + plan.entries[i].name.size() + 1;
    }
    PackageHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.magic, kPackageMagic, sizeof header.magic);
    header.entryCount = static_cast<uint32_t>(records.size());
    header.flags = flags;
    header.packageSize = Offset();
    header.reserved = kPackageReservedValue;

    // Hash what follows the header: the table, then the blocks as written.
    CHashSHA256 hash;
    hash.Update(table.data() + kPackageHeaderSize,
                static_cast<uint32_t>(table.size() - kPackageHeaderSize));
    out_.flush();
    out_.seekg(static_cast<std::streamoff>(stub_ + tableSize_));
    std::vector<char> buffer(kChunk);
    uint64_t left = header.packageSize - tableSize_;
    while (left > 0) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
      out_.read(buffer.data(), static_cast<std::streamsize>(piece));
      if (!out_) throw ProducerError("cannot read back " + path_.u8string());
      hash.Update(buffer.data(), static_cast<uint32_t>(piece));
      left -= piece;
    }
    hash.Final();
    hash.GetDigest(header.packageDigest);
    Put(&table, 0, header);
    out_.seekp(static_cast<std::streamoff>(stub_));
    out_.write(reinterpret_cast<const char*>(table.data()),
               static_cast<std::streamsize>(table.size()));
    out_.close();
    if (!out_) throw ProducerError("cannot write " + path_.u8string());
  }

 private:
  void CheckStub() const {
    uint32_t imageEnd = 0;
    if (!ComputeImageEnd(WidePath(path_).c_str(), &imageEnd)) {
      throw ProducerError("the applier stub is not a valid PE executable");
    }
    if (imageEnd != stub_) {
      throw ProducerError(
          "the applier stub has " +
          std::to_string(static_cast<int64_t>(stub_) - imageEnd) +
          " bytes after its image; use an unsigned, stripped stub");
    }
  }

  fs::path path_;
  std::fstream out_;
  uint64_t stub_;
  uint64_t position_ = 0;
  uint64_t tableSize_ = 0;
};

// Removes the temporary output unless the build got to the end.
class TemporaryOutput {
 public:
  explicit TemporaryOutput(fs::path path) : path_(std::move(path)) {}
  ~TemporaryOutput() {
    std::error_code ignored;
    if (!kept_) fs::remove(path_, ignored);
  }
  void Keep() { kept_ = true; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool kept_ = false;
};

}  // namespace

TreePlan PlanTrees(const fs::path& oldRoot, const fs::path& newRoot) {
  Kind oldKind = RootKind(oldRoot), newKind = RootKind(newRoot);
  TreePlan plan;
  if (oldKind == Kind::kFile && newKind == Kind::kFile) {
    std::string name = PackageName(newRoot.filename());
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
  for (const auto& item : news) {
    fs::path oldPath = oldRoot / fs::u8path(item.first);
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
    if (news.count(item.first) == 0) plan.onlyInOld.push_back(item.first);
  }
  CheckNamesTogether(plan.entries, false);
  return plan;
}

BuildSummary WritePatch(const std::vector<uint8_t>& stub, const TreePlan& plan,
                        const fs::path& output, const BuildOptions& options) {
  if (plan.entries.size() > UINT32_MAX) throw ProducerError("too many entries");
  CheckNamesTogether(plan.entries, (options.flags & PackageFlagBackup) != 0);
  fs::path folder =
      output.has_parent_path() ? output.parent_path() : fs::path(".");
  TemporaryOutput temporary(folder / (output.filename().u8string() + ".part"));
  PackageWriter writer(temporary.path(), stub);
  writer.ReserveTable(plan);

  bool compressed = (options.flags & PackageFlagCompressed) != 0;
  BuildSummary summary;
  std::vector<PackageEntry> records;
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    const PlannedEntry& entry = plan.entries[i];
    if (options.progress) options.progress(i, entry);
    PackageEntry record;
    std::memset(&record, 0, sizeof record);
    record.nameLength = static_cast<uint32_t>(entry.name.size() + 1);
    record.kind = entry.kind;
    if (entry.kind == EntryKindPatch) {
      std::vector<uint8_t> old = ReadWhole(entry.oldPath);
      std::vector<uint8_t> target = ReadWhole(entry.newPath);
      Delta delta = ComputeDelta(old.data(), old.size(), target.data(),
                                 target.size(), options.diff);
      std::vector<uint8_t> instructions =
          EncodeInstructions(delta.instructions);
      if (instructions.size() > static_cast<size_t>(INT32_MAX)) {
        throw ProducerError("the changes to " + entry.name +
                            " are too large to patch");
      }
      record.oldSize = old.size();
      record.newSize = target.size();
      if (compressed) {
        instructions = CompressInstructions(instructions);
        delta.literal =
            CompressBlock(delta.literal.data(), delta.literal.size());
      }
      record.instructionOffset = writer.Offset();
      record.instructionSize = instructions.size();
      writer.Write(instructions.data(), instructions.size());
      record.literalOffset = writer.Offset();
      record.literalSize = delta.literal.size();
      writer.Write(delta.literal.data(), delta.literal.size());
      std::memcpy(record.oldDigest, Digest(old).data(), 32);
      std::memcpy(record.newDigest, Digest(target).data(), 32);
      ++summary.patched;
      summary.oldBytes += old.size();
      summary.newBytes += target.size();
      summary.copiedBytes += delta.copied;
    } else if (entry.kind == EntryKindAdd && compressed) {
      std::vector<uint8_t> content = ReadWhole(entry.newPath);
      std::vector<uint8_t> block =
          CompressBlock(content.data(), content.size());
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
  writer.Finish(records, plan, options.flags);
  summary.packageSize = fs::file_size(temporary.path()) - stub.size();
  std::error_code error;
  fs::rename(temporary.path(), output, error);
  if (error)
    throw ProducerError("cannot write " + output.u8string() + ": " +
                        error.message());
  temporary.Keep();
  return summary;
}
