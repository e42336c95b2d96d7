// The update check before an interactive install.
#pragma once

#include <windows.h>

// True when a newer package was downloaded; its full path then stands in msipackage.
bool CheckForNewVersion(HINSTANCE hinst, LPWSTR msipackage, DWORD cchMsiPackage);

// True once the update check's worker had to be ended by force. The process must then end
// without running the libraries' clean-up (TerminateProcess, not ExitProcess): the worker may
// have died inside one of them.
bool WorkerEndedByForce();

// The dialog's procedure, its loop and the worker thread; exposed for the tests.
INT_PTR CALLBACK DownloadBuildDialogProc(HWND hwnd, UINT uMessage, WPARAM wParam, LPARAM lParam);
void WaitAndClose(HANDLE hThread);
DWORD WINAPI WinInetThreadProc(LPVOID lpParameter);
