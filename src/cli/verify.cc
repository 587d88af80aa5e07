// selfpatch verify PATCH.exe [DIR]: what apply would do in DIR, changing
// nothing. It takes apply's own way (loading, the folder check, the
// worker's checks of every entry) with the worker only checking.
#include <memory>

#include "cli/common.h"

namespace {

struct VerifyArgs {
  std::string patch, dir;
};

}  // namespace

Command AddVerifyCommand(CLI::App* app) {
  auto args = std::make_shared<VerifyArgs>();
  CLI::App* command = app->add_subcommand(
      "verify", "check what apply would do in DIR, changing nothing");
  AddPatchAndFolder(command, &args->patch, &args->dir);
  command->footer(
      RunStatuses(
          "apply would apply the patch here, or it is already applied") +
      "Nothing is written: a run cut short is finished or undone "
      "by apply\nonly, before what verify shows.\n");
  return {command, [args] {
            RunOptions options;
            options.checkOnly = true;
            return RunPatch(args->patch, args->dir, options);
          }};
}
