// Libraries of the system, never found by a search: one planted beside a downloaded setup.exe
// or in the current directory must never be loaded.
#pragma once

#include <windows.h>

// The full path of a file in the system directory; false when it does not fit in cchPath.
bool GetSystemFilePath(LPCWSTR pszFileName, LPWSTR pszPath, DWORD cchPath);
// Loads a library by its full path, its dependencies from the system directory where the
// system can be told so, else beside the library.
HMODULE LoadLibraryByPath(LPCWSTR pszPath);

// Fills one slot per entry point of pszNames (names each ended by '\0', the list by an empty
// one). NULL when all were found, else the first missing name; the slots are not to be used
// then. Typed tables lay their decltype slots over the array in a union.
LPCSTR BindEntryPoints(HMODULE hModule, LPCSTR pszNames, FARPROC* rgpfnSlots);
// Loads a library of the system directory and binds it; NULL when the library or any entry
// point is missing (freed again then).
HMODULE BindSystemLibrary(LPCWSTR pszLibrary, LPCSTR pszNames, FARPROC* rgpfnSlots);

// The slot of a single entry point, typed as its declaration (F is a function type).
template <typename F>
union EntryPoint
{
    F* pfn;
    FARPROC rgpfnSlots[1];
};
