#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>

#include "apply/delta_decoder.h"
#include "package/sha256.h"
#include "platform_support.h"

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

WString Wide(const fs::path& path) {
  std::u16string text = path.u16string();
  return WString(text.begin(), text.end());
}

WString Wide(const char16_t* text) {
  std::u16string value(text);
  return WString(value.begin(), value.end());
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

void BitWriter::WriteInstruction(uint32_t op, uint32_t length) {
  WriteBits(op, 2);
  WriteLength(length);
}

Bytes BitWriter::Finish() {
  WriteInstruction(3, 0);
  return bytes_;
}

Bytes EncodeInstructions(const std::vector<Instruction>& instructions) {
  BitWriter writer;
  for (const Instruction& instruction : instructions) {
    writer.WriteInstruction(instruction.op, instruction.length);
  }
  return writer.Finish();
}

Bytes ApplyInstructions(const std::vector<Instruction>& instructions,
                        const Bytes& old, const Bytes& literal) {
  Bytes out;
  size_t o = 0, l = 0;
  for (const Instruction& instruction : instructions) {
    for (uint32_t i = 0; i < instruction.length; ++i) {
      switch (instruction.op) {
        case 0:
          out.push_back(old.at(o++));
          break;
        case 1:
          out.push_back(literal.at(l++));
          break;
        case 2:
          ++o;
          break;
        default:
          ++o;
          out.push_back(literal.at(l++));
          break;
      }
    }
  }
  return out;
}

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

TestEntry PatchEntry(const std::string& name, const Bytes& old,
                     const Bytes& target) {
  TestEntry entry;
  entry.name = name;
  entry.kind = EntryKindPatch;
  entry.oldSize = old.size();
  entry.newSize = target.size();
  entry.oldDigest = Sha256(old);
  entry.newDigest = Sha256(target);
  entry.instructions =
      EncodeInstructions(SimpleDiff(old, target, &entry.literal));
  return entry;
}

TestEntry AddEntry(const std::string& name, const Bytes& content) {
  TestEntry entry;
  entry.name = name;
  entry.kind = EntryKindAdd;
  entry.newSize = content.size();
  entry.newDigest = Sha256(content);
  entry.literal = content;
  return entry;
}

Bytes StoredStream(const Bytes& data) {
  // Magic; no content size, checksum or dictionary; window 2^(10 + 7).
  Bytes block = {0x28, 0xB5, 0x2F, 0xFD, 0x00, 7 << 3};
  size_t at = 0;
  do {
    size_t size = std::min<size_t>(65536, data.size() - at);
    // Bit 0: last block; bits 1-2: type 0, raw; bits 3-23: size.
    uint32_t header =
        static_cast<uint32_t>(size << 3) | (at + size == data.size() ? 1 : 0);
    for (int i = 0; i < 3; ++i)
      block.push_back(static_cast<uint8_t>(header >> (8 * i)));
    block.insert(block.end(), data.begin() + static_cast<long>(at),
                 data.begin() + static_cast<long>(at + size));
    at += size;
  } while (at < data.size());
  return block;
}

TestEntry Compressed(TestEntry entry) {
  if (entry.kind == EntryKindDirectory) return entry;
  if (entry.kind == EntryKindPatch) {
    Bytes block(4);
    uint32_t count = static_cast<uint32_t>(entry.instructions.size());
    std::memcpy(block.data(), &count, 4);
    Bytes stream = StoredStream(entry.instructions);
    block.insert(block.end(), stream.begin(), stream.end());
    entry.instructions = block;
  }
  entry.literal = StoredStream(entry.literal);
  return entry;
}

TestEntry DirectoryEntry(const std::string& name) {
  TestEntry entry;
  entry.name = name;
  entry.kind = EntryKindDirectory;
  return entry;
}

namespace {

template <typename T>
void Put(Bytes* out, size_t offset, const T& value) {
  std::memcpy(out->data() + offset, &value, sizeof value);
}

}  // namespace

Bytes BuildPackage(const std::vector<TestEntry>& entries, uint32_t flags) {
  size_t tableEnd = kPackageHeaderSize;
  for (const TestEntry& entry : entries) {
    tableEnd += kPackageEntrySize + entry.name.size() + 1;
  }
  Bytes package(tableEnd);
  size_t record = kPackageHeaderSize;
  for (const TestEntry& entry : entries) {
    PackageEntry out;
    std::memset(&out, 0, sizeof out);
    out.nameLength = static_cast<uint32_t>(entry.name.size() + 1);
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
    Put(&package, record, out);
    std::memcpy(package.data() + record + kPackageEntrySize, entry.name.c_str(),
                entry.name.size() + 1);
    record += kPackageEntrySize + entry.name.size() + 1;
  }
  PackageHeader header;
  std::memset(&header, 0, sizeof header);
  std::memcpy(header.magic, kPackageMagic, 8);
  header.entryCount = static_cast<uint32_t>(entries.size());
  header.flags = flags;
  header.packageSize = package.size();
  header.reserved = kPackageReservedValue;
  Put(&package, 0, header);
  Seal(&package);
  return package;
}

void Seal(Bytes* package) {
  Bytes body(package->begin() + kPackageHeaderSize, package->end());
  Bytes digest = Sha256(body);
  std::memcpy(package->data() + offsetof(PackageHeader, packageDigest),
              digest.data(), 32);
}

Bytes MakePeImage(bool pe32Plus, const std::vector<uint32_t>& sectionSizes) {
  const uint32_t ntOffset = 0x80;
  const uint32_t ntSize = pe32Plus ? 264 : 248;
  const uint32_t headersSize = 0x200;
  Bytes image(headersSize);
  image[0] = 'M';
  image[1] = 'Z';
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

uint32_t ImageEndOf(const Bytes& executable) {
  uint32_t ntOffset;
  std::memcpy(&ntOffset, executable.data() + 60, 4);
  uint16_t sections, magic;
  std::memcpy(&sections, executable.data() + ntOffset + 6, 2);
  std::memcpy(&magic, executable.data() + ntOffset + 24, 2);
  uint32_t end;
  std::memcpy(&end, executable.data() + ntOffset + 24 + 60, 4);
  uint32_t table = ntOffset + (magic == 0x20B ? 264 : 248);
  for (uint32_t i = 0; i < sections; ++i) {
    uint32_t raw;
    std::memcpy(&raw, executable.data() + table + 40 * i + 16, 4);
    end += raw;
  }
  return end;
}

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  std::random_device seed;
  fs::path base = fs::temp_directory_path();
  for (;;) {
    path_ = base / ("selfpatch-test-" + std::to_string(seed()) + "-" +
                    std::to_string(counter++));
    if (fs::create_directory(path_)) break;
  }
  path_ = fs::canonical(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code error;
  // Read-only files must become writable before Windows lets them go.
  for (auto it = fs::recursive_directory_iterator(path_, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add,
                    error);
  }
  fs::remove_all(path_, error);
}

fs::path ScratchDir::operator/(const std::string& name) const {
  return path_ / fs::u8path(name);
}

bool DecodeWithFiles(const ScratchDir& dir, const Bytes& instructions,
                     const Bytes& old, const Bytes& literal, Bytes* out,
                     uint64_t consumed[2]) {
  WriteAll(dir / "old", old);
  WriteAll(dir / "literal", literal);
  auto open = [&](const char* name, DWORD access, DWORD disposition) {
    return CreateFileW(Wide(dir / name).c_str(), access, FILE_SHARE_READ,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE oldFile = open("old", GENERIC_READ, OPEN_EXISTING);
  HANDLE literalFile = open("literal", GENERIC_READ, OPEN_EXISTING);
  HANDLE outFile = open("out", GENERIC_WRITE, CREATE_ALWAYS);
  bool ended;
  {
    SharedArray<uint8_t> block;
    block.Allocate(static_cast<int32_t>(instructions.size()));
    std::copy(instructions.begin(), instructions.end(), block.data);
    BitReader reader(block);
    CFileReadData oldStream(oldFile);
    CFileReadData literalStream(&::ReadFile, literalFile, literal.size());
    CFileWriteData output(outFile);
    ended = DeltaDecoder::Decode(oldStream, output, reader, literalStream);
    output.Flush();
    if (consumed != nullptr) {
      consumed[0] = oldStream.consumed;
      consumed[1] = literalStream.consumed;
    }
  }
  CloseHandle(oldFile);
  CloseHandle(literalFile);
  CloseHandle(outFile);
  *out = ReadAll(dir / "out");
  return ended;
}

void ClearFolder(const fs::path& folder) {
  for (const auto& item : fs::directory_iterator(folder)) {
    fs::permissions(item.path(), fs::perms::owner_write, fs::perm_options::add);
    fs::remove_all(item.path());
  }
}

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
  if (size < 0) return Bytes();
  Bytes data(static_cast<size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()),
          static_cast<std::streamsize>(data.size()));
  data.resize(static_cast<size_t>(in.gcount()));
  return data;
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
    if (item.is_directory()) {
      files.emplace_back(name + "/", Bytes());
    } else {
      files.emplace_back(name, ReadAll(item.path()));
    }
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
