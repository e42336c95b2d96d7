// Paths: joins, the executable's own, the temporary directory.
#include "paths.h"
#include "setup_base.h"

bool AppendPathPart(LPWSTR pszBuffer, DWORD cchBuffer, LPCWSTR pszName)
{
    DWORD cchUsed = (DWORD)lstrlenW(pszBuffer);
    bool bSeparated = cchUsed > 0 && pszBuffer[cchUsed - 1] == L'\\';
    if (!bSeparated && !AppendBounded(pszBuffer, cchBuffer, L"\\"))
        return false;
    if (AppendBounded(pszBuffer, cchBuffer, pszName))
        return true;
    pszBuffer[cchUsed] = L'\0';
    return false;
}

bool GetExecutablePath(LPWSTR pszPath)
{
    // A cut path would name some other file: take it as no path at all.
    DWORD cchPath = GetModuleFileNameW(NULL, pszPath, MAX_PATH);
    if (cchPath == 0 || cchPath >= MAX_PATH)
    {
        pszPath[0] = L'\0';
        return false;
    }
    return true;
}

void CutFileName(LPWSTR pszPath)
{
    LPCWSTR pszSlash = FindLastChar(pszPath, L'\\');
    DWORD dwEnd = pszSlash != NULL ? (DWORD)(pszSlash - pszPath) : 0;
    if (dwEnd == 2 && pszPath[1] == L':')
        ++dwEnd;
    pszPath[dwEnd] = L'\0';
}

bool GetExecutableDirectory(LPWSTR pszDirectory)
{
    if (!GetExecutablePath(pszDirectory))
        return false;
    CutFileName(pszDirectory);
    return true;
}

LPWSTR AllocTempDirectory()
{
    DWORD cchTemp = GetTempPathW(0, NULL);
    HeapPtr<WCHAR> temp(cchTemp != 0 ? AllocText(cchTemp) : NULL);
    if (temp.get() == NULL)
        return NULL;
    DWORD cchWritten = GetTempPathW(cchTemp, temp.get());
    return cchWritten != 0 && cchWritten < cchTemp ? temp.release() : NULL;
}

bool MakePackagePath(LPCWSTR pszDirectory, LPCWSTR pszName, LPWSTR pszPath, DWORD cchPath)
{
    bool bAbsolute = pszName[0] == L'\\' || (pszName[0] != L'\0' && pszName[1] == L':');
    pszPath[0] = L'\0';
    bool bFits = bAbsolute ? AppendBounded(pszPath, cchPath, pszName)
                           : AppendBounded(pszPath, cchPath, pszDirectory) &&
                             AppendPathPart(pszPath, cchPath, pszName);
    if (!bFits)
        pszPath[0] = L'\0';
    return bFits;
}
