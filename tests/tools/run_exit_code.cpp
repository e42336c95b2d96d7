// Starts a command line, waits for it and prints its whole 32-bit exit code, which a Unix shell
// would cut to 8 bits. The command line comes verbatim from the variable RUN_COMMAND_LINE, so
// that no layer of quoting stands between a test and the program it runs.
// The program and everything it starts (msiexec, a redistributable) share a job that ends
// with this process, however this process ends: a test that gives up on a run kills this
// process and leaves nothing of the run behind in the prefix.
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
    HANDLE hJob = CreateJobObjectW(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (hJob == NULL || !SetInformationJobObject(hJob, JobObjectExtendedLimitInformation,
                                                 &limits, sizeof(limits)))
    {
        printf("no job: %lu\n", GetLastError());
        return 2;
    }
    LPWSTR pszCommand = szCommand;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    // Suspended until it is in the job, so that nothing it starts can escape the job.
    if (!CreateProcessW(NULL, pszCommand, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &si,
                        &pi))
    {
        printf("not started: %lu\n", GetLastError());
        return 1;
    }
    if (!AssignProcessToJobObject(hJob, pi.hProcess))
    {
        printf("not in the job: %lu\n", GetLastError());
        TerminateProcess(pi.hProcess, 1);
        return 2;
    }
    ResumeThread(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExitCode = 0;
    GetExitCodeProcess(pi.hProcess, &dwExitCode);
    printf("exit code: %ld\n", (long)dwExitCode);
    fflush(stdout);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
