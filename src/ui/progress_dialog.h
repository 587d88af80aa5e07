// The program: one modal dialog that loads and verifies the package, asks
// the user, starts the worker and follows its messages until it closes.
#pragma once

#include "apply/patch_thread.h"
#include "platform/platform.h"
#include "runtime/shared_array.h"

// The worker's holder, published next to g_loaderHolder for the dialog.
extern SharedArray<CPatchThread>* g_workerHolder;

// "Patching finished."
extern const WCHAR kCompleteText[];

// "Apply the differential patch?" Returns IDYES or IDNO.
int ConfirmApply(HWND owner);
// The error box for `message`.
void ShowError(HWND owner, const WCHAR* message);

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam,
                                    LPARAM lParam);

// Runs the dialog with the process-wide holders, then releases the loader
// and the worker (whose destructor stops and joins its thread). Returns the
// dialog's result: 0, or -1 when the dialog cannot be created.
INT_PTR RunApplier(HINSTANCE instance);
