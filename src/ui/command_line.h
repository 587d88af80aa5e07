// The applier's switches, in the convention of Windows installers:
//   /S            silent: no dialog, no message box; the exit code is the
//                 result code
//   /LOG=<file>   a UTF-8 log of the run (quote a name with spaces)
//   /D=<folder>   the folder to patch; the rest of the line, spaces and all,
//                 so it comes last and is not quoted (a launcher that quotes
//                 the whole argument, "/D=C:\My App", is understood too)
// Switch names are not case-sensitive. No switches: the dialog in the
// current folder.
#pragma once

#include "platform/platform.h"

struct CommandLine {
  bool silent = false;
  WString folder;
  WString logFile;
};

// Parses the arguments after the program's name. False for a switch that
// is unknown or lacks its value, named in `bad`; every switch is still read,
// so `silent` holds wherever /S stands.
bool ParseCommandLine(const WCHAR* line, CommandLine* options, WString* bad);
