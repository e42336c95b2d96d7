// A bound on a test case that can hang: when the case has not let its watchdog go within the
// limit, one line on the error output names what it waited for, the output so far is flushed,
// and the run ends at once with a failure, instead of at the whole run's time-out with its
// output lost.
#pragma once

#include <windows.h>

class Watchdog
{
public:
    Watchdog(const char* pszWaitedFor, DWORD dwLimitMs);
    ~Watchdog();

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    static DWORD WINAPI Watch(LPVOID pvWatchdog);

    const char* m_pszWaitedFor;
    DWORD m_dwLimitMs;
    HANDLE m_hStarted;
    HANDLE m_hDone;
    HANDLE m_hThread;
};
