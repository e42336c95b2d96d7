// Reading a package's Property table and asking for a product's state, through msi.dll of the
// system directory, bound at run time.
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

// Slot types come from the SDK's own declarations, so a wrong signature does not compile.
struct MsiApi
{
    decltype(::MsiOpenDatabaseW)* MsiOpenDatabaseW;
    decltype(::MsiDatabaseOpenViewW)* MsiDatabaseOpenViewW;
    decltype(::MsiViewExecute)* MsiViewExecute;
    decltype(::MsiViewFetch)* MsiViewFetch;
    decltype(::MsiRecordGetStringW)* MsiRecordGetStringW;
    decltype(::MsiCloseHandle)* MsiCloseHandle;
    decltype(::MsiQueryProductStateW)* MsiQueryProductStateW;
    decltype(::MsiEnumRelatedProductsW)* MsiEnumRelatedProductsW;
    decltype(::MsiGetProductInfoW)* MsiGetProductInfoW;
};

// msi.dll with its entry points; hModule is NULL when it could not be bound.
struct MsiLibrary
{
    HMODULE hModule;
    union
    {
        MsiApi api;
        FARPROC rgpfnSlots[sizeof(MsiApi) / sizeof(FARPROC)];
    };
};

bool LoadMsiLibrary(MsiLibrary& library);
void FreeMsiLibrary(MsiLibrary& library);

const DWORD cchPropertyValue = 64;    // a GUID in braces is 38, a version at most 23

// Reads the values of cNames properties of a package, each into its buffer of cchPropertyValue
// characters; false when the package can't be opened or any of them is missing or empty.
bool ReadPackageProperties(const MsiLibrary& library, LPCWSTR pszPackage,
                           const LPCWSTR* rgpszNames, LPWSTR* rgpszValues, int cNames);
