// selfpatch: makes, inspects, checks and applies patch executables.
//
//   selfpatch create OLD NEW -o OUT.exe   make a patch
//   selfpatch info PATCH.exe [--json]     what a patch carries
//   selfpatch verify PATCH.exe [DIR]      would it apply here?
//   selfpatch apply PATCH.exe [DIR]       apply it, as the applier would
//
// apply and verify run the applier's own loader, worker, checks and commit;
// their exit status is the applier's result code. `selfpatch --help` lists
// every exit status. Each command is a file of its own; this one parses the
// command line and runs the command it names.
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

#include "cli/common.h"
#include "package/name_rule.h"
#include "platform/utf8_main.h"
#include "producer/patch_builder.h"

namespace {

const char kExitStatuses[] =
    "Exit status (each command's --help lists its own):\n"
    "  0      done (create: written; info: listed; verify: would apply or\n"
    "         already applied; apply: applied or already applied)\n"
    "  1-16   info, verify, apply: the applier's result code, printed with\n"
    "         its message (1-6 the patch itself, 7 and up the files in DIR)\n"
    "  1      create: an input or the output cannot be read or written;\n"
    "         nothing is written\n"
    "  64     the command line is wrong: also a DIR that is not a folder, or\n"
    "         an OUT.exe that is a folder, link, device, input, or inside OLD\n"
    "         or NEW\n"
    "  65     create: OLD and NEW hold the same files (see --allow-empty)\n"
    "  66     apply: not confirmed at the prompt; nothing changed\n";

int Run(int argc, char** argv) {
  CLI::App app(
      "selfpatch " SELFPATCH_VERSION
      ": makes self-applying patch executables for Windows programs, and\n"
      "inspects, checks and applies them.",
      "selfpatch");
  app.set_version_flag("-V,--version", "selfpatch " SELFPATCH_VERSION);
  app.require_subcommand(1);
  app.footer(kExitStatuses);
  const Command commands[] = {AddCreateCommand(&app), AddInfoCommand(&app),
                              AddVerifyCommand(&app), AddApplyCommand(&app)};

  if (argc < 2) {
    std::fputs(app.help().c_str(), stderr);
    return kExitUsage;
  }
  // The parser would only say that a command is missing.
  if (argv[1][0] != '-') {
    bool known = false;
    std::string names;
    for (const Command& command : commands) {
      known = known || command.parsed->get_name() == argv[1];
      names += (names.empty() ? "" : ", ") + command.parsed->get_name();
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
    // argv[1], when it is not an option, is a known command.
    std::string help =
        argv[1][0] != '-' ? std::string(argv[1]) + " --help" : "--help";
    std::fprintf(stderr, "selfpatch: %s\nRun 'selfpatch %s' for usage.\n",
                 error.what(), help.c_str());
    return kExitUsage;
  }
  for (const Command& command : commands) {
    if (*command.parsed) return command.run();
  }
  return kExitUsage;
}

}  // namespace

int Utf8Main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "selfpatch: %s\n", error.what());
    return kExitUsage;
  } catch (const ProducerError& error) {
    std::fprintf(stderr, "selfpatch: %s\n", error.what());
  } catch (const std::filesystem::filesystem_error& error) {
    std::fprintf(stderr, "selfpatch: %s\n", error.what());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "selfpatch: out of memory\n");
  }
  return kExitFailure;
}
