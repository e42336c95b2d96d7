// Paths the setup works with: its own, the temporary directory, and joins that are refused
// rather than cut (a cut path names another file).
#pragma once

#include <windows.h>

// Appends a name inside the directory in the buffer: a backslash between the two unless the
// directory ends with one already (a drive's root, "E:\\"). False, with the buffer unchanged,
// when it would not fit.
bool AppendPathPart(LPWSTR pszBuffer, DWORD cchBuffer, LPCWSTR pszName);

// The running executable's full path (MAX_PATH characters); false when it can't be had whole.
bool GetExecutablePath(LPWSTR pszPath);

// Ends a path at its last backslash, in place; a drive's root keeps it ("E:\\", not "E:", which
// means the drive's current directory). Without a backslash it becomes empty.
void CutFileName(LPWSTR pszPath);

// The directory of the running executable (MAX_PATH characters), by CutFileName's rule: a
// setup.exe in a drive's root has the root itself, never the drive's current directory.
bool GetExecutableDirectory(LPWSTR pszDirectory);

// A package's path: a relative name is taken from pszDirectory, an absolute one stands. False,
// with an empty buffer, when it does not fit in cchPath.
bool MakePackagePath(LPCWSTR pszDirectory, LPCWSTR pszName, LPWSTR pszPath, DWORD cchPath);

// The temporary directory as a new heap text, or none.
LPWSTR AllocTempDirectory();
