// The update check before an interactive install: the progress dialog and its loop on the main
// thread, and the worker thread that does all the network work.
#include "checkversion.h"
#include "../setup_base/files.h"
#include "latest_build.h"
#include "own_build.h"
#include "../WinInet/WinInet.h"
#include "../res/resource.h"

#include <commctrl.h>

extern "C" LONG NTAPI LdrLockLoaderLock(ULONG dwFlags, ULONG* pdwDisposition, ULONG_PTR* pCookie);
extern "C" LONG NTAPI LdrUnlockLoaderLock(ULONG dwFlags, ULONG_PTR cookie);

namespace {

const DWORD dwWorkerGraceMs = 10000;
const DWORD cchTitle = 1024;
const int cchCancelText = 31;
const DWORD dwLoaderLockTryMs = 1000;

bool g_bWorkerEndedByForce = false;
bool g_bWorkerLeftSuspended = false;

// Everything the worker writes into: made for one check, freed only once the worker has ended
// by itself, and left alone for good when it had to be stopped.
struct WorkerShare
{
    CallbackParam param;
    PackageHolds holds;
    WCHAR szPackage[MAX_PATH];
};

void MoveHold(HANDLE& hFrom, HANDLE& hTo)
{
    if (hFrom == INVALID_HANDLE_VALUE)
        return;
    CloseFile(hTo);
    hTo = hFrom;
    hFrom = INVALID_HANDLE_VALUE;
}

void SetControlText(HWND hwndDialog, int nControl, LPCWSTR pszText)
{
    BOOL resDIT = SetDlgItemTextW(hwndDialog, nControl, pszText);
    VERIFY_API_CALL(resDIT != FALSE);
}

void InitDialogTexts(HINSTANCE hinst, HWND hwndDialog)
{
    TracePrint("*** CheckForNewVersion: Set window title: start ***");
    HeapPtr<WCHAR> title(AllocText(cchTitle));
    if (title.get() != NULL)
    {
        LoadStringW(hinst, IDS_SETUP_TITLE, title.get(), (int)cchTitle);
        SetWindowTextW(hwndDialog, title.get());
    }
    TracePrint("*** CheckForNewVersion: Set window title: end ***");
    title.reset();

    TracePrint("*** CheckForNewVersion: init description: start ***");
    SetControlText(hwndDialog, IDC_DESCRIPTION, L"");
    TracePrint("*** CheckForNewVersion: init description: end ***");
    TracePrint("*** CheckForNewVersion: init status: start ***");
    SetControlText(hwndDialog, IDC_STATUS, L"");
    TracePrint("*** CheckForNewVersion: init status: end ***");

    TracePrint("*** CheckForNewVersion: set cancel button: start ***");
    WCHAR szCancel[cchCancelText];
    ZeroBytes(szCancel, sizeof(szCancel));
    LoadStringW(hinst, IDS_SKIP, szCancel, cchCancelText);
    SetControlText(hwndDialog, IDCANCEL, szCancel);
    TracePrint("*** CheckForNewVersion: set cancel button: end ***");
}

void StopState(CallbackParam& param)
{
    InterlockedCompareExchange(&param.lState, stateStopped, stateRunning);
}

// The running build's key: string 507, '-', string 511, within the key's 32 characters.
void MakeOwnKey(LPWSTR pszKey)
{
    HINSTANCE hinst = GetModuleHandleW(NULL);
    int cchFirst = LoadStringW(hinst, IDS_PRODUCT_CODE, pszKey, (int)cchBuildKey);
    if (cchFirst < 0 || cchFirst > (int)cchBuildKey - 2)
        cchFirst = 0;
    pszKey[cchFirst] = L'-';
    LoadStringW(hinst, IDS_EDITION_CODE, pszKey + cchFirst + 1, (int)cchBuildKey - 1 - cchFirst);
}

// Only the package's existence counts: without it any newer 9.x build is offered. The one
// beside the executable, which is the one installed, not one in the current directory.
bool PackageExists(LPCWSTR pszMsiPackage)
{
    WCHAR szPath[MAX_PATH];
    if (!GetLocalPackagePath(pszMsiPackage, szPath))
        return false;
    HANDLE hFile = CreateFileW(szPath, 0, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    TracePrint("*** Msi package is opened successfully ***");
    CloseHandle(hFile);
    return true;
}

// The downloaded package's path into the caller's buffer; a path that does not fit is no
// path at all, never a cut one.
bool HandPackageOver(CallbackParam& param, LPCWSTR pszPath)
{
    DWORD cchPath = pszPath != NULL ? (DWORD)lstrlenW(pszPath) : 0;
    if (cchPath == 0 || cchPath >= param.cchMsiPackage)
        return false;
    CopyChars(param.pszMsiPackage, pszPath, cchPath);
    param.pszMsiPackage[cchPath] = L'\0';
    return true;
}

bool CheckWithInternet(CallbackParam& param)
{
    TracePrint("*** Internet connection successfully initialized ***");
    TracePrint("*** Open msi package ***");
    bool bExists = PackageExists(param.pszMsiPackage);
    BuildInfo own;
    InitBuildInfo(own);
    MakeOwnKey(own.szKey);
    own.version = OwnBuildVersion(bExists);
    TracePrint("*** Build info: %S %d.%d.%d.%d***", own.szKey, (int)own.version.dwMajor,
               (int)own.version.dwMinor, (int)own.version.dwRelease, (int)own.version.dwBuild);
    ConfirmCallback pfnConfirm = ConfirmNewBuild;

    TracePrint("*** Check latest build: start ***");
    bool bResult = CheckLatestBuild(param, own, &pfnConfirm) &&
                   HandPackageOver(param, own.UrlList());
    TracePrint("*** Check latest build: end ***");
    InterlockedCompareExchange(&param.lState, bResult ? stateNewerPackage : stateStopped,
                               stateRunning);
    PostMessageWithCheck(param.hwndDialog, WM_NULL, 0, 0);
    // A transfer left running may still be inside WinInet.
    if (param.lTransferLeft == 0)
        UninitializeInternet();
    ReleaseBuildInfo(own);
    return bResult;
}

bool RunWorker(CallbackParam& param)
{
    TracePrint("*** Initialize internet connection: start ***");
    bool bResult = false;
    if (InitializeInternet())
        bResult = CheckWithInternet(param);
    else
    {
        StopState(param);
        PostMessageWithCheck(param.hwndDialog, WM_NULL, 0, 0);
    }
    TracePrint("*** Initialize internet connection: end: %d ***", bResult ? 1 : 0);
    return bResult;
}

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
    g_bWorkerEndedByForce = true;
    g_bWorkerLeftSuspended = !res;
    if (!res)
        TracePrint("*** WaitAndClose: Thread is left %s (%d) ***",
                   bSuspended ? "suspended" : "running", (int)dwError);
    SetLastError(dwError);
    return res;
}

} // namespace

LONG LoadState(const CallbackParam& param)
{
    return __atomic_load_n(&param.lState, __ATOMIC_SEQ_CST);
}

bool IsCancelled(const CallbackParam& param)
{
    return __atomic_load_n(&param.lCancelled, __ATOMIC_SEQ_CST) != 0;
}

void StoreRunning(CallbackParam& param)
{
    __atomic_store_n(&param.lState, stateRunning, __ATOMIC_SEQ_CST);
}

bool WorkerEndedByForce()
{
    return g_bWorkerEndedByForce;
}

bool WorkerLeftSuspended()
{
    return g_bWorkerLeftSuspended;
}

void InitHolds(PackageHolds& holds)
{
    holds.hLocal = INVALID_HANDLE_VALUE;
    holds.hPackage = INVALID_HANDLE_VALUE;
    holds.hFolder = INVALID_HANDLE_VALUE;
}

void ReleaseHolds(PackageHolds& holds)
{
    CloseFile(holds.hLocal);
    CloseFile(holds.hPackage);
    CloseFile(holds.hFolder);
}

void MoveHolds(PackageHolds& from, PackageHolds& to)
{
    MoveHold(from.hLocal, to.hLocal);
    MoveHold(from.hPackage, to.hPackage);
    MoveHold(from.hFolder, to.hFolder);
}

void PostMessageWithCheck(HWND hwnd, UINT uMessage, WPARAM wParam, LPARAM lParam)
{
    TracePrint("*** PostMessageWithCheck: start ***");
    if (!IsWindow(hwnd))
        TracePrint("*** PostMessageWithCheck: invalid dialog ***");
    else if (!PostMessageW(hwnd, uMessage, wParam, lParam))
        TracePrint("*** PostMessageWithCheck: can't post ***");
    TracePrint("*** PostMessageWithCheck: end ***");
}

void PostProgress(HWND hwndDialog, DWORD dwPosition)
{
    ASSERT(::IsWindow( hwndDialog ) != FALSE);
    if (!::IsWindow(hwndDialog))
        return;
    HWND hwndProgress = GetDlgItem(hwndDialog, IDC_PROGRESS);
    ASSERT(::IsWindow( hwndProgress ) != FALSE);
    if (!::IsWindow(hwndProgress))
        return;
    PostMessageW(hwndProgress, PBM_SETPOS, dwPosition, 0);
    TracePrint("*** PostProgress: post progress: %d ***", (int)dwPosition);
}

INT_PTR CALLBACK DownloadBuildDialogProc(HWND hwnd, UINT uMessage, WPARAM wParam, LPARAM)
{
    if (uMessage != WM_COMMAND || LOWORD(wParam) != IDCANCEL)
        return FALSE;
    TracePrint("*** DownloadBuildDialogProc: cancel is received ***");
    volatile LONG* plState = (volatile LONG*)GetWindowLongPtrW(hwnd, DWLP_USER);
    if (plState != NULL)
        InterlockedCompareExchange(plState, stateStopped, stateRunning);
    else
    {
        TracePrint("*** DownloadBuildDialogProc: can't get dialog extra parameter ***");
        PostQuitMessage(-1);
    }
    return TRUE;
}

bool DialogLoop(HWND hwndDialog, CallbackParam& param)
{
    TracePrint("*** Dialog loop: start ***");
    while (LoadState(param) == stateRunning)
    {
        MSG msg;
        BOOL res = GetMessageW(&msg, NULL, 0, 0);
        if (res == 0)
        {
            TracePrint("*** Dialog loop: GetMessage: quit ***");
            StopState(param);
        }
        else if (res == -1)
        {
            TracePrint("*** Dialog loop: GetMessage: error ***");
            InterlockedExchange(&param.lState, stateStopped);
        }
        else if (!IsDialogMessageW(hwndDialog, &msg))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    LONG lState = LoadState(param);
    TracePrint("*** Dialog loop: end: %d ***", (int)lState);
    return lState == stateNewerPackage;
}

bool WaitAndClose(HANDLE hThread, HWND hwndDialog)
{
    if (hThread == NULL)
    {
        TracePrint("WaitAndClose: invalid parameter");
        return false;
    }
    if (WaitServingDialog(hThread, hwndDialog, dwWorkerGraceMs) != WAIT_OBJECT_0)
    {
        TracePrint("*** WaitAndClose: Thread is not signaled, terminate ***");
        BOOL res = EndWorkerByForce(hThread);
        VERIFY_API_CALL(res != FALSE);
        CloseHandle(hThread);
        return false;
    }
    TracePrint("*** WaitAndClose: Thread is signaled ***");
    BOOL res = CloseHandle(hThread);
    VERIFY_API_CALL(res != FALSE);
    return true;
}

DWORD WINAPI WinInetThreadProc(LPVOID lpParameter)
{
    TracePrint("*** WinInetThreadProc: start ***");
    ASSERT(lpParameter != NULL);
    bool bResult = lpParameter != NULL && RunWorker(*(CallbackParam*)lpParameter);
    int nExitCode = bResult ? 0 : -1;
    TracePrint("*** WinInetThreadProc: end: %d ***", nExitCode);
    return (DWORD)nExitCode;
}

// Takes over what a worker that ended by itself left: the holds, and a newer package's path
// when it fits the caller's buffer.
bool TakeResult(WorkerShare& share, bool bNewer, LPWSTR msipackage, DWORD cchMsiPackage,
                PackageHolds& holds)
{
    DWORD cchPath = (DWORD)lstrlenW(share.szPackage);
    bNewer = bNewer && cchPath < cchMsiPackage;
    if (bNewer)
        *CopyChars(msipackage, share.szPackage, cchPath) = L'\0';
    else
    {
        CloseFile(share.holds.hPackage);
        CloseFile(share.holds.hFolder);
    }
    MoveHolds(share.holds, holds);
    return bNewer;
}

bool CheckForNewVersion(HINSTANCE hinst, LPWSTR msipackage, DWORD cchMsiPackage,
                        PackageHolds& holds)
{
    ASSERT(hinst != NULL);
    ASSERT(msipackage != NULL);
    HWND hwndDialog = CreateDialogParamW(hinst, MAKEINTRESOURCEW(IDD_DOWNLOAD_BUILD), NULL,
                                         DownloadBuildDialogProc, 0);
    if (!IsWindow(hwndDialog))
    {
        TracePrint("*** CheckForNewVersion: Can't create dialog ***");
        return false;
    }
    InitDialogTexts(hinst, hwndDialog);
    ShowWindow(hwndDialog, SW_SHOW);

    // The worker writes only into the share: never into the caller's buffer, which a worker
    // that outlives the check could otherwise change after the local path was settled.
    WorkerShare* pShare = msipackage != NULL ? AllocItems<WorkerShare>(1)
                                             : NULL;
    HANDLE hThread = NULL;
    if (pShare != NULL)
    {
        CallbackParam param = {hwndDialog, stateRunning, pShare->szPackage, MAX_PATH,
                               &pShare->holds, 0, 0};
        pShare->param = param;
        InitHolds(pShare->holds);
        CopyChars(pShare->szPackage, msipackage, MAX_PATH - 1);
        TracePrint("*** CheckForNewVersion: Set dialog extra parameter ***");
        SetLastError(0);
        LONG_PTR previous = SetWindowLongPtrW(hwndDialog, DWLP_USER,
                                              (LONG_PTR)&pShare->param.lState);
        bool bSet = previous != 0 || GetLastError() == 0;
        hThread = bSet ? CreateThread(NULL, 0, WinInetThreadProc, &pShare->param, 0, NULL)
                       : NULL;
    }
    if (hThread == NULL)
    {
        TracePrint("*** CheckForNewVersion: Set dialog extra parameter failed ***");
        DestroyWindow(hwndDialog);
        if (pShare != NULL)
            FreeBlock(pShare);
        return false;
    }

    bool bNewer = DialogLoop(hwndDialog, pShare->param);
    InterlockedExchange(&pShare->param.lCancelled, 1);
    bool bEnded = WaitAndClose(hThread, hwndDialog);
    BOOL resDW = DestroyWindow(hwndDialog);
    VERIFY_API_CALL(resDW != FALSE);
    if (!bEnded)
        return false;
    bNewer = TakeResult(*pShare, bNewer, msipackage, cchMsiPackage, holds);
    // A transfer left running still reports into the share.
    if (pShare->param.lTransferLeft == 0)
        FreeBlock(pShare);
    return bNewer;
}
