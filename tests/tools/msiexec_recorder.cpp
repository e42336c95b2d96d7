// Takes the place of msiexec.exe in a throw-away Wine prefix: appends the exact command line it
// was given to the file named by MSIEXEC_RECORD (one UTF-8 line each), then runs the real
// msiexec, kept at MSIEXEC_REAL, with the same command line and ends with its exit code.
#include <windows.h>

namespace {

void Record(LPCWSTR pszCommand)
{
    WCHAR szRecord[MAX_PATH];
    if (GetEnvironmentVariableW(L"MSIEXEC_RECORD", szRecord, MAX_PATH) == 0)
        return;
    HANDLE hFile = CreateFileW(szRecord, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0,
                               NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return;
    static char szLine[65536];
    int cb = WideCharToMultiByte(CP_UTF8, 0, pszCommand, -1, szLine, sizeof(szLine) - 2, NULL,
                                 NULL);
    if (cb > 0)
    {
        szLine[cb - 1] = '\n';
        DWORD cbWritten = 0;
        WriteFile(hFile, szLine, cb, &cbWritten, NULL);
    }
    CloseHandle(hFile);
}

} // namespace

int wmain()
{
    LPWSTR pszCommand = GetCommandLineW();
    Record(pszCommand);
    WCHAR szReal[MAX_PATH];
    if (GetEnvironmentVariableW(L"MSIEXEC_REAL", szReal, MAX_PATH) == 0)
        return 1157;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(szReal, pszCommand, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return 1157;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExitCode = 0;
    GetExitCodeProcess(pi.hProcess, &dwExitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return (int)dwExitCode;
}
