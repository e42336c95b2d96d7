// The update check before an interactive install: the progress dialog and its loop on the main
// thread, and the worker thread that does all the network work.
#include "checkversion.h"
#include "../setup_base/files.h"
#include "latest_build.h"
#include "own_build.h"
#include "transfer.h"
#include "worker_end.h"
#include "../WinInet/WinInet.h"
#include "../res/resource.h"

#include <commctrl.h>

namespace {

const DWORD cchTitle = 1024;
const int cchCancelText = 31;

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

void InitDialogTexts(HWND hwndDialog)
{
    TracePrint("*** CheckForNewVersion: Set window title: start ***");
    HeapPtr<WCHAR> title(AllocStringRow(IDS_SETUP_TITLE, cchTitle));
    if (title.get() != NULL)
        SetWindowTextW(hwndDialog, title.get());
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
    LoadStringRow(IDS_SKIP, szCancel, cchCancelText);
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
    int cchFirst = LoadStringRow(IDS_PRODUCT_CODE, pszKey, cchBuildKey);
    if (cchFirst < 0 || cchFirst > (int)cchBuildKey - 2)
        cchFirst = 0;
    pszKey[cchFirst] = L'-';
    LoadStringRow(IDS_EDITION_CODE, pszKey + cchFirst + 1, cchBuildKey - 1 - cchFirst);
}

// Only the package's existence counts: without it any newer 9.x build is offered. The one
// beside the executable, which is the one installed, not one in the current directory.
bool PackageExists(LPCWSTR pszMsiPackage)
{
    WCHAR szPath[MAX_PATH];
    if (!GetLocalPackagePath(pszMsiPackage, szPath))
        return false;
    FileHandle file(CreateFileW(szPath, 0, 0, NULL, OPEN_EXISTING, 0, NULL));
    if (!file.IsOpen())
        return false;
    TracePrint("*** Msi package is opened successfully ***");
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

bool CheckWithInternet(WorkerShare& share)
{
    CallbackParam& param = share.param;
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
    bool bResult = CheckLatestBuild(param, share.hSession, own, &pfnConfirm) &&
                   HandPackageOver(param, own.UrlList());
    TracePrint("*** Check latest build: end ***");
    InterlockedCompareExchange(&param.lState, bResult ? stateNewerPackage : stateStopped,
                               stateRunning);
    PostMessageWithCheck(param.hwndDialog, WM_NULL, 0, 0);
    ReleaseBuildInfo(own);
    return bResult;
}

// WinInet and its session are the share's: a transfer left behind may still use them.
bool RunWorker(WorkerShare& share)
{
    TracePrint("*** Initialize internet connection: start ***");
    bool bResult = false;
    share.bInternetBound = InitializeInternet();
    if (share.bInternetBound)
        bResult = CheckWithInternet(share);
    else
    {
        StopState(share.param);
        PostMessageWithCheck(share.param.hwndDialog, WM_NULL, 0, 0);
    }
    TracePrint("*** Initialize internet connection: end: %d ***", bResult ? 1 : 0);
    return bResult;
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

bool IsStopRequested(const CallbackParam& param)
{
    return LoadState(param) != stateRunning || IsCancelled(param);
}

void StoreRunning(CallbackParam& param)
{
    __atomic_store_n(&param.lState, stateRunning, __ATOMIC_SEQ_CST);
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
    {
        // The person's Cancel is final: a transfer phase that sets the state back to running
        // between this and the loop's next look must not undo it.
        CallbackParam* pParam = CONTAINING_RECORD(plState, CallbackParam, lState);
        InterlockedExchange(&pParam->lCancelled, 1);
        InterlockedCompareExchange(plState, stateStopped, stateRunning);
    }
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
    while (LoadState(param) == stateRunning && !IsCancelled(param))
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

DWORD WINAPI WinInetThreadProc(LPVOID lpParameter)
{
    TracePrint("*** WinInetThreadProc: start ***");
    ASSERT(lpParameter != NULL);
    WorkerShare* pShare = (WorkerShare*)lpParameter;
    bool bResult = pShare != NULL && RunWorker(*pShare);
    int nExitCode = bResult ? 0 : -1;
    TracePrint("*** WinInetThreadProc: end: %d ***", nExitCode);
    ReleaseShare(pShare);
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
                        PackageHolds& holds, CheckEnd& end)
{
    ASSERT(hinst != NULL);
    ASSERT(msipackage != NULL);
    end = checkEndedNormally;
    HWND hwndDialog = CreateDialogParamW(hinst, MAKEINTRESOURCEW(IDD_DOWNLOAD_BUILD), NULL,
                                         DownloadBuildDialogProc, 0);
    if (!IsWindow(hwndDialog))
    {
        TracePrint("*** CheckForNewVersion: Can't create dialog ***");
        return false;
    }
    InitDialogTexts(hwndDialog);
    ShowWindow(hwndDialog, SW_SHOW);

    // The worker writes only into the share: never into the caller's buffer, which a worker
    // that outlives the check could otherwise change after the local path was settled.
    WorkerShare* pShare = msipackage != NULL ? NewWorkerShare(hwndDialog, msipackage) : NULL;
    HANDLE hThread = NULL;
    if (pShare != NULL)
    {
        TracePrint("*** CheckForNewVersion: Set dialog extra parameter ***");
        SetLastError(0);
        LONG_PTR previous = SetWindowLongPtrW(hwndDialog, DWLP_USER,
                                              (LONG_PTR)&pShare->param.lState);
        bool bSet = previous != 0 || GetLastError() == 0;
        HoldShare(pShare);      // the worker's
        hThread = bSet ? CreateThread(NULL, 0, WinInetThreadProc, pShare, 0, NULL) : NULL;
        if (hThread == NULL)
            ReleaseShare(pShare);
    }
    if (hThread == NULL)
    {
        TracePrint("*** CheckForNewVersion: Set dialog extra parameter failed ***");
        DestroyWindow(hwndDialog);
        ReleaseShare(pShare);
        return false;
    }

    bool bNewer = DialogLoop(hwndDialog, pShare->param);
    InterlockedExchange(&pShare->param.lCancelled, 1);
    end = WaitAndClose(hThread, hwndDialog);
    BOOL resDW = DestroyWindow(hwndDialog);
    VERIFY_API_CALL(resDW != FALSE);
    bNewer = end == checkEndedNormally
          && TakeResult(*pShare, bNewer, msipackage, cchMsiPackage, holds);
    // A worker that was stopped never lets go of the share. After one that ended by itself,
    // whoever still holds it is a transfer that may still run inside WinInet.
    if (!ReleaseShare(pShare) && end == checkEndedNormally)
        end = checkLeftTransfer;
    return bNewer;
}
