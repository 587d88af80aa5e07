// The one include through which the system reaches the operating system.
//
// On Windows this is <windows.h> (plus the common-controls messages and the
// runtime's thread creation). Elsewhere it is a small stand-in that declares
// exactly the Win32 subset the system calls, with the same names, types and
// contracts. The build picks the directory (win/ or posix/) that provides
// "platform_os.h"; system code never asks which one it got.
#pragma once

#include <string>

#include "platform_os.h"

// UTF-16 text on every platform: WCHAR is 16 bits wide on both.
using WString = std::basic_string<WCHAR>;

static_assert(sizeof(WCHAR) == 2, "WCHAR must be a UTF-16 code unit");
