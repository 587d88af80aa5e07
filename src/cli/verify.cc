// selfpatch verify PATCH.exe [DIR]: whether the patch would apply in DIR,
// changing nothing.
#include <cstdio>
#include <memory>
#include <vector>

#include "cli/common.h"
#include "package/file_hash.h"
#include "package/name_rule.h"
#include "package/sha256.h"

namespace fs = std::filesystem;

namespace {

fs::path EntryPath(const fs::path& dir, const LoadedEntry& entry) {
  std::string name = Utf8(entry.name.c_str());
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  return dir / fs::u8path(name);
}

// Whether the file has the entry's old size and digest.
bool MatchesOld(const fs::path& path, const PackageEntry& record) {
  HANDLE file =
      CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  SharedArray<IHashCode> hash;
  hash.Attach(new CHashSHA256, 1);
  uint64_t size = 0;
  bool same = FileSize(file, &size) && size == record.oldSize &&
              HashWholeFile(file, hash) &&
              hash.Get()->CompareDigest(record.oldDigest);
  CloseHandle(file);
  return same;
}

int Verify(const std::string& patchPath, const std::string& dirPath) {
  fs::path dir = FolderOrCurrent(dirPath);
  PackageLoader loader(nullptr);
  ResultCode result = LoadPatch(fs::u8path(patchPath), &loader);
  if (result != ResultSuccess) return static_cast<int>(result);
  ResultCode first = ResultSuccess;
  size_t failed = 0, toPatch = 0, missing = 0;
  std::vector<fs::path> madeFolders;
  auto folderWillExist = [&](const fs::path& folder) {
    if (fs::is_directory(folder)) return true;
    for (const fs::path& made : madeFolders) {
      if (made == folder) return true;
    }
    return false;
  };
  for (const LoadedEntry& entry : loader.entries) {
    fs::path path = EntryPath(dir, entry);
    ResultCode code = ResultSuccess;
    switch (entry.record.kind & 0xFF) {
      case EntryKindPatch:
        ++toPatch;
        if (!fs::is_regular_file(path)) {
          ++missing;
          code = folderWillExist(path.parent_path()) ? ResultOpenSource
                                                     : ResultNoTempName;
        } else if (!MatchesOld(path, entry.record)) {
          code = ResultSourceMismatch;
        }
        break;
      case EntryKindAdd:
        if (!folderWillExist(path.parent_path())) {
          code = ResultNoTempName;
        } else if (fs::exists(path)) {
          code = ResultTargetExists;
        }
        break;
      case EntryKindDirectory:
        if (!folderWillExist(path.parent_path())) {
          code = ResultNoTempName;
        } else {
          madeFolders.push_back(path);
        }
        break;
      default:
        break;
    }
    std::printf("%s %-5s %s%s\n", code == ResultSuccess ? "ok  " : "FAIL",
                Kind(entry.record.kind).c_str(),
                Utf8(entry.name.c_str()).c_str(),
                code == ResultSuccess ? "" : ("  " + Describe(code)).c_str());
    if (code != ResultSuccess) ++failed;
    if (first == ResultSuccess) first = code;
  }
  if (first == ResultSuccess) {
    std::printf("the patch would apply\n");
  } else {
    std::printf("the patch would not apply: %s of %s would fail\n",
                Plural(failed, "entry", "entries").c_str(),
                std::to_string(loader.entries.size()).c_str());
    if (toPatch > 0 && missing == toPatch) {
      std::printf(
          "none of the files to patch is in %s: is it the program's folder?\n",
          EscapeName(dir.u8string()).c_str());
    }
  }
  return static_cast<int>(first);
}

struct VerifyArgs {
  std::string patch, dir;
};

}  // namespace

Command AddVerifyCommand(CLI::App* app) {
  auto args = std::make_shared<VerifyArgs>();
  CLI::App* command = app->add_subcommand(
      "verify", "check that a patch would apply in DIR, changing nothing");
  AddPatchAndFolder(command, &args->patch, &args->dir);
  return {command, [args] { return Verify(args->patch, args->dir); }};
}
