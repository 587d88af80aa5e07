#include "producer/patch_builder.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include "package/entry_names.h"
#include "package/image_end.h"
#include "package/package_format.h"
#include "package/package_loader.h"
#include "package/sha256.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 1 << 20;

std::vector<uint8_t> ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ProducerError("cannot read " + path.u8string());
  in.seekg(0, std::ios::end);
  std::vector<uint8_t> data(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()),
          static_cast<std::streamsize>(data.size()));
  if (!in) throw ProducerError("cannot read " + path.u8string());
  return data;
}

bool SameContent(const fs::path& a, const fs::path& b) {
  if (fs::file_size(a) != fs::file_size(b)) return false;
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> bufferX(kChunk), bufferY(kChunk);
  while (x && y) {
    x.read(bufferX.data(), kChunk);
    y.read(bufferY.data(), kChunk);
    if (x.gcount() != y.gcount() ||
        std::memcmp(bufferX.data(), bufferY.data(),
                    static_cast<size_t>(x.gcount())) != 0) {
      return false;
    }
  }
  return true;
}

// A UTF-8 name as the applier decodes it, or an error for a character the
// format cannot carry.
WString WideName(const std::string& name) {
  WString wide;
  for (size_t i = 0; i < name.size(); ++i) {
    auto b = static_cast<unsigned char>(name[i]);
    if (b >= 0xF0) {
      throw ProducerError(
          "name has a character outside the format's range "
          "(beyond U+FFFF): " +
          name);
    }
    uint32_t unit = b;
    if (b >= 0xE0) {
      unit = ((b & 0x0Fu) << 12) | ((name[i + 1] & 0x3Fu) << 6) |
             (name[i + 2] & 0x3Fu);
      i += 2;
    } else if (b >= 0xC0) {
      unit = ((b & 0x1Fu) << 6) | (name[i + 1] & 0x3Fu);
      i += 1;
    }
    wide += static_cast<WCHAR>(unit);
  }
  return wide;
}

// The package name of a relative path, checked against what the applier
// accepts.
std::string PackageName(const fs::path& relative) {
  std::string name;
  for (const fs::path& part : relative) {
    if (!name.empty()) name += '\\';
    name += part.u8string();
  }
  WString wide = WideName(name);
  if (wide.size() > static_cast<size_t>(kMaxNameUnits)) {
    throw ProducerError("name longer than 2,046 characters: " + name);
  }
  if (!IsPlainRelativeName(wide)) {
    throw ProducerError("name Windows cannot hold inside the folder: " + name);
  }
  return name;
}

// Refuses names the applier would refuse together: the loader's own rule.
void CheckNamesTogether(const std::vector<PlannedEntry>& entries,
                        bool keepsBackups) {
  std::vector<NamedEntry> names;
  names.reserve(entries.size());
  for (const PlannedEntry& entry : entries)
    names.push_back({WideName(entry.name), entry.kind});
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
    case NameClash::kUnderAFile:
      throw ProducerError(second + " lies under " + first +
                          ", which the patch makes a file");
    case NameClash::kNone:
      break;
  }
}

enum class Kind { kMissing, kFile, kFolder, kOther };

Kind KindOf(const fs::path& path) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(path, error);
  if (error || status.type() == fs::file_type::not_found) return Kind::kMissing;
  if (status.type() == fs::file_type::regular) return Kind::kFile;
  if (status.type() == fs::file_type::directory) return Kind::kFolder;
  return Kind::kOther;
}

std::map<std::string, fs::path> Walk(const fs::path& root) {
  std::map<std::string, fs::path> items;  // generic relative name -> path
  for (auto it = fs::recursive_directory_iterator(root);
       it != fs::recursive_directory_iterator(); ++it) {
    items[fs::relative(it->path(), root).generic_u8string()] = it->path();
  }
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
  PackageWriter(const fs::path& path, const std::vector<uint8_t>& stub)
      : path_(path), stub_(stub.size()) {
    out_.open(path, std::ios::binary | std::ios::trunc | std::ios::in |
                        std::ios::out);
    if (!out_) throw ProducerError("cannot write " + path.u8string());
    Write(stub.data(), stub.size());
    out_.flush();  // the stub's headers are read back from the file
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
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ProducerError("cannot read " + path.u8string());
    std::vector<char> buffer(kChunk);
    while (in) {
      in.read(buffer.data(), kChunk);
      auto got = static_cast<size_t>(in.gcount());
      hash->Update(buffer.data(), static_cast<uint32_t>(got));
      Write(buffer.data(), got);
    }
    if (!in.eof()) throw ProducerError("cannot read " + path.u8string());
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
  Kind oldKind = KindOf(oldRoot), newKind = KindOf(newRoot);
  if (oldKind == Kind::kMissing)
    throw ProducerError("no such file or folder: " + oldRoot.u8string());
  if (newKind == Kind::kMissing)
    throw ProducerError("no such file or folder: " + newRoot.u8string());
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
    if (is == Kind::kOther)
      throw ProducerError("not a regular file: " + item.second.u8string());
    std::string name = PackageName(fs::u8path(item.first));
    if (is == Kind::kFolder) {
      if (was == Kind::kFile)
        throw ProducerError("a file becomes a folder: " + item.first);
      if (was == Kind::kMissing)
        plan.entries.push_back({EntryKindDirectory, name, {}, item.second});
    } else if (was == Kind::kFolder) {
      throw ProducerError("a folder becomes a file: " + item.first);
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
  // The stub must be a PE image with nothing after it, or the applier would
  // look for its package in the wrong place.
  uint32_t imageEnd = 0;
  WString widePath;
  for (char16_t c : temporary.path().u16string())
    widePath += static_cast<WCHAR>(c);
  if (!ComputeImageEnd(widePath.c_str(), &imageEnd)) {
    throw ProducerError("the applier stub is not a valid PE executable");
  }
  if (imageEnd != stub.size()) {
    throw ProducerError(
        "the applier stub has " +
        std::to_string(static_cast<int64_t>(stub.size()) - imageEnd) +
        " bytes after its image; use an unsigned, stripped stub");
  }
  writer.ReserveTable(plan);

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
