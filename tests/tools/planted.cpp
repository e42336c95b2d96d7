// Stands in for a program that setup.exe may start: the engine redistributable, or a decoy
// planted where it must never be started from. Leaves '<own path>.ran' holding the command line
// it was given, and ends with the exit code named by PLANTED_EXIT_CODE (77 when unset).
// With PLANTED_LOAD set it first loads that library by name, as a program that leaves the
// library search order as it is: the proof that a library planted beside it is taken.
#include <windows.h>
#include <stdlib.h>

int wmain()
{
    WCHAR szLibrary[MAX_PATH];
    DWORD cchLibrary = GetEnvironmentVariableW(L"PLANTED_LOAD", szLibrary, MAX_PATH);
    if (cchLibrary != 0 && cchLibrary < MAX_PATH)
        LoadLibraryW(szLibrary);
    WCHAR szMarker[MAX_PATH + 8];
    DWORD cch = GetModuleFileNameW(NULL, szMarker, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return 2;
    lstrcatW(szMarker, L".ran");
    HANDLE hFile = CreateFileW(szMarker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (hFile != INVALID_HANDLE_VALUE)
    {
        LPCWSTR pszCommand = GetCommandLineW();
        DWORD cbWritten = 0;
        WriteFile(hFile, pszCommand, lstrlenW(pszCommand) * sizeof(WCHAR), &cbWritten, NULL);
        CloseHandle(hFile);
    }
    WCHAR szCode[32];
    if (GetEnvironmentVariableW(L"PLANTED_EXIT_CODE", szCode, 32) == 0)
        return 77;
    return _wtoi(szCode);
}
