// selfpatch: makes, inspects, checks and applies patch executables.
//
//   selfpatch create OLD NEW -o OUT.exe   make a patch
//   selfpatch info PATCH.exe [--json]     what a patch carries
//   selfpatch verify PATCH.exe [DIR]      would it apply here?
//   selfpatch apply PATCH.exe [DIR]       apply it, as the applier would
//
// apply and verify run the applier's own loader, worker, checks and commit;
// their exit status is the applier's result code. `selfpatch --help` lists
// every exit status.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "apply/folder_check.h"
#include "apply/patch_thread.h"
#include "cli/embedded_stubs.h"
#include "cli/progress.h"
#include "package/file_hash.h"
#include "package/image_end.h"
#include "package/name_rule.h"
#include "package/package_loader.h"
#include "package/sha256.h"
#include "platform/utf8_main.h"
#include "producer/patch_builder.h"
#include "result/result_codes.h"

namespace fs = std::filesystem;

namespace {

// Exit statuses besides the result codes (0 to 63 are the applier's).
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 64;
constexpr int kExitNothingToPatch = 65;
constexpr int kExitDeclined = 66;

const char kExitStatuses[] =
    "Exit status:\n"
    "  0      done (apply: applied; verify: would apply; create: written)\n"
    "  1-63   apply, verify, info: the applier's result code, printed with\n"
    "         its message (1-6 the patch itself, 7 and up the files in DIR)\n"
    "  1      create: the input or output cannot be used (the message says\n"
    "         which path and why); nothing is written\n"
    "  64     the command line is wrong\n"
    "  65     create: OLD and NEW hold the same files (see --allow-empty)\n"
    "  66     apply: not confirmed at the prompt; nothing changed\n";

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

std::string Utf8(const WCHAR* text) {
  std::u16string wide;
  for (; *text != 0; ++text) wide += static_cast<char16_t>(*text);
  return fs::path(wide).u8string();
}

WString Wide(const fs::path& path) {
  std::u16string text = path.u16string();
  return WString(text.begin(), text.end());
}

// "error 10: English (Japanese)"
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

// Loads and verifies a patch executable; prints the error and returns its
// code when that fails.
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

std::string Plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
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

// ---- create -----------------------------------------------------------------

struct CreateArgs {
  std::string oldPath, newPath, output, arch = "x86", stub;
  bool backup = false, keepTimes = false, plain = false, allowEmpty = false,
       quiet = false;
};

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ProducerError("cannot read " + EscapeName(path.u8string()));
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The output must be a file name in an existing folder: said before the
// work, not after.
void CheckOutput(const fs::path& output) {
  std::error_code error;
  if (fs::is_directory(output, error)) {
    throw ProducerError(EscapeName(output.u8string()) +
                        " is a folder; -o names the patch file to write");
  }
  fs::path folder = output.has_parent_path() ? output.parent_path() : ".";
  if (!fs::is_directory(folder, error)) {
    throw ProducerError("no such folder for the output: " +
                        EscapeName(folder.u8string()));
  }
}

int Create(const CreateArgs& args) {
  fs::path output = fs::u8path(args.output);
  CheckOutput(output);
  std::vector<uint8_t> stub;
  if (!args.stub.empty()) {
    stub = ReadFileBytes(fs::u8path(args.stub));
  } else if (args.arch == "x86") {
    stub.assign(kStubX86, kStubX86 + kStubX86Size);
  } else {
    stub.assign(kStubX64, kStubX64 + kStubX64Size);
  }
  if (stub.empty()) {
    throw ProducerError("this build carries no " + args.arch +
                        " applier; pass --stub FILE");
  }
  auto started = std::chrono::steady_clock::now();
  TreePlan plan = PlanTrees(fs::u8path(args.oldPath), fs::u8path(args.newPath));
  for (const std::string& name : plan.onlyInOld) {
    std::fprintf(stderr, "selfpatch: warning: only in OLD, left in place: %s\n",
                 EscapeName(name).c_str());
  }
  if (plan.entries.empty() && !args.allowEmpty) {
    std::fprintf(stderr,
                 "selfpatch: nothing to patch: OLD and NEW hold the same "
                 "files (%s); no patch written (--allow-empty writes one)\n",
                 Plural(plan.unchanged, "file", "files").c_str());
    return kExitNothingToPatch;
  }
  uint64_t totalBytes = 0;
  for (const PlannedEntry& entry : plan.entries) {
    if (entry.kind != EntryKindDirectory)
      totalBytes += fs::file_size(entry.newPath);
  }
  ProgressView view(stderr, ProgressView::ModeFor(stderr, args.quiet),
                    plan.entries.size(), totalBytes);
  BuildOptions options;
  if (args.backup) options.flags |= PackageFlagBackup;
  if (args.keepTimes) options.flags |= PackageFlagKeepTimes;
  if (!args.plain) options.flags |= PackageFlagCompressed;
  options.progress = [&view](size_t index, const PlannedEntry& entry) {
    std::error_code error;
    uint64_t bytes = entry.kind == EntryKindDirectory
                         ? 0
                         : fs::file_size(entry.newPath, error);
    view.StartEntry(index, Kind(entry.kind), entry.name, bytes);
  };
  BuildSummary summary = WritePatch(stub, plan, output, options);
  view.Advance(1.0);
  view.Finish();
  std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - started;
  std::printf("%s: %llu changed, %llu added, %s, %llu unchanged\n",
              EscapeName(output.u8string()).c_str(),
              static_cast<unsigned long long>(summary.patched),
              static_cast<unsigned long long>(summary.added),
              Plural(summary.directories, "folder", "folders").c_str(),
              static_cast<unsigned long long>(plan.unchanged));
  std::printf(
      "  old %llu bytes, new %llu bytes (%llu taken from old files), "
      "package %llu bytes, %.2f s\n",
      static_cast<unsigned long long>(summary.oldBytes),
      static_cast<unsigned long long>(summary.newBytes),
      static_cast<unsigned long long>(summary.copiedBytes),
      static_cast<unsigned long long>(summary.packageSize), took.count());
  return 0;
}

// ---- info -------------------------------------------------------------------

// The applier a patch carries, from its PE headers.
struct Applier {
  std::string machine = "unknown";    // "x86", "x64"
  std::string form = "unknown";       // "PE32", "PE32+"
  std::string subsystem = "unknown";  // "gui", "console"
  uint32_t size = 0;
  bool builtIn = false;  // the very applier this selfpatch embeds
};

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
  std::ifstream in(patch, std::ios::binary);
  std::vector<unsigned char> image(imageEnd);
  if (in.read(reinterpret_cast<char*>(image.data()), imageEnd)) {
    auto same = [&](const unsigned char* bytes, size_t size) {
      return size == imageEnd && std::memcmp(bytes, image.data(), size) == 0;
    };
    applier.builtIn =
        same(kStubX86, kStubX86Size) || same(kStubX64, kStubX64Size);
  }
  return applier;
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
  if (json) {
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    for (const LoadedEntry& entry : loader.entries) {
      uint8_t kind = static_cast<uint8_t>(entry.record.kind);
      nlohmann::ordered_json item = {{"kind", Kind(kind)},
                                     {"name", Utf8(entry.name.c_str())}};
      if (kind == EntryKindPatch) {
        item["oldSize"] = entry.record.oldSize;
        item["oldDigest"] = Hex(entry.record.oldDigest, 32);
      }
      if (kind == EntryKindPatch || kind == EntryKindAdd) {
        item["newSize"] = entry.record.newSize;
        item["newDigest"] = Hex(entry.record.newDigest, 32);
      }
      entries.push_back(item);
    }
    PrintJson({{"applier",
                {{"machine", applier.machine},
                 {"form", applier.form},
                 {"subsystem", applier.subsystem},
                 {"size", applier.size},
                 {"builtIn", applier.builtIn}}},
               {"packageSize", header.packageSize},
               {"packageDigest", Hex(header.packageDigest, 32)},
               {"flags",
                {{"backup", (header.flags & PackageFlagBackup) != 0},
                 {"keepTimes", (header.flags & PackageFlagKeepTimes) != 0},
                 {"compressed", (header.flags & PackageFlagCompressed) != 0}}},
               {"entries", entries}});
    return 0;
  }
  std::printf("applier: %s, %s %s, %u bytes%s\n", applier.machine.c_str(),
              applier.form.c_str(), applier.subsystem.c_str(), applier.size,
              applier.builtIn ? " (the one this selfpatch carries)" : "");
  std::printf("%-6s %12s %12s  %s\n", "kind", "old size", "new size", "name");
  for (const LoadedEntry& entry : loader.entries) {
    std::printf("%-6s %12llu %12llu  %s\n", Kind(entry.record.kind).c_str(),
                static_cast<unsigned long long>(entry.record.oldSize),
                static_cast<unsigned long long>(entry.record.newSize),
                Utf8(entry.name.c_str()).c_str());
  }
  std::printf("%s, package %llu bytes%s%s\n",
              Plural(loader.entries.size(), "entry", "entries").c_str(),
              static_cast<unsigned long long>(header.packageSize),
              header.flags & PackageFlagBackup ? ", keeps .bak backups" : "",
              header.flags & PackageFlagKeepTimes ? ", keeps file times" : "");
  std::printf("data blocks: %s\n", header.flags & PackageFlagCompressed
                                       ? "compressed (Zstandard)"
                                       : "plain");
  return 0;
}

// ---- verify -----------------------------------------------------------------

fs::path FolderOrCurrent(const std::string& dir) {
  fs::path folder = dir.empty() ? fs::current_path() : fs::u8path(dir);
  if (!fs::is_directory(folder))
    throw ProducerError("no such folder: " + EscapeName(folder.u8string()));
  return folder;
}

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

// ---- apply ------------------------------------------------------------------

// The worker's messages, shown on the terminal through the progress view.
ProgressView* g_view = nullptr;
const PackageLoader* g_applying = nullptr;
LRESULT CALLBACK TerminalWindow(HWND window, UINT message, WPARAM wParam,
                                LPARAM lParam) {
  switch (message) {
    case WM_PATCH_FILENAME: {
      const LoadedEntry& entry = g_applying->entries[wParam];
      g_view->StartEntry(wParam, Kind(entry.record.kind),
                         Utf8(entry.name.c_str()),
                         (entry.record.kind & 0xFF) == EntryKindDirectory
                             ? 0
                             : entry.record.newSize);
      return TRUE;
    }
    case WM_PATCH_PROGRESS:
      g_view->Advance(*reinterpret_cast<const double*>(wParam));
      return TRUE;
    case WM_PATCH_ERROR:
      g_view->Finish();
      std::fprintf(stderr, "selfpatch: %s: %s\n",
                   Describe(static_cast<ResultCode>(wParam)).c_str(),
                   Utf8(reinterpret_cast<const WCHAR*>(lParam)).c_str());
      return TRUE;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

int Apply(const std::string& patchPath, const std::string& dirPath, bool yes,
          bool quiet) {
  fs::path patch = fs::absolute(fs::u8path(patchPath));
  fs::path dir = FolderOrCurrent(dirPath);
  SharedArray<PackageLoader> loader;
  loader.Attach(new PackageLoader(nullptr), 1);
  ResultCode result = LoadPatch(patch, loader.Get());
  if (result != ResultSuccess) return static_cast<int>(result);
  const PackageLoader& loaded = *loader.Get();
  fs::current_path(dir);
  SharedArray<IHashCode> hash;
  hash.Attach(new CHashSHA256, 1);
  FolderCheck check = CheckFolder(loaded, hash);
  if (check.state == FolderApplied) {
    std::printf("already applied: every file is up to date, nothing changed\n");
    return 0;
  }
  if (check.state == FolderNotHere) {
    std::printf("not this folder: none of the files to patch is here (%s)\n",
                Describe(check.failure).c_str());
    return static_cast<int>(check.failure);
  }
  if (!yes) {
    std::printf("Apply %s to %s? [y/N] (%s) ",
                Plural(loaded.entries.size(), "entry", "entries").c_str(),
                EscapeName(dir.u8string()).c_str(),
                "差分パッチを適応します。よろしいですか？");
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "yes")) {
      std::printf("not applied; nothing changed\n");
      return kExitDeclined;
    }
  }
  uint64_t totalBytes = 0;
  for (const LoadedEntry& entry : loaded.entries) {
    uint8_t kind = static_cast<uint8_t>(entry.record.kind);
    if (kind == EntryKindPatch || kind == EntryKindAdd)
      totalBytes += entry.record.newSize;
  }
  ProgressView view(stderr, ProgressView::ModeFor(stderr, quiet),
                    loaded.entries.size(), totalBytes);
  g_view = &view;
  g_applying = &loaded;
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = &TerminalWindow;
  windowClass.lpszClassName = WTXT("SelfpatchTerminal");
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, WTXT(""), 0, 0, 0,
                                0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  g_loaderHolder = &loader;
  {
    CPatchThread worker(window);
    g_loaderHolder = nullptr;
    result = worker.Run();
  }
  DestroyWindow(window);
  view.Finish();
  g_view = nullptr;
  g_applying = nullptr;
  if (result == ResultSuccess) {
    std::printf("patch applied (%s)\n", "パッチ作業が完了しました。");
  } else if (result == ResultOpenSource || result == ResultNoTempName) {
    std::fprintf(stderr,
                 "selfpatch: nothing changed; is %s the program's folder? "
                 "(selfpatch verify lists what is missing)\n",
                 EscapeName(dir.u8string()).c_str());
  } else {
    std::fprintf(stderr, "selfpatch: nothing changed\n");
  }
  return static_cast<int>(result);
}

// ---- the command line
// ---------------------------------------------------------

int Run(int argc, char** argv) {
  CLI::App app(
      "selfpatch " SELFPATCH_VERSION
      ": makes self-applying patch executables for Windows programs, and\n"
      "inspects, checks and applies them.",
      "selfpatch");
  app.set_version_flag("--version", "selfpatch " SELFPATCH_VERSION);
  app.require_subcommand(1);
  app.footer(kExitStatuses);

  CreateArgs create;
  CLI::App* createCommand = app.add_subcommand(
      "create", "make a patch executable that turns OLD into NEW");
  createCommand
      ->add_option("OLD", create.oldPath,
                   "the program's folder (or one file) as users "
                   "have it now")
      ->required();
  createCommand
      ->add_option("NEW", create.newPath,
                   "the same folder (or file) as it should become")
      ->required()
      ->type_name("");
  createCommand
      ->add_option("-o,--output", create.output,
                   "the patch executable to write, in an existing folder")
      ->required()
      ->type_name("OUT.exe");
  createCommand
      ->add_option("--arch", create.arch,
                   "the applier to carry: x86 runs on every Windows, x64 "
                   "only on 64-bit Windows")
      ->check(CLI::IsMember({"x86", "x64"}))
      ->capture_default_str();
  createCommand
      ->add_option("--stub", create.stub,
                   "carry this applier executable instead of the built-in "
                   "one (unsigned, nothing after its image)")
      ->type_name("FILE");
  createCommand->add_flag("--backup", create.backup,
                          "the applier keeps each file it replaces as "
                          "NAME.bak beside it");
  createCommand->add_flag("--keep-times", create.keepTimes,
                          "rebuilt files keep the times of the files they "
                          "replace");
  createCommand->add_flag("--plain", create.plain,
                          "store the data blocks as they are, not "
                          "compressed");
  createCommand->add_flag("--allow-empty", create.allowEmpty,
                          "write a patch even when OLD and NEW hold the same "
                          "files");
  createCommand->add_flag("-q,--quiet", create.quiet, "no progress");
  createCommand->footer(
      "A changed file becomes a patch entry, a new file an add entry and a\n"
      "new folder a folder entry. Files only in OLD are left in place: a\n"
      "patch cannot delete. Symbolic links and special files (FIFOs, sockets,\n"
      "devices) in either tree stop create, as does any file it cannot read\n"
      "or any name Windows cannot hold; nothing is written then.");

  std::string patch, dir;
  bool json = false, yes = false, quiet = false;
  CLI::App* infoCommand = app.add_subcommand(
      "info", "list the applier and the entries a patch carries");
  infoCommand->add_option("PATCH", patch, "the patch executable")
      ->required()
      ->type_name("");
  infoCommand->add_flag("--json", json,
                        "print JSON instead (the README describes its fields)");

  CLI::App* verifyCommand = app.add_subcommand(
      "verify", "check that a patch would apply in DIR, changing nothing");
  verifyCommand->add_option("PATCH", patch, "the patch executable")
      ->required()
      ->type_name("");
  verifyCommand
      ->add_option("DIR", dir,
                   "the program's folder (default: the current folder)")
      ->type_name("");

  CLI::App* applyCommand =
      app.add_subcommand("apply", "apply a patch to DIR, as the applier would");
  applyCommand->add_option("PATCH", patch, "the patch executable")
      ->required()
      ->type_name("");
  applyCommand
      ->add_option("DIR", dir,
                   "the program's folder (default: the current folder)")
      ->type_name("");
  applyCommand->add_flag("-y,--yes", yes, "do not ask before applying");
  applyCommand->add_flag("-q,--quiet", quiet, "no progress");

  if (argc < 2) {
    std::fputs(app.help().c_str(), stderr);
    return kExitUsage;
  }
  // The parser would only say that a command is missing.
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    std::string names;
    for (const CLI::App* command :
         app.get_subcommands([](CLI::App*) { return true; })) {
      known = known || command->get_name() == argv[1];
      names += (names.empty() ? "" : ", ") + command->get_name();
    }
    if (!known) {
      std::fprintf(stderr,
                   "selfpatch: unknown command %s (commands: %s)\n"
                   "Run 'selfpatch --help' for usage.\n",
                   EscapeName(argv[1]).c_str(), names.c_str());
      return kExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    std::fprintf(stderr, "selfpatch: %s\nRun 'selfpatch --help' for usage.\n",
                 error.what());
    return kExitUsage;
  }
  if (*createCommand) return Create(create);
  if (*infoCommand) return Info(patch, json);
  if (*verifyCommand) return Verify(patch, dir);
  return Apply(patch, dir, yes, quiet);
}

}  // namespace

int Utf8Main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const ProducerError& error) {
    std::fprintf(stderr, "selfpatch: %s\n", error.what());
  } catch (const fs::filesystem_error& error) {
    std::fprintf(stderr, "selfpatch: %s\n", error.what());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "selfpatch: out of memory\n");
  }
  return kExitFailure;
}
