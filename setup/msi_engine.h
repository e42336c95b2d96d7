// The Windows Installer engine check, the engine redistributable and starting child processes.
#pragma once

#include "setup_base/setup_base.h"

const DWORD cchEngineCommand = MAX_PATH;

// Limits the DLL search of the process to the system directory where the system offers it,
// so that DLLs planted beside a downloaded setup.exe are never loaded.
void RestrictDllSearch();


// True when msi.dll of the system directory reports major version 2 or later.
bool CheckMsiVersion();

// The redistributable's full path and its command line, '"<dir>\instmsiw.exe" /q' on the NT
// family and instmsia.exe otherwise; false when either does not fit in cchBuffers.
bool ComposeEngineCommand(LPCWSTR pszExeDir, DWORD dwPlatformId, LPWSTR pszApplication,
                          LPWSTR pszEngineCommand, DWORD cchBuffers);

// Runs the redistributable beside the executable and waits for it; true when it was started,
// with its exit code (0 when it cannot be read) in *pdwExitCode.
bool UpdateMsiEngine(LPCWSTR pszExeDir, LPWSTR pszEngineCommand, DWORD* pdwExitCode);

// Starts pszApplication (a full path, never looked up along the search path) with the given
// command line in pszDirectory; optionally waits and reads the exit code. True when started.
bool RunProcess(LPCWSTR pszApplication, LPWSTR pszCommandLine, LPCWSTR pszDirectory, bool bWait,
                DWORD* pdwExitCode);

// Whether the install line carries REINSTALL: only when the package's product is installed
// already, since REINSTALL on a product that is not installed makes msiexec install nothing
// and still succeed. True when that cannot be found out, as the line always had it.
bool NeedsReinstallTail(LPCWSTR pszExeDir, LPCWSTR pszMsiPackage);
