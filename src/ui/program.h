// The program as started: switches, the folder, the log, and then either
// the dialog or a silent run.
#pragma once

#include "apply/folder_check.h"
#include "package/package_loader.h"
#include "platform/platform.h"

// The text of a run that found every new file already in place.
extern const WCHAR kAlreadyAppliedText[];

// Runs the applier for the arguments `commandLine` (without the program's
// name) and returns the exit code: with /S the result code, without it
// the dialog's result (0); a bad switch gives ResultBadCommandLine either
// way, shown in an error box unless /S is among the switches.
int RunProgram(HINSTANCE instance, const WCHAR* commandLine);

// The whole-patch check of the current folder, written to the run's log:
// its state, and the entries of an applied folder or the entry a run in
// another folder fails at.
FolderCheck CheckCurrentFolder(const PackageLoader& loader);
