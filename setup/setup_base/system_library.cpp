// Loading and binding libraries of the system directory.
#include "system_library.h"
#include "setup_base.h"

bool GetSystemFilePath(LPCWSTR pszFileName, LPWSTR pszPath, DWORD cchPath)
{
    UINT cchSystem = GetSystemDirectoryW(pszPath, cchPath);
    if (cchSystem == 0 || cchSystem >= cchPath)
    {
        if (cchPath > 0)
            pszPath[0] = L'\0';
        return false;
    }
    if (!AppendBounded(pszPath, cchPath, L"\\") || !AppendBounded(pszPath, cchPath, pszFileName))
    {
        pszPath[0] = L'\0';
        return false;
    }
    return true;
}

// The search flags of LoadLibraryEx came with AddDllDirectory; without it they are refused.
bool CanSearchSystemOnly()
{
    HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
    return hKernel != NULL && GetProcAddress(hKernel, "AddDllDirectory") != NULL;
}

HMODULE LoadLibraryByPath(LPCWSTR pszPath)
{
    DWORD dwFlags = CanSearchSystemOnly() ? LOAD_LIBRARY_SEARCH_SYSTEM32
                                          : LOAD_WITH_ALTERED_SEARCH_PATH;
    return LoadLibraryExW(pszPath, NULL, dwFlags);
}

LPCSTR BindEntryPoints(HMODULE hModule, LPCSTR pszNames, FARPROC* rgpfnSlots)
{
    for (LPCSTR psz = pszNames; *psz != '\0'; psz += lstrlenA(psz) + 1)
    {
        *rgpfnSlots = GetProcAddress(hModule, psz);
        if (*rgpfnSlots++ == NULL)
            return psz;
    }
    return NULL;
}

HMODULE BindSystemLibrary(LPCWSTR pszLibrary, LPCSTR pszNames, FARPROC* rgpfnSlots)
{
    WCHAR szPath[MAX_PATH];
    HMODULE hModule = GetSystemFilePath(pszLibrary, szPath, MAX_PATH) ? LoadLibraryByPath(szPath)
                                                                      : NULL;
    if (hModule != NULL && BindEntryPoints(hModule, pszNames, rgpfnSlots) != NULL)
    {
        FreeLibrary(hModule);
        hModule = NULL;
    }
    return hModule;
}
