// selfpatch info PATCH.exe [--json]: the applier and the entries a patch
// carries.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "apply/code_transform.h"
#include "cli/common.h"
#include "cli/embedded_stubs.h"
#include "package/image_end.h"

namespace fs = std::filesystem;

namespace {

// The applier a patch carries, from its PE headers.
struct Applier {
  std::string machine = "unknown";    // "x86", "x64"
  std::string form = "unknown";       // "PE32", "PE32+"
  std::string subsystem = "unknown";  // "gui", "console"
  uint32_t size = 0;
  bool builtIn = false;  // the very applier this selfpatch embeds
  // The Authenticode certificate table (the security directory), when the
  // patch is signed: its file offset and size.
  uint32_t signatureOffset = 0, signatureSize = 0;
};

// Where the security directory entry lies in the optional header, and the
// checksum before it: the fields signing changes in the headers.
constexpr size_t kChecksumOffset = 64;
size_t SecurityEntryOffset(uint16_t magic) {
  return magic == kOptionalMagic64 ? 144 : 128;
}

Applier ReadApplier(const fs::path& patch, uint32_t imageEnd) {
  Applier applier;
  applier.size = imageEnd;
  ImageDosHeader dos;
  ImageNtHeaders nt;
  HANDLE file = OpenImageHeaders(Wide(fs::absolute(patch)).c_str(), &dos, &nt);
  if (file == INVALID_HANDLE_VALUE) return applier;
  CloseHandle(file);
  uint16_t machine = nt.FileHeader.Machine;
  applier.machine = machine == 0x14C    ? "x86"
                    : machine == 0x8664 ? "x64"
                                        : "machine " + std::to_string(machine);
  uint16_t magic = OptionalHeaderMagic(nt);
  applier.form = magic == kOptionalMagic32   ? "PE32"
                 : magic == kOptionalMagic64 ? "PE32+"
                                             : "unknown";
  uint16_t subsystem = 0;
  std::memcpy(&subsystem, nt.optional + 68, sizeof subsystem);
  applier.subsystem = subsystem == 2   ? "gui"
                      : subsystem == 3 ? "console"
                                       : std::to_string(subsystem);
  const size_t security = SecurityEntryOffset(magic);
  uint32_t directories = 0;
  std::memcpy(&directories, nt.optional + security - 36, sizeof directories);
  if (directories > 4) {
    std::memcpy(&applier.signatureOffset, nt.optional + security, 4);
    std::memcpy(&applier.signatureSize, nt.optional + security + 4, 4);
  }
  std::ifstream in(patch, std::ios::binary);
  std::vector<unsigned char> image(imageEnd);
  if (in.read(reinterpret_cast<char*>(image.data()), imageEnd)) {
    // Signing changes the checksum and the security directory entry only.
    size_t optional = static_cast<size_t>(dos.e_lfanew) + 24;
    auto same = [&](const unsigned char* bytes, size_t size) {
      if (size != imageEnd) return false;
      std::vector<unsigned char> mine(image);
      for (size_t at : {optional + kChecksumOffset, optional + security,
                        optional + security + 4}) {
        if (at + 4 <= size) std::memcpy(&mine[at], bytes + at, 4);
      }
      return std::memcmp(bytes, mine.data(), size) == 0;
    };
    applier.builtIn =
        same(kStubX86, kStubX86Size) || same(kStubX64, kStubX64Size);
  }
  return applier;
}

std::string Hex(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// What a patched entry's blocks use: "shared literal" when its literal
// bytes are in a stream it shares; nothing else for the original form;
// "seeking", "near-copies" when its differences are not empty, "grouped
// instructions" when they are coded by field, the code its transform
// reads, and "zstd" when its streams are Zstandard frames.
std::vector<std::string> Features(const fs::path& patch,
                                  const PackageLoader& loader,
                                  const PackageEntry& entry) {
  std::vector<std::string> features;
  if ((loader.header.flags & PackageFlagEntryOptions) == 0) return features;
  if ((entry.kind & EntryOptionSharedLiteral) != 0)
    features.push_back("shared literal");
  if ((entry.kind & EntryOptionSeeking) == 0) return features;
  features.push_back("seeking");
  std::ifstream in(patch, std::ios::binary);
  uint32_t sizes[2] = {0, 0};
  in.seekg(static_cast<std::streamoff>(loader.packageOffset +
                                       entry.instructionOffset));
  if (in.read(reinterpret_cast<char*>(sizes), sizeof sizes) &&
      uint64_t{sizes[0]} + sizes[1] + 8 < entry.instructionSize) {
    features.push_back("near-copies");
  }
  if ((entry.kind & EntryOptionGrouped) != 0)
    features.push_back("grouped instructions");
  switch ((entry.kind & kEntryTransformMask) >> kEntryTransformShift) {
    case kTransformX86:
      features.push_back("x86 code");
      break;
    case kTransformX64:
      features.push_back("x64 code");
      break;
  }
  if ((entry.kind & EntryOptionZstd) != 0) features.push_back("zstd");
  return features;
}

void PrintJson(const nlohmann::ordered_json& value) {
  std::printf(
      "%s\n",
      value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
          .c_str());
}

int Info(const std::string& patchPath, bool json) {
  fs::path patch = fs::u8path(patchPath);
  PackageLoader loader(nullptr);
  ResultCode result = LoadPatch(patch, &loader);
  if (result != ResultSuccess) {
    if (json) {
      PrintJson({{"error", {{"code", result}, {"message", Describe(result)}}}});
    }
    return static_cast<int>(result);
  }
  const PackageHeader& header = loader.header;
  Applier applier =
      ReadApplier(patch, static_cast<uint32_t>(loader.packageOffset));
  // A certificate table after the package: the signature covers the
  // package, as every byte before the table (but the checksum and the
  // table's own directory entry).
  const bool isSigned =
      applier.signatureSize > 0 &&
      applier.signatureOffset >= loader.packageOffset + header.packageSize;
  if (json) {
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    for (const LoadedEntry& entry : loader.entries) {
      uint8_t kind = entry.kind;
      nlohmann::ordered_json item = {{"kind", Kind(kind)},
                                     {"name", Utf8(entry.name.c_str())}};
      if (!entry.source.empty()) item["source"] = Utf8(entry.source.c_str());
      if (kind == EntryKindPatch || kind == EntryKindRemove) {
        item["oldSize"] = entry.record.oldSize;
        item["oldDigest"] = Hex(entry.record.oldDigest, 32);
      }
      if (kind == EntryKindPatch)
        item["features"] = Features(patch, loader, entry.record);
      if (kind == EntryKindPatch || kind == EntryKindAdd) {
        item["newSize"] = entry.record.newSize;
        item["newDigest"] = Hex(entry.record.newDigest, 32);
        item["dataBytes"] =
            entry.record.instructionSize + entry.record.literalSize;
      }
      entries.push_back(item);
    }
    PrintJson(
        {{"applier",
          {{"machine", applier.machine},
           {"form", applier.form},
           {"subsystem", applier.subsystem},
           {"size", applier.size},
           {"builtIn", applier.builtIn}}},
         {"signature",
          isSigned ? nlohmann::ordered_json{{"kind", "authenticode"},
                                            {"size", applier.signatureSize}}
                   : nlohmann::ordered_json()},
         {"packageSize", header.packageSize},
         {"packageDigest", Hex(header.packageDigest, 32)},
         {"flags",
          {{"backup", (header.flags & PackageFlagBackup) != 0},
           {"keepTimes", (header.flags & PackageFlagKeepTimes) != 0},
           {"compressed", (header.flags & PackageFlagCompressed) != 0},
           {"removals", (header.flags & PackageFlagRemovals) != 0},
           {"compactTable", (header.flags & PackageFlagCompactTable) != 0}}},
         {"entries", entries}});
    return 0;
  }
  std::printf("applier: %s, %s %s, %u bytes%s\n", applier.machine.c_str(),
              applier.form.c_str(), applier.subsystem.c_str(), applier.size,
              applier.builtIn ? " (the one this selfpatch carries)" : "");
  if (isSigned) {
    std::printf(
        "signature: Authenticode, %u bytes of certificates after the "
        "package\n",
        applier.signatureSize);
  } else {
    std::printf("signature: none\n");
  }
  std::printf("%-6s %12s %12s  %s\n", "kind", "old size", "new size", "name");
  for (const LoadedEntry& entry : loader.entries) {
    std::string name = Utf8(entry.name.c_str());
    if (!entry.source.empty())
      name += " (from " + Utf8(entry.source.c_str()) + ")";
    std::string features;
    if (entry.kind == EntryKindPatch) {
      for (const std::string& feature : Features(patch, loader, entry.record)) {
        features += (features.empty() ? "  (" : ", ") + feature;
      }
      if (!features.empty()) features += ")";
    }
    std::printf("%-6s %12llu %12llu  %s%s\n", Kind(entry.kind).c_str(),
                static_cast<unsigned long long>(entry.record.oldSize),
                static_cast<unsigned long long>(entry.record.newSize),
                name.c_str(), features.c_str());
  }
  std::printf("%s, package %llu bytes%s%s\n",
              Plural(loader.entries.size(), "entry", "entries").c_str(),
              static_cast<unsigned long long>(header.packageSize),
              header.flags & PackageFlagBackup ? ", keeps .bak backups" : "",
              header.flags & PackageFlagKeepTimes ? ", keeps file times" : "");
  const bool zstd =
      (header.flags & PackageFlagEntryOptions) != 0 &&
      std::any_of(loader.entries.begin(), loader.entries.end(),
                  [](const LoadedEntry& entry) {
                    return entry.kind == EntryKindPatch &&
                           (entry.record.kind & EntryOptionZstd) != 0;
                  });
  std::printf("data blocks: %s\n", (header.flags & PackageFlagCompressed) == 0
                                       ? "plain"
                                   : zstd ? "compressed (LZMA and zstd)"
                                          : "compressed (LZMA)");
  std::printf("entry table: %s\n", header.flags & PackageFlagCompactTable
                                       ? "compact, after the blocks"
                                       : "fixed records, after the header");
  uint64_t files = 0, folders = 0;
  for (const LoadedEntry& entry : loader.entries) {
    files += entry.kind == EntryKindRemove;
    folders += entry.kind == EntryKindRemoveDirectory;
  }
  if (files + folders > 0) {
    std::printf(
        "removes %s and %s the new version no longer has: a file only while "
        "it is the old one, a folder only when empty\n",
        Plural(files, "file", "files").c_str(),
        Plural(folders, "folder", "folders").c_str());
  }
  return 0;
}

struct InfoArgs {
  std::string patch;
  bool json = false;
};

}  // namespace

Command AddInfoCommand(CLI::App* app) {
  auto args = std::make_shared<InfoArgs>();
  CLI::App* command = app->add_subcommand(
      "info", "list the applier and the entries a patch carries");
  command->add_option("PATCH", args->patch, "the patch executable")
      ->required()
      ->type_name("");
  command->add_flag("--json", args->json,
                    "print JSON instead (the README describes its fields)");
  command->footer(
      "Exit status:\n"
      "  0     the patch loads; its applier, signature and entries are "
      "listed\n"
      "  1-6   the patch cannot be used: the applier's result code, printed\n"
      "        with its message (with --json as {\"error\": ...})\n"
      "  64    the command line is wrong\n");
  return {command, [args] { return Info(args->patch, args->json); }};
}
