// What the commands of `selfpatch` share: their exit statuses, how a
// result code is described, conversions between paths and the platform's
// wide strings, and loading a patch executable.
//
// Each command lives in a file of its own (create.cc, info.cc, verify.cc,
// apply.cc) and adds itself to the command line through Add*Command;
// main.cc parses the line and runs the one chosen.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "apply/patch_thread.h"
#include "package/package_loader.h"
#include "platform/platform.h"
#include "result/result_codes.h"

// Exit statuses besides the result codes (0 to 63 are the applier's).
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 64;
constexpr int kExitNothingToPatch = 65;
constexpr int kExitDeclined = 66;

// A path on the command line that cannot be what its place names (a patch
// file to write, a folder to patch): one line, and kExitUsage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command on the command line: run when its name was given.
struct Command {
  CLI::App* parsed;
  std::function<int()> run;
};

Command AddCreateCommand(CLI::App* app);
Command AddInfoCommand(CLI::App* app);
Command AddVerifyCommand(CLI::App* app);
Command AddApplyCommand(CLI::App* app);

std::string Utf8(const WCHAR* text);
WString Wide(const std::filesystem::path& path);

// "error 10: English (Japanese)"
std::string Describe(ResultCode code);
// "patch", "add", "dir", "remove", "rmdir" or "other", for what an entry
// does (LoadedEntry::kind, PlannedEntry::kind).
std::string Kind(uint8_t kind);
// "1 entry", "2 entries".
std::string Plural(uint64_t count, const char* one, const char* many);

// Loads and verifies a patch executable; prints the error and returns its
// code when that fails.
ResultCode LoadPatch(const std::filesystem::path& patch, PackageLoader* loader);

// The PATCH and DIR arguments of verify and apply.
void AddPatchAndFolder(CLI::App* command, std::string* patch, std::string* dir);

// The exit statuses of verify and apply, `done` saying what 0 means.
std::string RunStatuses(const char* done);

// What became of each removal of a run, as the worker tells it
// (WM_PATCH_NOTE): one line each, "removed: lib-1.2.dll"; in a check, what
// would become of it.
void PrintRemovalNote(RemovalNote note, const std::string& name,
                      bool checkOnly);

// DIR, or the current folder when it is empty; a UsageError when it is
// not a folder.
std::filesystem::path FolderOrCurrent(const std::string& dir);

struct RunOptions {
  bool checkOnly = false;  // verify: the worker only checks
  bool ask = false;        // apply: confirm at the prompt first
  bool quiet = false;      // no progress
};

// Loads the patch and runs it in DIR as the applier does: the folder
// check (already applied, not this folder), then the worker, applying or
// only checking. Returns the exit status.
int RunPatch(const std::string& patch, const std::string& dir,
             const RunOptions& options);
