#include "watchdog.h"

#include <iostream>
#include <stdio.h>

namespace {

const UINT uHungExitCode = 3;

} // namespace

Watchdog::Watchdog(const char* pszWaitedFor, DWORD dwLimitMs)
    : m_pszWaitedFor(pszWaitedFor), m_dwLimitMs(dwLimitMs),
      m_hStarted(CreateEventW(NULL, TRUE, FALSE, NULL)),
      m_hDone(CreateEventW(NULL, TRUE, FALSE, NULL)),
      m_hThread(CreateThread(NULL, 0, Watch, this, 0, NULL))
{
    // Running before the case starts: a case that keeps the loader lock would otherwise hold
    // the watchdog's own start-up too.
    WaitForSingleObject(m_hStarted, INFINITE);
}

Watchdog::~Watchdog()
{
    SetEvent(m_hDone);
    WaitForSingleObject(m_hThread, INFINITE);
    CloseHandle(m_hThread);
    CloseHandle(m_hDone);
    CloseHandle(m_hStarted);
}

DWORD WINAPI Watchdog::Watch(LPVOID pvWatchdog)
{
    Watchdog& dog = *(Watchdog*)pvWatchdog;
    SetEvent(dog.m_hStarted);
    if (WaitForSingleObject(dog.m_hDone, dog.m_dwLimitMs) != WAIT_TIMEOUT)
        return 0;
    // The case's thread is stuck, so nothing else writes to the output meanwhile.
    std::cout.flush();
    fflush(stdout);
    char szLine[512];
    int cch = wsprintfA(szLine, "\nWATCHDOG: still waiting after %lu ms for %s; the run ends "
                        "here\n", dog.m_dwLimitMs, dog.m_pszWaitedFor);
    DWORD cbWritten = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), szLine, (DWORD)cch, &cbWritten, NULL);
    TerminateProcess(GetCurrentProcess(), uHungExitCode);
    return 0;
}
