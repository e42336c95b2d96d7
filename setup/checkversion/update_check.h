// What the parts of the update check share: the record of the dialog, the state word and the
// caller's package buffer, and the posting routines.
#pragma once

#include "build_info.h"

// Values of CallbackParam::lState.
const LONG stateRunning = 0;
const LONG stateNewerPackage = 1;   // downloaded and accepted; its path is in pszMsiPackage
const LONG stateStopped = 2;        // nothing newer, declined, failed or cancelled

// Shared by the main thread, the worker and every progress callback. lState is only ever
// accessed atomically; the other fields are written before the worker starts.
struct CallbackParam
{
    HWND hwndDialog;
    volatile LONG lState;
    LPWSTR pszMsiPackage;
    DWORD cchMsiPackage;
};

// Asks the person whether to take the latest build; true to go ahead.
typedef bool (*ConfirmCallback)(HWND hDialog, const BuildInfo& latest);

LONG LoadState(const CallbackParam& param);
void StoreRunning(CallbackParam& param);

// Posts a message if the window still exists.
void PostMessageWithCheck(HWND hwnd, UINT uMessage, WPARAM wParam, LPARAM lParam);
// Posts a new position to the dialog's progress bar.
void PostProgress(HWND hwndDialog, DWORD dwPosition);
