// The wait for the update check's worker and, when it does not end, its end by force: taken
// while the main thread holds every lock that it needs on its way to msiexec.
#include "worker_end.h"
#include "../setup_base/setup_base.h"

extern "C" LONG NTAPI LdrLockLoaderLock(ULONG dwFlags, ULONG* pdwDisposition, ULONG_PTR* pCookie);
extern "C" LONG NTAPI LdrUnlockLoaderLock(ULONG dwFlags, ULONG_PTR cookie);

namespace {

const DWORD dwWorkerGraceMs = 10000;
const DWORD dwLoaderLockTryMs = 1000;

// Waits for the worker while the dialog lives on: it is painted and takes input, so it is never
// shown as not responding, and the worker's synchronous control texts get through. The dialog
// procedure only ever moves the state from running to stopped: a second Cancel, Esc or close
// starts nothing.
DWORD WaitServingDialog(HANDLE hThread, HWND hwndDialog, DWORD dwTimeoutMs)
{
    DWORD dwStart = GetTickCount();
    for (;;)
    {
        DWORD dwElapsed = GetTickCount() - dwStart;
        DWORD dwLeft = dwElapsed < dwTimeoutMs ? dwTimeoutMs - dwElapsed : 0;
        DWORD dwWait = MsgWaitForMultipleObjects(1, &hThread, FALSE, dwLeft, QS_ALLINPUT);
        if (dwWait != WAIT_OBJECT_0 + 1)
            return dwWait;
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE))
        {
            // The loop that a quit would end has ended already.
            if (msg.message == WM_QUIT)
                continue;
            if (hwndDialog == NULL || !IsDialogMessageW(hwndDialog, &msg))
            {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    }
}

const ULONG dwLoaderLockTryOnly = 2;
const ULONG dwLoaderLockAcquired = 1;

// Takes the loader lock unless another thread keeps it longer than dwLoaderLockTryMs; the
// cookie to release it with, or 0. Imported, never looked up: a look-up (GetModuleHandle,
// GetProcAddress) itself waits for the loader lock, for ever when the worker keeps it.
ULONG_PTR TakeLoaderLock()
{
    DWORD dwStart = GetTickCount();
    do
    {
        ULONG dwDisposition = 0;
        ULONG_PTR cookie = 0;
        if (LdrLockLoaderLock(dwLoaderLockTryOnly, &dwDisposition, &cookie) >= 0 &&
            dwDisposition == dwLoaderLockAcquired)
            return cookie;
        Sleep(1);
    } while (GetTickCount() - dwStart < dwLoaderLockTryMs);
    return 0;
}

void ReleaseLoaderLock(ULONG_PTR cookie)
{
    if (cookie != 0)
        LdrUnlockLoaderLock(0, cookie);
}

// A thread is suspended only outside the system's own short sections (its memory map, for one),
// and the suspension is complete once its context can be read. Ended at once instead, a worker
// busy in such a section takes that lock along, and the next memory mapping of the main thread
// waits for ever.
bool StopWhereItCanBeEnded(HANDLE hThread)
{
    if (SuspendThread(hThread) == (DWORD)-1)
        return false;
    CONTEXT context;
    ZeroBytes(&context, sizeof(context));
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(hThread, &context);
    return true;
}

// Ends the worker by force without letting it take along a lock that the main thread needs
// on its way to msiexec: the trace lock, the loader lock and the process heap are taken first,
// so the worker dies owning none of them. Every one of them is held only for moments by a
// thread that works; a worker worth ending waits on the network, holding none. A worker that
// keeps the loader lock, or that can't be ended, stays suspended instead: it never runs again.
BOOL EndWorkerByForce(HANDLE hThread)
{
    Tracer* pTracer = LockTrace();
    ULONG_PTR loaderCookie = TakeLoaderLock();
    HANDLE hHeap = GetProcessHeap();
    BOOL bHeapLocked = HeapLock(hHeap);
    bool bSuspended = StopWhereItCanBeEnded(hThread);
    BOOL res = FALSE;
    if (loaderCookie != 0)
        res = TerminateThread(hThread, (DWORD)-1);
    else
        SetLastError(ERROR_LOCK_VIOLATION);
    DWORD dwError = GetLastError();
    // Termination completes asynchronously; the locks are given back, and the handle closed,
    // once it has.
    if (res)
        WaitForSingleObject(hThread, dwWorkerGraceMs);
    if (bHeapLocked)
        HeapUnlock(hHeap);
    ReleaseLoaderLock(loaderCookie);
    UnlockTrace(pTracer);
    if (!res)
        TracePrint("*** WaitAndClose: Thread is left %s (%d) ***",
                   bSuspended ? "suspended" : "running", (int)dwError);
    SetLastError(dwError);
    return res;
}

} // namespace

CheckEnd WaitAndClose(HANDLE hThread, HWND hwndDialog)
{
    if (hThread == NULL)
    {
        TracePrint("WaitAndClose: invalid parameter");
        return checkEndedNormally;
    }
    if (WaitServingDialog(hThread, hwndDialog, dwWorkerGraceMs) != WAIT_OBJECT_0)
    {
        TracePrint("*** WaitAndClose: Thread is not signaled, terminate ***");
        BOOL res = EndWorkerByForce(hThread);
        VERIFY_API_CALL(res != FALSE);
        CloseHandle(hThread);
        return res ? checkEndedWorkerByForce : checkLeftWorkerSuspended;
    }
    TracePrint("*** WaitAndClose: Thread is signaled ***");
    BOOL res = CloseHandle(hThread);
    VERIFY_API_CALL(res != FALSE);
    return checkEndedNormally;
}
