// Stands in for a program that setup.exe may start: the engine redistributable, or a decoy
// planted where it must never be started from. Leaves '<own path>.ran' holding the command line
// it was given, and ends with the exit code named by PLANTED_EXIT_CODE (77 when unset).
#include <windows.h>
#include <stdlib.h>

int wmain()
{
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
