// The msiexec command lines of the setup and the name of msiexec's verbose install log.
#pragma once

#include "command_line.h"

const DWORD cchMsiexecCommand = 1024;
const DWORD cchInstallLog = MAX_PATH;

// The last `width` (1 to 4) decimal digits of n, zero-padded, terminated; an empty string for
// any other width. pszOut holds at least 5 characters.
LPWSTR FormatDigits(DWORD n, int width, LPWSTR pszOut);

// pszTempPath + "tw-install-" (or "tw-uninstall-") + YYYY-MM-DD-HH-MM-SS + ".log"; false, with an
// empty result, when it does not fit in cchLog characters.
bool FormatInstallLogPath(LPWSTR pszLog, DWORD cchLog, LPCWSTR pszTempPath, bool bUninstall,
                          const SYSTEMTIME& st);

// The default log in the temporary directory at the present local time, or NULL when the
// temporary path cannot be read or the name does not fit (msiexec then gets no log option).
LPWSTR MakeInstallLogPath(LPWSTR pszInstallLog, bool bUninstall);

// Each composition rewrites pszCommand from its start. False when the line does not fit in
// cchCommand characters: it must then not be run, as a cut line would mean something else.
bool ComposeInstallCommand(const SetupOptions& options, LPCWSTR pszMsiPackage,
                           bool bReinstallTail, LPWSTR pszCommand, DWORD cchCommand);
bool ComposeUninstallCommand(const SetupOptions& options, LPWSTR pszCommand, DWORD cchCommand);
bool AppendCommonArguments(const SetupOptions& options, LPWSTR pszCommand, DWORD cchCommand);

