// The update check before an interactive install.
#pragma once

#include "update_check.h"

// True when a newer package was downloaded; its full path then stands in msipackage. What the
// check held (the local package, an accepted download and its folder) is moved into holds, to
// be released once msiexec has ended. end tells whether anything of the check may still run or
// have died inside a library: unless it ended normally, the process must end without the
// libraries' clean-up.
bool CheckForNewVersion(HINSTANCE hinst, LPWSTR msipackage, DWORD cchMsiPackage,
                        PackageHolds& holds, CheckEnd& end);

// The dialog's procedure and the worker thread, which takes a WorkerShare; exposed for the
// tests.
INT_PTR CALLBACK DownloadBuildDialogProc(HWND hwnd, UINT uMessage, WPARAM wParam, LPARAM lParam);
// Serves the dialog until the check leaves the running state or is cancelled; true when a
// newer package was accepted.
bool DialogLoop(HWND hwndDialog, CallbackParam& param);
DWORD WINAPI WinInetThreadProc(LPVOID lpParameter);
