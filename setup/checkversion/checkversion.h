// The update check before an interactive install.
#pragma once

#include "update_check.h"

// True when a newer package was downloaded; its full path then stands in msipackage. What the
// check held (the local package, an accepted download and its folder) is moved into holds, to
// be released once msiexec has ended.
bool CheckForNewVersion(HINSTANCE hinst, LPWSTR msipackage, DWORD cchMsiPackage,
                        PackageHolds& holds);

// True once the update check's worker had to be ended by force. The process must then end
// without running the libraries' clean-up (TerminateProcess, not ExitProcess): the worker may
// have died inside one of them.
bool WorkerEndedByForce();
// True when the worker could not be ended safely and was left suspended: it may own the
// loader lock, so nothing may load a library afterwards.
bool WorkerLeftSuspended();

// The dialog's procedure, its loop and the worker thread; exposed for the tests.
INT_PTR CALLBACK DownloadBuildDialogProc(HWND hwnd, UINT uMessage, WPARAM wParam, LPARAM lParam);
// True when the worker ended by itself; false when it had to be ended by force or left
// suspended, and then nothing it could still write may be read or freed.
bool WaitAndClose(HANDLE hThread, HWND hwndDialog = NULL);
DWORD WINAPI WinInetThreadProc(LPVOID lpParameter);
