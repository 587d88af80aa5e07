// selfpatch create OLD NEW -o OUT.exe: compares two trees and writes the
// patch executable that turns one into the other.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "cli/common.h"
#include "cli/embedded_stubs.h"
#include "cli/progress.h"
#include "package/name_rule.h"
#include "producer/patch_builder.h"

namespace fs = std::filesystem;

namespace {

struct CreateArgs {
  std::string oldPath, newPath, output, arch = "x86", stub;
  bool backup = false, keepTimes = false, plain = false, allowEmpty = false,
       quiet = false, keepRemoved = false;
};

// The file system's own identity of the file or folder `path` names (its
// volume and file index): another spelling of one name (another case on
// Windows, a short name, a link on the way) has the same. With `itself` a
// link at its end is not followed. Nothing when it cannot be opened.
using Identity = std::tuple<DWORD, DWORD, DWORD>;
std::optional<Identity> IdentityOf(const fs::path& path, bool itself) {
  HANDLE file = CreateFileW(
      Wide(path).c_str(), 0,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (itself ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
      nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info;
  bool known = GetFileInformationByHandle(file, &info) != FALSE;
  CloseHandle(file);
  if (!known) return std::nullopt;
  return std::make_tuple(info.dwVolumeSerialNumber, info.nFileIndexHigh,
                         info.nFileIndexLow);
}

// Why `status` cannot be written as the patch: a link, a folder or a
// special file; nothing for a regular file or none.
const char* WrongKind(const fs::file_status& status) {
  if (fs::is_symlink(status)) return "is a symbolic link";
  if (fs::is_directory(status)) return "is a folder";
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    return "is not a regular file (a device, FIFO or socket)";
  }
  return nullptr;
}

// The output must be a new file or a regular one, in an existing folder,
// and nothing that create reads: said before the work, not after.
void CheckOutput(const fs::path& output, const fs::path& oldRoot,
                 const fs::path& newRoot, const fs::path& stub) {
  std::string shown = EscapeName(output.u8string());
  std::error_code error;
  const std::string kind = "; -o names the patch file to write";
  if (const char* wrong = WrongKind(fs::symlink_status(output, error))) {
    throw UsageError(shown + " " + wrong + kind);
  }
  fs::path folder = output.has_parent_path() ? output.parent_path() : ".";
  if (!fs::is_directory(folder, error)) {
    throw UsageError("no such folder for the output: " +
                     EscapeName(folder.u8string()));
  }
  // The patch is written first under a name beside the output, where a
  // file or link found is removed, not followed: that name is checked too.
  // Each is compared with the inputs as the file system knows them, so
  // that no other spelling of a name reaches one.
  const fs::path partial = PartialOutput(output);
  const std::pair<fs::path, std::string> names[] = {
      {output, shown + " "},
      {partial, shown + " is written first as " +
                    EscapeName(partial.u8string()) + ", which "}};
  const fs::file_status left = fs::symlink_status(partial, error);
  const char* wrong = fs::is_symlink(left) ? nullptr : WrongKind(left);
  if (wrong != nullptr) throw UsageError(names[1].second + wrong + kind);
  // Each input as the file system knows it, and whether the output's
  // folder lies in it (one of the folders on its way is the input).
  struct Input {
    const char* role;
    const fs::path& root;
    std::optional<Identity> identity;
    bool holdsOutput;
  } inputs[] = {{"OLD", oldRoot, IdentityOf(oldRoot, false), false},
                {"NEW", newRoot, IdentityOf(newRoot, false), false}};
  const fs::path in = fs::weakly_canonical(fs::absolute(folder), error);
  for (Input& input : inputs) {
    for (fs::path up = in; input.identity && !input.holdsOutput;
         up = up.parent_path()) {
      input.holdsOutput = IdentityOf(up, false) == input.identity;
      if (up == up.parent_path()) break;
    }
  }
  const auto applier = stub.empty() ? std::nullopt : IdentityOf(stub, false);
  for (const auto& [name, says] : names) {
    const auto self = IdentityOf(name, true);
    if (self && self == applier) {
      throw UsageError(says + "is the applier given to --stub");
    }
    for (const Input& input : inputs) {
      if (!input.identity || (self != input.identity && !input.holdsOutput))
        continue;
      throw UsageError(says + (input.holdsOutput ? "lies inside " : "is ") +
                       input.role + " (" + EscapeName(input.root.u8string()) +
                       "); -o must name a file outside OLD and NEW");
    }
  }
}

int Create(const CreateArgs& args) {
  fs::path output = fs::u8path(args.output);
  fs::path oldRoot = fs::u8path(args.oldPath),
           newRoot = fs::u8path(args.newPath);
  CheckOutput(output, oldRoot, newRoot, fs::u8path(args.stub));
  std::vector<uint8_t> stub;
  if (!args.stub.empty()) {
    stub = ReadWhole(fs::u8path(args.stub));
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
  TreePlan plan = PlanTrees(oldRoot, newRoot);
  if (!args.keepRemoved) PlanRemovals(oldRoot, &plan);
  PlanSources(oldRoot, &plan);
  std::error_code error;
  if (fs::is_regular_file(oldRoot, error) &&
      fs::is_regular_file(newRoot, error) &&
      oldRoot.filename() != newRoot.filename()) {
    std::fprintf(stderr,
                 "selfpatch: note: the file is patched under OLD's name, %s, "
                 "not NEW's (%s): a patch cannot rename\n",
                 EscapeName(oldRoot.filename().u8string()).c_str(),
                 EscapeName(newRoot.filename().u8string()).c_str());
  }
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
  // The bytes each entry writes: a new file's.
  auto bytes = [](const PlannedEntry& entry) -> uint64_t {
    std::error_code error;
    bool writes = entry.kind == EntryKindPatch || entry.kind == EntryKindAdd;
    uint64_t size = writes ? fs::file_size(entry.newPath, error) : 0;
    return error ? 0 : size;
  };
  uint64_t totalBytes = 0;
  for (const PlannedEntry& entry : plan.entries) totalBytes += bytes(entry);
  ProgressView view(stderr, ProgressView::ModeFor(stderr, args.quiet),
                    plan.entries.size(), totalBytes);
  BuildOptions options;
  if (args.backup) options.flags |= PackageFlagBackup;
  if (args.keepTimes) options.flags |= PackageFlagKeepTimes;
  if (!args.plain) {
    options.flags |= PackageFlagCompressed | PackageFlagEntryOptions |
                     PackageFlagCompactTable;
  }
  options.progress = [&view, &bytes](size_t index, const PlannedEntry& entry) {
    view.StartEntry(index, Kind(entry.kind), entry.name, bytes(entry));
  };
  BuildSummary summary = WritePatch(stub, plan, output, options);
  view.Advance(1.0);
  view.Finish();
  std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - started;
  const std::string rebuilt =
      summary.rebuilt == 0
          ? ""
          : " (" + std::to_string(summary.rebuilt) + " from old files)";
  const std::string removed =
      summary.removed + summary.removedDirectories == 0
          ? ""
          : ", " + std::to_string(summary.removed) + " removed";
  const std::string removedFolders =
      summary.removedDirectories == 0
          ? ""
          : ", " + Plural(summary.removedDirectories, "folder", "folders") +
                " removed";
  std::printf(
      "%s: %llu changed, %llu added%s%s, %s%s, %llu unchanged\n",
      EscapeName(output.u8string()).c_str(),
      static_cast<unsigned long long>(summary.patched),
      static_cast<unsigned long long>(summary.added), rebuilt.c_str(),
      removed.c_str(), Plural(summary.directories, "folder", "folders").c_str(),
      removedFolders.c_str(), static_cast<unsigned long long>(plan.unchanged));
  std::printf(
      "  old %llu bytes, new %llu bytes (%llu taken from old files), "
      "package %llu bytes, %.2f s\n",
      static_cast<unsigned long long>(summary.oldBytes),
      static_cast<unsigned long long>(summary.newBytes),
      static_cast<unsigned long long>(summary.copiedBytes),
      static_cast<unsigned long long>(summary.packageSize), took.count());
  return 0;
}

}  // namespace

Command AddCreateCommand(CLI::App* app) {
  auto args = std::make_shared<CreateArgs>();
  CLI::App* command = app->add_subcommand(
      "create", "make a patch executable that turns OLD into NEW");
  command
      ->add_option("OLD", args->oldPath,
                   "the program's folder (or one file) as users "
                   "have it now")
      ->required()
      ->type_name("");
  command
      ->add_option("NEW", args->newPath,
                   "the same folder (or file) as it should become")
      ->required()
      ->type_name("");
  command
      ->add_option("-o,--output", args->output,
                   "the patch executable to write, in an existing folder")
      ->required()
      ->type_name("OUT.exe");
  command
      ->add_option("--arch", args->arch,
                   "the applier to carry: x86 runs on every Windows, x64 "
                   "only on 64-bit Windows")
      ->check(CLI::IsMember({"x86", "x64"}).description(""))
      ->type_name("x86|x64")
      ->capture_default_str();
  command
      ->add_option("--stub", args->stub,
                   "carry this applier executable instead of the built-in "
                   "one (unsigned, nothing after its image)")
      ->type_name("FILE");
  command->add_flag("--backup", args->backup,
                    "the applier keeps each file it replaces as "
                    "NAME.bak beside it");
  command->add_flag("--keep-times", args->keepTimes,
                    "rebuilt files keep the times of the files they "
                    "replace");
  command->add_flag("--plain", args->plain,
                    "the original format: instructions in order, data "
                    "blocks as they are");
  command->add_flag("--allow-empty", args->allowEmpty,
                    "write a patch even when OLD and NEW hold the same "
                    "files");
  command->add_flag("--keep-removed", args->keepRemoved,
                    "leave files and folders only OLD has where they are "
                    "(the patch removes them otherwise)");
  command->add_flag("-q,--quiet", args->quiet, "no progress");
  command->footer(
      "A changed file becomes a patch entry, a new file an add entry (rebuilt\n"
      "from an old file where that is smaller: a renamed or moved file, a\n"
      "library whose version is in its name) and a new folder a folder\n"
      "entry. Files and folders only in OLD are removed: a file only while\n"
      "it is still OLD's (one changed since is kept), a folder only when it\n"
      "is empty. Symbolic links and special files (FIFOs, sockets,\n"
      "devices) in either tree stop create, as does any file it cannot read\n"
      "or any name Windows cannot hold; nothing is written then.\n\n"
      "Exit status:\n"
      "  0   written\n"
      "  1   an input or the output cannot be read or written (the message\n"
      "      says which path and why); nothing is written\n"
      "  64  the command line is wrong, or OUT.exe is a folder, a link, a\n"
      "      device or FIFO, an input, or inside OLD or NEW; nothing is\n"
      "      written\n"
      "  65  OLD and NEW hold the same files (see --allow-empty)\n");
  return {command, [args] { return Create(*args); }};
}
