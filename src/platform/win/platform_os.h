// Windows: the real API.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h must come first.
#include <aclapi.h>
#include <commctrl.h>
#include <process.h>
#include <shobjidl.h>

// A UTF-16 string literal.
#define WTXT(s) L##s
