#include "cli/common.h"

#include <cstdio>
#include <iterator>

#include "package/name_rule.h"
#include "producer/patch_builder.h"

namespace fs = std::filesystem;

namespace {

const char* const kEnglish[] = {
    "no error",
    "cannot find where the patch program's image ends",
    "cannot open the patch file",
    "the patch file carries no package",
    "the patch data is not a selfpatch package",
    "the patch data is damaged",
    "cannot read the patch's list of files",
    "cannot create a temporary file in the target's folder",
    "cannot open the file to patch",
    "cannot open a temporary file for writing",
    "the file to patch is not the one this patch was made for",
    "the patched file is not what the patch should produce",
    "the file to add exists already",
    "creating the new file failed",
    "updating the file failed",
    "the folder is the Windows folder or inside it",
    "a link (junction) lies on the way to a file",
    "the applier's command line is wrong",
};

}  // namespace

std::string Utf8(const WCHAR* text) {
  std::u16string wide;
  for (; *text != 0; ++text) wide += static_cast<char16_t>(*text);
  return fs::path(wide).u8string();
}

WString Wide(const fs::path& path) {
  std::u16string text = path.u16string();
  return WString(text.begin(), text.end());
}

std::string Describe(ResultCode code) {
  std::string english =
      code < std::size(kEnglish) ? kEnglish[code] : "unknown error";
  return "error " + std::to_string(code) + ": " + english + " (" +
         Utf8(GetResultMessage(code)) + ")";
}

std::string Kind(uint32_t kind) {
  switch (kind & 0xFF) {
    case EntryKindPatch:
      return "patch";
    case EntryKindAdd:
      return "add";
    case EntryKindDirectory:
      return "dir";
    default:
      return "other";
  }
}

std::string Plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

ResultCode LoadPatch(const fs::path& patch, PackageLoader* loader) {
  ResultCode result = fs::is_regular_file(patch)
                          ? loader->LoadFile(Wide(fs::absolute(patch)).c_str())
                          : ResultOpenPackage;
  if (result != ResultSuccess) {
    std::fprintf(stderr, "selfpatch: %s: %s\n", Describe(result).c_str(),
                 EscapeName(patch.u8string()).c_str());
  }
  return result;
}

fs::path FolderOrCurrent(const std::string& dir) {
  fs::path folder = dir.empty() ? fs::current_path() : fs::u8path(dir);
  if (!fs::is_directory(folder))
    throw ProducerError("no such folder: " + EscapeName(folder.u8string()));
  return folder;
}

void AddPatchAndFolder(CLI::App* command, std::string* patch,
                       std::string* dir) {
  command->add_option("PATCH", *patch, "the patch executable")
      ->required()
      ->type_name("");
  command
      ->add_option("DIR", *dir,
                   "the program's folder (default: the current folder)")
      ->type_name("");
}
