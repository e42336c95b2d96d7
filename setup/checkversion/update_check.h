// What the parts of the update check share: the record of the dialog, the state word and the
// caller's package buffer, and the posting routines.
#pragma once

#include "build_info.h"

// Values of CallbackParam::lState.
const LONG stateRunning = 0;
const LONG stateNewerPackage = 1;   // downloaded and accepted; its path is in pszMsiPackage
const LONG stateStopped = 2;        // nothing newer, declined, failed or cancelled

// Files kept held from the checks until msiexec has ended, so that what was checked is what is
// installed: the local package from its first use as an anchor, an accepted download and its
// folder. INVALID_HANDLE_VALUE where nothing is held.
struct PackageHolds
{
    HANDLE hLocal;
    HANDLE hPackage;
    HANDLE hFolder;
};

void InitHolds(PackageHolds& holds);
// Closes every hold; safe on an empty record and twice.
void ReleaseHolds(PackageHolds& holds);
// Moves every hold of from into to, releasing what to held before.
void MoveHolds(PackageHolds& from, PackageHolds& to);

struct WorkerShare;

// Shared by the main thread, the worker and every progress callback. lState is only ever
// accessed atomically; the other fields are written before the worker starts. The package
// buffer and the holds are the worker's until it has ended.
struct CallbackParam
{
    HWND hwndDialog;
    volatile LONG lState;
    LPWSTR pszMsiPackage;
    DWORD cchMsiPackage;
    PackageHolds* pHolds;
    // Set by the dialog's Cancel, and by the main thread once its loop has ended: whatever the
    // state says (a transfer phase sets it back to running), the check is to end now.
    volatile LONG lCancelled;
    // The share this record is part of, which every transfer holds while it runs; none outside
    // the update check (tests, tools).
    WorkerShare* pShare;
};

// How the update check ended, as far as the rest of the run must know.
enum CheckEnd
{
    checkEndedNormally,
    checkLeftTransfer,          // a transfer may still run inside WinInet
    checkEndedWorkerByForce,    // the worker may have died inside a library
    checkLeftWorkerSuspended,   // the worker may own the loader lock: load no library
};

// Asks the person whether to take the latest build; true to go ahead.
typedef bool (*ConfirmCallback)(HWND hDialog, const BuildInfo& latest);

LONG LoadState(const CallbackParam& param);
bool IsCancelled(const CallbackParam& param);
// Cancelled, or the Cancel button pressed while the main thread's loop has not seen it yet.
bool IsStopRequested(const CallbackParam& param);
void StoreRunning(CallbackParam& param);

// Posts a message if the window still exists.
void PostMessageWithCheck(HWND hwnd, UINT uMessage, WPARAM wParam, LPARAM lParam);
// Posts a new position to the dialog's progress bar.
void PostProgress(HWND hwndDialog, DWORD dwPosition);
