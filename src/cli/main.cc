// selfpatch: makes, inspects, checks and applies patch executables.
//
//   selfpatch create OLD NEW -o OUT.exe [--arch x86|x64] [--stub FILE]
//                    [--backup] [--keep-times]
//   selfpatch info PATCH.exe [--json]
//   selfpatch verify PATCH.exe [DIR]
//   selfpatch apply PATCH.exe [DIR] [--yes]
//
// apply runs the applier's own worker, checks and commit; its exit code is
// the result code (0 on success). Problems with the input are one line on
// stderr and a non-zero exit.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "apply/patch_thread.h"
#include "result/result_codes.h"
#include "cli/embedded_stubs.h"
#include "package/file_hash.h"
#include "package/package_loader.h"
#include "package/sha256.h"
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
  std::string english = code < 15 ? kEnglish[code] : "unknown error";
  return "error " + std::to_string(code) + ": " + english + " (" +
         Utf8(GetResultMessage(code)) + ")";
}

struct Usage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ProducerError("cannot read " + path.u8string());
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
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
  if (!fs::is_regular_file(patch))
    throw ProducerError("no such file: " + patch.u8string());
  ResultCode result = loader->LoadFile(Wide(fs::absolute(patch)).c_str());
  if (result != ResultSuccess)
    std::cerr << "selfpatch: " << Describe(result) << "\n";
  return result;
}

int Create(const std::vector<std::string>& args) {
  std::vector<std::string> paths;
  std::string output, arch = "x86", stubPath;
  BuildOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" && i + 1 < args.size()) {
      output = args[++i];
    } else if (args[i] == "--arch" && i + 1 < args.size()) {
      arch = args[++i];
    } else if (args[i] == "--stub" && i + 1 < args.size()) {
      stubPath = args[++i];
    } else if (args[i] == "--backup") {
      options.flags |= PackageFlagBackup;
    } else if (args[i] == "--keep-times") {
      options.flags |= PackageFlagKeepTimes;
    } else if (!args[i].empty() && args[i][0] == '-') {
      throw Usage("unknown option " + args[i]);
    } else {
      paths.push_back(args[i]);
    }
  }
  if (paths.size() != 2 || output.empty())
    throw Usage("create needs OLD NEW -o OUT.exe");
  if (arch != "x86" && arch != "x64") throw Usage("--arch is x86 or x64");
  std::vector<uint8_t> stub;
  if (!stubPath.empty()) {
    stub = ReadFileBytes(stubPath);
  } else if (arch == "x86") {
    stub.assign(kStubX86, kStubX86 + kStubX86Size);
  } else {
    stub.assign(kStubX64, kStubX64 + kStubX64Size);
  }
  if (stub.empty()) {
    throw ProducerError("this build carries no " + arch +
                        " applier; pass --stub FILE");
  }
  auto started = std::chrono::steady_clock::now();
  TreePlan plan = PlanTrees(fs::u8path(paths[0]), fs::u8path(paths[1]));
  for (const std::string& name : plan.onlyInOld) {
    std::cerr << "selfpatch: warning: only in OLD, left in place: " << name
              << "\n";
  }
  options.progress = [&plan](size_t index, const PlannedEntry& entry) {
    std::cerr << "[" << index + 1 << "/" << plan.entries.size() << "] "
              << Kind(entry.kind) << " " << entry.name << "\n";
  };
  BuildSummary summary = WritePatch(stub, plan, fs::u8path(output), options);
  std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - started;
  std::printf("%s: %llu changed, %llu added, %llu folders, %llu unchanged\n",
              output.c_str(), static_cast<unsigned long long>(summary.patched),
              static_cast<unsigned long long>(summary.added),
              static_cast<unsigned long long>(summary.directories),
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

int Info(const std::vector<std::string>& args) {
  bool json = false;
  std::string patch;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (patch.empty()) {
      patch = arg;
    } else {
      throw Usage("info takes one patch");
    }
  }
  if (patch.empty()) throw Usage("info needs PATCH.exe");
  PackageLoader loader(nullptr);
  ResultCode result = LoadPatch(fs::u8path(patch), &loader);
  if (result != ResultSuccess) return static_cast<int>(result);
  const PackageHeader& header = loader.header;
  if (json) {
    std::printf(
        "{\"packageSize\": %llu, \"backup\": %s, \"keepTimes\": %s, "
        "\"entries\": [",
        static_cast<unsigned long long>(header.packageSize),
        header.flags & PackageFlagBackup ? "true" : "false",
        header.flags & PackageFlagKeepTimes ? "true" : "false");
    for (size_t i = 0; i < loader.entries.size(); ++i) {
      const LoadedEntry& entry = loader.entries[i];
      std::string name;
      for (char c : Utf8(entry.name.c_str())) {
        if (c == '\\' || c == '"') name += '\\';
        name += c;
      }
      std::printf(
          "%s\n  {\"kind\": \"%s\", \"oldSize\": %llu, \"newSize\": %llu, "
          "\"name\": \"%s\"}",
          i ? "," : "", Kind(entry.record.kind).c_str(),
          static_cast<unsigned long long>(entry.record.oldSize),
          static_cast<unsigned long long>(entry.record.newSize), name.c_str());
    }
    std::printf("\n]}\n");
    return 0;
  }
  std::printf("%-6s %12s %12s  %s\n", "kind", "old size", "new size", "name");
  for (const LoadedEntry& entry : loader.entries) {
    std::printf("%-6s %12llu %12llu  %s\n", Kind(entry.record.kind).c_str(),
                static_cast<unsigned long long>(entry.record.oldSize),
                static_cast<unsigned long long>(entry.record.newSize),
                Utf8(entry.name.c_str()).c_str());
  }
  std::printf("%zu entries, package %llu bytes%s%s\n", loader.entries.size(),
              static_cast<unsigned long long>(header.packageSize),
              header.flags & PackageFlagBackup ? ", keeps .bak backups" : "",
              header.flags & PackageFlagKeepTimes ? ", keeps file times" : "");
  return 0;
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

int Verify(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2)
    throw Usage("verify needs PATCH.exe [DIR]");
  fs::path dir = args.size() == 2 ? fs::u8path(args[1]) : fs::current_path();
  if (!fs::is_directory(dir))
    throw ProducerError("no such folder: " + dir.u8string());
  PackageLoader loader(nullptr);
  ResultCode result = LoadPatch(fs::u8path(args[0]), &loader);
  if (result != ResultSuccess) return static_cast<int>(result);
  ResultCode first = ResultSuccess;
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
        if (!fs::is_regular_file(path)) {
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
    if (first == ResultSuccess) first = code;
  }
  std::printf(first == ResultSuccess ? "the patch would apply\n"
                                     : "the patch would not apply\n");
  return static_cast<int>(first);
}

// The worker's messages, shown on the terminal: a line per entry, redrawn
// when its percentage changes.
std::string g_current;
int g_percent = -1;
LRESULT CALLBACK TerminalWindow(HWND window, UINT message, WPARAM wParam,
                                LPARAM lParam) {
  switch (message) {
    case WM_PATCH_FILENAME:
      g_current = Utf8(reinterpret_cast<const WCHAR*>(lParam));
      g_percent = 0;
      std::fprintf(stderr, "%s  0%% %s", wParam > 0 ? "\n" : "",
                   g_current.c_str());
      return TRUE;
    case WM_PATCH_PROGRESS: {
      int percent =
          static_cast<int>(*reinterpret_cast<const double*>(wParam) * 100.0);
      if (percent != g_percent) {
        g_percent = percent;
        std::fprintf(stderr, "\r%3d%% %s", percent, g_current.c_str());
      }
      return TRUE;
    }
    case WM_PATCH_ERROR:
      std::fprintf(stderr, "\nselfpatch: %s: %s\n",
                   Describe(static_cast<ResultCode>(wParam)).c_str(),
                   Utf8(reinterpret_cast<const WCHAR*>(lParam)).c_str());
      return TRUE;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

int Apply(const std::vector<std::string>& args) {
  bool yes = false;
  std::vector<std::string> rest;
  for (const std::string& arg : args) {
    if (arg == "--yes") {
      yes = true;
    } else {
      rest.push_back(arg);
    }
  }
  if (rest.empty() || rest.size() > 2)
    throw Usage("apply needs PATCH.exe [DIR]");
  fs::path patch = fs::absolute(fs::u8path(rest[0]));
  fs::path dir = rest.size() == 2 ? fs::u8path(rest[1]) : fs::current_path();
  if (!fs::is_directory(dir))
    throw ProducerError("no such folder: " + dir.u8string());
  SharedArray<PackageLoader> loader;
  loader.Attach(new PackageLoader(nullptr), 1);
  ResultCode result = LoadPatch(patch, loader.Get());
  if (result != ResultSuccess) return static_cast<int>(result);
  if (!yes) {
    std::printf("Apply %zu entries to %s? [y/N] (%s) ",
                loader.Get()->entries.size(), dir.u8string().c_str(),
                "差分パッチを適応します。よろしいですか？");
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "yes")) {
      std::printf("nothing changed\n");
      return 0;
    }
  }
  fs::current_path(dir);
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
  if (result == ResultSuccess) {
    std::fprintf(stderr, "\n");
    std::printf("patch applied (%s)\n", "パッチ作業が完了しました。");
  }
  return static_cast<int>(result);
}

void PrintUsage() {
  std::fprintf(
      stderr,
      "usage:\n"
      "  selfpatch create OLD NEW -o OUT.exe [--arch x86|x64] [--stub FILE]\n"
      "                   [--backup] [--keep-times]\n"
      "  selfpatch info PATCH.exe [--json]\n"
      "  selfpatch verify PATCH.exe [DIR]\n"
      "  selfpatch apply PATCH.exe [DIR] [--yes]\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 2;
  }
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (command == "create") return Create(args);
    if (command == "info") return Info(args);
    if (command == "verify") return Verify(args);
    if (command == "apply") return Apply(args);
    throw Usage("unknown command " + command);
  } catch (const Usage& error) {
    std::fprintf(stderr, "selfpatch: %s\n", error.what());
    PrintUsage();
    return 2;
  } catch (const ProducerError& error) {
    std::fprintf(stderr, "selfpatch: %s\n", error.what());
    return 1;
  } catch (const fs::filesystem_error& error) {
    std::fprintf(stderr, "selfpatch: %s\n", error.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "selfpatch: out of memory\n");
    return 1;
  }
}
