#include "test_support.h"

#include <LzmaEnc.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "apply/delta_decoder.h"
#include "apply/zstd_frame.h"
#include "package/compact_table.h"
#include "package/image_end.h"
#include "package/sha256.h"

namespace testing_support {

namespace fs = std::filesystem;

Bytes ToBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes Sha256(const Bytes& data) {
  CHashSHA256 hash;
  hash.Update(data.data(), static_cast<uint32_t>(data.size()));
  hash.Final();
  Bytes digest(32);
  hash.GetDigest(digest.data());
  return digest;
}

Bytes RandomBytes(std::mt19937& random, size_t size) {
  Bytes data(size);
  for (uint8_t& b : data) b = static_cast<uint8_t>(random());
  return data;
}

WString Wide(const fs::path& path) { return Wide(path.u16string().c_str()); }

WString Wide(const char16_t* text) {
  return WString(text, text + std::char_traits<char16_t>::length(text));
}

void BitWriter::WriteBits(uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    if (bitsInLast_ == 8) {
      bytes_.push_back(0);
      bitsInLast_ = 0;
    }
    if ((value >> i) & 1)
      bytes_.back() |= static_cast<uint8_t>(0x80 >> bitsInLast_);
    ++bitsInLast_;
  }
}

void BitWriter::WriteLength(uint32_t length) {
  uint64_t base = 0;
  int ones = 0;
  // Class k holds base(k) .. base(k) + 16^(k+1) - 1.
  while (length - base >= (uint64_t{1} << (4 * (ones + 1)))) {
    base += uint64_t{1} << (4 * (ones + 1));
    ++ones;
  }
  for (int i = 0; i < ones; ++i) WriteBits(1, 1);
  WriteBits(0, 1);
  uint64_t payload = length - base;
  for (int group = ones; group >= 0; --group) {
    WriteBits(static_cast<uint32_t>((payload >> (4 * group)) & 0xF), 4);
  }
}

Bytes BitWriter::Finish() {
  WriteBits(3, 2);
  WriteLength(0);
  return bytes_;
}

Bytes EncodeInstructions(const std::vector<Instruction>& instructions) {
  BitWriter writer;
  for (const Instruction& instruction : instructions) {
    writer.WriteBits(instruction.op, 2);
    writer.WriteLength(instruction.length);
  }
  return writer.Finish();
}

Bytes EncodeSeekingInstructions(const std::vector<Instruction>& instructions) {
  BitWriter writer;
  for (const Instruction& instruction : instructions) {
    writer.WriteBits(instruction.op, 2);
    if (instruction.op == 2) writer.WriteBits(instruction.back, 1);
    writer.WriteLength(instruction.length);
  }
  return writer.Finish();
}

Bytes EncodeGroupedInstructions(const std::vector<Instruction>& instructions) {
  const uint32_t count = static_cast<uint32_t>(instructions.size());
  Bytes out(4);
  std::memcpy(out.data(), &count, 4);
  for (const Instruction& instruction : instructions)
    out.push_back(static_cast<uint8_t>(instruction.back ? 4 : instruction.op));
  for (uint32_t group = 0; group < 4; ++group) {
    for (const Instruction& instruction : instructions) {
      if (instruction.op != group) continue;
      uint32_t value = instruction.length;
      for (; value >= 0x80; value >>= 7)
        out.push_back(static_cast<uint8_t>(value | 0x80));
      out.push_back(static_cast<uint8_t>(value));
    }
  }
  return out;
}

namespace {

std::vector<Instruction> SimpleDiff(const Bytes& old, const Bytes& target,
                                    Bytes* literal) {
  size_t prefix = 0;
  while (prefix < old.size() && prefix < target.size() &&
         old[prefix] == target[prefix]) {
    ++prefix;
  }
  size_t suffix = 0;
  while (suffix < old.size() - prefix && suffix < target.size() - prefix &&
         old[old.size() - 1 - suffix] == target[target.size() - 1 - suffix]) {
    ++suffix;
  }
  size_t oldMiddle = old.size() - prefix - suffix;
  size_t newMiddle = target.size() - prefix - suffix;
  size_t replaced = std::min(oldMiddle, newMiddle);
  std::vector<Instruction> out;
  auto add = [&out](uint32_t op, size_t length) {
    if (length > 0) out.push_back({op, static_cast<uint32_t>(length)});
  };
  add(0, prefix);
  add(3, replaced);
  add(2, oldMiddle - replaced);
  add(1, newMiddle - replaced);
  add(0, suffix);
  literal->assign(target.begin() + static_cast<long>(prefix),
                  target.begin() + static_cast<long>(prefix + newMiddle));
  return out;
}

}  // namespace

TestEntry PatchEntry(const std::string& name, const Bytes& old,
                     const Bytes& target) {
  TestEntry entry{name,
                  {},
                  EntryKindPatch,
                  old.size(),
                  target.size(),
                  Sha256(old),
                  Sha256(target),
                  {},
                  {}};
  entry.instructions =
      EncodeInstructions(SimpleDiff(old, target, &entry.literal));
  return entry;
}

TestEntry AddEntry(const std::string& name, const Bytes& content) {
  return TestEntry{name,           {},        EntryKindAdd,    0,
                   content.size(), Bytes(32), Sha256(content), {},
                   content};
}

TestEntry SourcedEntry(const std::string& name, const std::string& source,
                       const Bytes& old, const Bytes& target) {
  TestEntry entry = PatchEntry(name, old, target);
  entry.source = source;
  entry.kind |= EntryOptionSource;
  return entry;
}

TestEntry RemoveEntry(const std::string& name, const Bytes& old) {
  return TestEntry{
      name, {}, EntryKindRemove, old.size(), 0, Sha256(old), Bytes(32), {}, {}};
}

TestEntry RemoveDirectoryEntry(const std::string& name) {
  TestEntry entry = DirectoryEntry(name);
  entry.kind = EntryKindRemoveDirectory;
  return entry;
}

Bytes CompressedStream(const Bytes& data) {
  static const uint8_t kNothing = 0;
  CLzmaEncProps properties;
  LzmaEncProps_Init(&properties);
  properties.level = 1;
  properties.dictSize = 1 << 12;
  properties.numThreads = 1;
  ISzAlloc allocator = {[](void*, size_t size) { return std::malloc(size); },
                        [](void*, void* block) { std::free(block); }};
  Bytes block(LZMA_PROPS_SIZE + data.size() + data.size() / 64 + 64);
  SizeT written = block.size() - LZMA_PROPS_SIZE, header = LZMA_PROPS_SIZE;
  SRes result = LzmaEncode(block.data() + LZMA_PROPS_SIZE, &written,
                           data.empty() ? &kNothing : data.data(), data.size(),
                           &properties, block.data(), &header, 1, nullptr,
                           &allocator, &allocator);
  if (result != SZ_OK) std::abort();
  block.resize(LZMA_PROPS_SIZE + written);
  return block;
}

Bytes ZstdFrameOf(const Bytes& data, int level, int windowLog) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0);
  if (windowLog != 0)
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
  Bytes frame(ZSTD_compressBound(data.size()));
  const size_t size = ZSTD_compress2(context, frame.data(), frame.size(),
                                     data.data(), data.size());
  ZSTD_freeCCtx(context);
  if (ZSTD_isError(size)) std::abort();
  frame.resize(size);
  return frame;
}

bool DecodeZstd(const uint8_t* frame, size_t size, Bytes* out,
                int maxWindowLog) {
  ZstdFrame decoder;
  if (size < ZstdFrame::kHeaderStart) return false;
  const uint32_t header = ZstdFrame::HeaderSize(frame);
  if (header == 0 || header > size ||
      !decoder.Begin(frame, header, maxWindowLog, UINT64_MAX)) {
    return false;
  }
  size_t at = header;
  while (!decoder.Ended()) {
    uint32_t content = 0;
    if (size - at < ZstdFrame::kBlockHeader ||
        !decoder.BlockHeader(frame + at, &content) ||
        size - at - ZstdFrame::kBlockHeader < content) {
      return false;
    }
    at += ZstdFrame::kBlockHeader;
    // The block on its own, as the applier holds it (one byte at least,
    // for a pointer to pass): a read past it is one past the allocation.
    Bytes block(std::max<size_t>(content, 1));
    if (content > 0) std::memcpy(block.data(), frame + at, content);
    if (!decoder.Block(block.data(), content)) return false;
    at += content;
    out->insert(out->end(), decoder.Pending(),
                decoder.Pending() + decoder.PendingSize());
    decoder.Take(decoder.PendingSize());
  }
  return at == size;
}

TestEntry Compressed(TestEntry entry) {
  const uint8_t kind = entry.kind & 0xFF;
  if (kind != EntryKindPatch && kind != EntryKindAdd) return entry;
  if (kind == EntryKindPatch) {
    Bytes block(4);
    uint32_t count = static_cast<uint32_t>(entry.instructions.size());
    std::memcpy(block.data(), &count, 4);
    Bytes stream = CompressedStream(entry.instructions);
    block.insert(block.end(), stream.begin(), stream.end());
    entry.instructions = block;
  }
  entry.literal = CompressedStream(entry.literal);
  return entry;
}

TestEntry DirectoryEntry(const std::string& name) {
  return TestEntry{name, {}, EntryKindDirectory, 0, 0, Bytes(32), Bytes(32),
                   {},   {}};
}

namespace {

template <typename T>
void Put(Bytes* out, size_t offset, const T& value) {
  std::memcpy(out->data() + offset, &value, sizeof value);
}

}  // namespace

Bytes SeekingBlock(const Bytes& parameters, const Bytes& instructions,
                   const Bytes& differences) {
  Bytes block(8);
  Put(&block, 0, static_cast<uint32_t>(parameters.size()));
  Put(&block, 4, static_cast<uint32_t>(instructions.size()));
  for (const Bytes* part : {&parameters, &instructions, &differences})
    block.insert(block.end(), part->begin(), part->end());
  return block;
}

Bytes BuildPackage(const std::vector<TestEntry>& entries, uint32_t flags) {
  // Each name with its NUL, then a source with its own.
  auto names = [](const TestEntry& entry) {
    std::string bytes = entry.name + '\0';
    if (!entry.source.empty()) bytes += entry.source + '\0';
    return bytes;
  };
  // The specified form's records follow its header; compact ones follow
  // the blocks.
  const bool compact = (flags & PackageFlagCompactTable) != 0;
  size_t tableEnd = compact ? kCompactHeaderSize : kPackageHeaderSize;
  for (const TestEntry& entry : entries) {
    if (!compact) tableEnd += kPackageEntrySize + names(entry).size();
  }
  Bytes package(tableEnd), compactTable;
  size_t record = kPackageHeaderSize;
  for (const TestEntry& entry : entries) {
    const std::string bytes = names(entry);
    PackageEntry out{};
    out.nameLength = static_cast<uint32_t>(bytes.size());
    out.kind = entry.kind;
    out.oldSize = entry.oldSize;
    out.newSize = entry.newSize;
    out.instructionOffset = package.size();
    out.instructionSize = entry.instructions.size();
    package.insert(package.end(), entry.instructions.begin(),
                   entry.instructions.end());
    out.literalOffset = package.size();
    out.literalSize = entry.literal.size();
    package.insert(package.end(), entry.literal.begin(), entry.literal.end());
    std::memcpy(out.oldDigest, entry.oldDigest.data(), 32);
    std::memcpy(out.newDigest, entry.newDigest.data(), 32);
    if (compact) {
      AppendCompactRecord(&compactTable, out, bytes);
      continue;
    }
    Put(&package, record, out);
    std::memcpy(package.data() + record + kPackageEntrySize, bytes.data(),
                bytes.size());
    record += kPackageEntrySize + bytes.size();
  }
  const uint64_t tableOffset = package.size();
  package.insert(package.end(), compactTable.begin(), compactTable.end());
  PackageHeader header{};
  std::memcpy(header.magic, kPackageMagic, 8);
  header.entryCount = static_cast<uint32_t>(entries.size());
  header.flags = flags;
  header.packageSize = package.size();
  header.reserved = kPackageReservedValue;
  if (compact) {
    Put(&package, 0, CompactHeaderOf(header, tableOffset));
  } else {
    Put(&package, 0, header);
  }
  Seal(&package);
  return package;
}

void Seal(Bytes* package) {
  uint32_t flags = 0;
  std::memcpy(&flags, package->data() + offsetof(PackageHeader, flags), 4);
  const bool compact = (flags & PackageFlagCompactTable) != 0;
  const size_t headerSize = compact ? kCompactHeaderSize : kPackageHeaderSize;
  // The compact form's digest covers its header's fields too.
  const size_t covered = compact ? offsetof(CompactHeader, packageDigest) : 0;
  Bytes body(covered + package->size() - headerSize);
  std::copy(package->begin(), package->begin() + covered, body.begin());
  std::copy(package->begin() + headerSize, package->end(),
            body.begin() + covered);
  Bytes digest = Sha256(body);
  std::memcpy(
      package->data() + (compact ? offsetof(CompactHeader, packageDigest)
                                 : offsetof(PackageHeader, packageDigest)),
      digest.data(), 32);
}

Bytes MakePeImage(bool pe32Plus, const std::vector<uint32_t>& sectionSizes) {
  const uint32_t ntOffset = 0x80;
  const uint32_t ntSize = pe32Plus ? 264 : 248;
  const uint32_t headersSize = 0x200;
  Bytes image(headersSize);
  std::memcpy(image.data(), "MZ", 2);
  Put(&image, 60, ntOffset);
  std::memcpy(image.data() + ntOffset, "PE\0\0", 4);
  Put(&image, ntOffset + 4, static_cast<uint16_t>(pe32Plus ? 0x8664 : 0x14C));
  Put(&image, ntOffset + 6, static_cast<uint16_t>(sectionSizes.size()));
  Put(&image, ntOffset + 20, static_cast<uint16_t>(ntSize - 24));
  Put(&image, ntOffset + 24, static_cast<uint16_t>(pe32Plus ? 0x20B : 0x10B));
  Put(&image, ntOffset + 24 + 60, headersSize);
  uint32_t section = ntOffset + ntSize;
  uint32_t raw = headersSize;
  for (uint32_t size : sectionSizes) {
    Put(&image, section + 16, size);  // SizeOfRawData
    Put(&image, section + 20, raw);   // PointerToRawData
    section += 40;
    raw += size;
  }
  image.resize(raw, 0xCC);
  return image;
}

Bytes BaseExecutable() {
  static const Bytes base = [] {
    // Windows maps the module, so it must be a real program: this one, cut
    // at its image end. The stand-in only reads the file.
    WCHAR own[4096];
    GetModuleFileNameW(nullptr, own, 4096);
    uint32_t imageEnd = 0;
    Bytes image = ReadAll(fs::path(WString(own)));
    if (image.size() < 2 || image[0] != 'M' || image[1] != 'Z' ||
        !ComputeImageEnd(own, &imageEnd)) {
      return MakePeImage(false, {0x400, 0x200});
    }
    image.resize(imageEnd);
    return image;
  }();
  return base;
}

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  std::random_device seed;
  fs::path base = fs::temp_directory_path();
  do {
    path_ = base / ("selfpatch-test-" + std::to_string(seed()) + "-" +
                    std::to_string(counter++));
  } while (!fs::create_directory(path_));
  path_ = fs::canonical(path_);
}

ScratchDir::~ScratchDir() {
  ClearFolder(path_);
  std::error_code error;
  fs::remove_all(path_, error);
}

fs::path ScratchDir::operator/(const std::string& name) const {
  return path_ / fs::u8path(name);
}

bool DecodeWithFiles(const ScratchDir& dir, const Bytes& instructions,
                     const Bytes& old, const Bytes& literal, Bytes* out,
                     uint64_t consumed[2], const Bytes* differences,
                     bool grouped, uint64_t newSize) {
  WriteAll(dir / "old", old);
  WriteAll(dir / "literal", literal);
  WriteAll(dir / "differences", differences ? *differences : Bytes());
  auto open = [&](const char* name, DWORD access, DWORD disposition) {
    return CreateFileW(Wide(dir / name).c_str(), access, FILE_SHARE_READ,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  SharedArray<uint8_t> block;
  block.Allocate(static_cast<int32_t>(instructions.size()));
  std::copy(instructions.begin(), instructions.end(), block.data);
  HANDLE oldFile = open("old", GENERIC_READ, OPEN_EXISTING);
  CFileReadData literalStream(&::ReadFile,
                              open("literal", GENERIC_READ, OPEN_EXISTING), 0,
                              literal.size());
  CFileReadData differenceStream(
      &::ReadFile, open("differences", GENERIC_READ, OPEN_EXISTING), 0,
      differences ? differences->size() : 0);
  CFileWriteData output(open("out", GENERIC_WRITE, CREATE_ALWAYS));
  bool ended;
  if (differences) {
    COldFileReader oldReader(oldFile, nullptr);
    CBitSteps bits(block);
    CGroupedSteps fields(block);
    ended = DeltaDecoder::DecodeSeeking(
        oldReader, output, grouped ? static_cast<ISeekingSteps&>(fields) : bits,
        literalStream, differenceStream, newSize);
    if (consumed != nullptr) consumed[0] = differenceStream.consumed;
  } else {
    CFileReadData oldStream(oldFile);
    BitReader reader(block);
    ended = DeltaDecoder::Decode(oldStream, output, reader, literalStream);
    if (consumed != nullptr) consumed[0] = oldStream.consumed;
  }
  output.Flush();
  if (consumed != nullptr) consumed[1] = literalStream.consumed;
  for (HANDLE file : {oldFile, literalStream.handle, differenceStream.handle,
                      output.handle}) {
    CloseHandle(file);
  }
  *out = ReadAll(dir / "out");
  return ended;
}

void ClearFolder(const fs::path& folder) {
  std::error_code error;
  // Read-only files must become writable before Windows lets them go.
  for (auto it = fs::recursive_directory_iterator(folder, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_write,
                    fs::perm_options::add | fs::perm_options::nofollow, error);
  }
  for (const auto& item : fs::directory_iterator(folder, error)) {
    fs::remove_all(item.path(), error);
  }
}

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in),
               std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()),
            static_cast<std::streamsize>(data.size()));
}

std::vector<std::pair<std::string, Bytes>> Snapshot(const fs::path& root) {
  std::vector<std::pair<std::string, Bytes>> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(item.path(), root).generic_u8string();
    const bool folder = item.is_directory();
    files.emplace_back(folder ? name + "/" : name,
                       folder ? Bytes() : ReadAll(item.path()));
  }
  std::sort(files.begin(), files.end());
  return files;
}

CurrentDirectory::CurrentDirectory(const fs::path& path)
    : previous_(fs::current_path()) {
  SetCurrentDirectoryW(Wide(path).c_str());
}

CurrentDirectory::~CurrentDirectory() {
  SetCurrentDirectoryW(Wide(previous_).c_str());
}

}  // namespace testing_support
