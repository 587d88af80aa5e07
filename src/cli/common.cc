#include "cli/common.h"

#include <cstdio>
#include <iterator>

#include "package/name_rule.h"

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

std::string Kind(uint8_t kind) {
  switch (kind) {
    case EntryKindPatch:
      return "patch";
    case EntryKindAdd:
      return "add";
    case EntryKindDirectory:
      return "dir";
    case EntryKindRemove:
      return "remove";
    case EntryKindRemoveDirectory:
      return "rmdir";
    default:
      return "other";
  }
}

void PrintRemovalNote(RemovalNote note, const std::string& name,
                      bool checkOnly) {
  const char* what =
      note == kNoteRemoved   ? (checkOnly ? "would remove" : "removed")
      : note == kNoteChanged ? "kept, changed since the old version"
      : note == kNoteKept    ? "kept, not empty"
                             : "already gone";
  std::printf("%s: %s\n", what, EscapeName(name).c_str());
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
  std::error_code error;
  fs::file_status status = fs::status(folder, error);
  std::string shown = EscapeName(folder.u8string());
  if (!fs::exists(status)) throw UsageError("no such folder: " + shown);
  if (!fs::is_directory(status)) {
    throw UsageError(shown + " is " +
                     (fs::is_regular_file(status) ? "a file" : "not a folder") +
                     "; DIR names the program's folder");
  }
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

std::string RunStatuses(const char* done) {
  return std::string("Exit status:\n  0     ") + done +
         "\n"
         "  1-6   the patch cannot be used: the applier's result code, "
         "printed\n"
         "        with its message\n"
         "  7-16  a file in DIR stops the run: the applier's result code,\n"
         "        printed with its message and the path (7: the folder that\n"
         "        is missing); nothing changed\n"
         "  64    the command line is wrong, or DIR is not a folder\n";
}
