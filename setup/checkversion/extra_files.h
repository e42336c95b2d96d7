// Companion files: those of string 2011's ';'-separated masks that lie beside the executable
// are copied next to a downloaded package.
#pragma once

#include <windows.h>

// True when pszPath lies in the setup's own folder and its name matches a mask of the list.
bool IsCompanionFile(LPCWSTR pszPath);

// True when every companion file found was copied, or there was nothing to copy. A companion is
// copied into a new file of its own and renamed over the target, never written through a link;
// a link, reparse point or file of several names at the target fails its copy.
bool CopyExtraFiles(LPCWSTR newFileName);

// Copies the files of every mask of a ';'-separated list, going on past a failed mask; true when
// none failed. The list is written into while a mask is copied and restored before returning.
bool CopyListedFiles(LPCWSTR oldLocation, LPCWSTR newLocation, LPWSTR pszList);

// Copies every file of oldLocation that matches fileMask into newLocation, replacing files of
// the same name; true when all copies succeeded or nothing matched.
bool CopyFiles(LPCWSTR oldLocation, LPCWSTR newLocation, LPCWSTR fileMask);
