// Asking the user for the folder to patch.
#pragma once

#include "platform/platform.h"

// The folder picker, owned by `owner`: true with the chosen folder's path,
// false when the user cancels or no picker can be shown.
bool PickFolder(HWND owner, WString* folder);
