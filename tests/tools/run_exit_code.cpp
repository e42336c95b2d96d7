// Starts a command line, waits for it and prints its whole 32-bit exit code, which a Unix shell
// would cut to 8 bits. The command line comes verbatim from the variable RUN_COMMAND_LINE, so
// that no layer of quoting stands between a test and the program it runs.
#include <windows.h>
#include <stdio.h>

int wmain()
{
    static WCHAR szCommand[32768];
    if (GetEnvironmentVariableW(L"RUN_COMMAND_LINE", szCommand, 32768) == 0)
    {
        printf("RUN_COMMAND_LINE is not set\n");
        return 2;
    }
    LPWSTR pszCommand = szCommand;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(NULL, pszCommand, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
    {
        printf("not started: %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExitCode = 0;
    GetExitCodeProcess(pi.hProcess, &dwExitCode);
    printf("exit code: %ld\n", (long)dwExitCode);
    fflush(stdout);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
