// A download's transfer thread, and the counted records that it shares with the update check.
#include "transfer.h"
#include "progress_callbacks.h"
#include "resume.h"
#include "../setup_base/files.h"
#include "../WinInet/WinInet.h"
#include "../res/resource.h"

// The blocking part of a job, opening the remote file, copying and closing it, runs on a thread
// of its own. A synchronous WinInet call can't be made to return from outside (closing a handle
// that a call is using is not safe, and under Wine it does not even end the call), so after a
// Cancel the worker stops waiting for a transfer that does not end by itself within a moment
// and lets go of it: whoever lets go last releases the record and what it holds.
struct Transfer
{
    volatile LONG lRefs;            // the worker's and the transfer thread's
    WorkerShare* pShare;            // held until the record is released; none outside a check
    HINTERNET hSession;
    CallbackParam* pParam;
    HANDLE hLocal;                  // a duplicate of the job's
    LPWSTR pszSourceList;           // the transfer's own copy
    ProgressCallback pfnCopyCallback;
    BuildVersion version;
    bool bCopied;                   // read by the worker once the thread has ended
    ResumeScope scope;
    ResumeCount count;
    RemoteAnswer answer;            // the current pass's first answer
    ListSpan opened;                // the node of the list that opened, read like bCopied
    WCHAR szLocalPath[MAX_PATH];
    WCHAR szCopyStatus[cchJobText];
    WCHAR szUrl[cchUrlListMax + 1]; // the mirror of the current pass
};

namespace {

const DWORD dwCancelPollMs = 50;
const DWORD dwTransferGraceMs = 300;

// The opener's callback, noting the node that opened: a signature beside the file is fetched
// from the mirror that served it.
bool OpenCallback(int nEvent, void* pProgress, void* pvTransfer)
{
    Transfer& transfer = *(Transfer*)pvTransfer;
    if (nEvent == PROGRESS_COMPLETED)
        transfer.opened = ((const OpenUrlProgress*)pProgress)->opened;
    return TryOpenUrlCallback(nEvent, pProgress, transfer.pParam);
}

bool OpenRemote(Transfer& transfer, HINTERNET& hRemote, LPWSTR pszOpenedUrl)
{
    CallbackParam& param = *transfer.pParam;
    TracePrint("*** Download: Try open URL: start ***");
    TracePrint("*** Download: set open connection status: start ***");
    if (SetControlString(param.hwndDialog, IDC_STATUS, IDS_CONNECTING))
        TracePrint("*** Download: set open connection status: end ***");
    StoreRunning(param);
    bool bOpened = TryOpenUrl(transfer.hSession, param.hwndDialog, transfer.pszSourceList, true,
                              OpenCallback, &transfer, &hRemote, pszOpenedUrl,
                              &param.lCancelled);
    TracePrint("*** Download: Try open URL: end ***");
    return bOpened;
}

bool CopyRemote(Transfer& transfer, HINTERNET hRemote, const CopyProgress* pWritten)
{
    CallbackParam& param = *transfer.pParam;
    TracePrint("*** Download: Internet copy file: start: %S ***", transfer.szLocalPath);
    if (transfer.szCopyStatus[0] != L'\0')
    {
        TracePrint("*** DownloadImpl: set internet copy status: start ***");
        BOOL resDIT = SetDlgItemTextW(param.hwndDialog, IDC_STATUS, transfer.szCopyStatus);
        VERIFY_API_CALL(resDIT != FALSE);
        TracePrint("*** DownloadImpl: set internet copy status: end ***");
    }
    StoreRunning(param);
    bool bCopied = InternetCopyFile(hRemote, transfer.hLocal, transfer.pfnCopyCallback, &param,
                                    pWritten);
    TracePrint("*** Download: Internet copy file: end ***");
    if (!bCopied)
        return false;
    TracePrint("*** Download: Download successfully finished ***");
    return true;
}

// The share goes last: letting go of it may release the session and WinInet, which this thread
// may be the last to use.
void FreeTransfer(Transfer* pTransfer)
{
    WorkerShare* pShare = pTransfer->pShare;
    CloseFile(pTransfer->hLocal);
    if (pTransfer->pszSourceList != NULL)
        FreeBlock(pTransfer->pszSourceList);
    FreeBlock(pTransfer);
    ReleaseShare(pShare);
}

// The file's end, where the next piece goes; INVALID_SET_FILE_POINTER when it can't be had.
DWORD WrittenLength(HANDLE hLocal)
{
    return SetFilePointer(hLocal, 0, NULL, FILE_END);
}

// Empties the staging file through the transfer's own handle: the one file created new and
// held stays the only one written.
bool StartAgain(Transfer& transfer)
{
    return SetFilePointer(transfer.hLocal, 0, NULL, FILE_BEGIN) == 0
        && SetEndOfFile(transfer.hLocal)
        && ComposeDownloadStatus(transfer.szCopyStatus, transfer.version,
                                 transfer.answer.dwLength);
}

// The download from its first byte, from the first of the mirrors left that opens.
bool OpenFromZero(Transfer& transfer, InternetHandle& remote)
{
    if (!OpenRemote(transfer, *remote.out(), transfer.szUrl))
        return false;
    ReadAnswer(transfer.hSession, transfer.szUrl, remote.get(), transfer.answer);
    return StartAgain(transfer);
}

// Only a length that was announced tells a break from the end, and where a piece belongs.
bool MayResume(Transfer& transfer, DWORD dwWritten, bool bGained)
{
    const CallbackParam& param = *transfer.pParam;
    if (LoadState(param) != stateRunning || IsCancelled(param))
        return false;
    DWORD dwLength = transfer.answer.dwLength;
    if (dwLength == 0 || dwLength == INVALID_FILE_SIZE || dwWritten >= dwLength
        || !ChargeResume(transfer.count, bGained))
    {
        TracePrint("*** Download: no resume: %d of %d bytes, %d resumes ***", (int)dwWritten,
                   (int)dwLength, transfer.count.nCharged);
        return false;
    }
    return WaitBackoff(transfer.count, param);
}

// The rest after dwWritten bytes: from the same mirror where the answer shows it is the same
// file, else from the others, or from zero.
bool Reopen(Transfer& transfer, DWORD dwWritten, InternetHandle& connection,
            InternetHandle& remote)
{
    bool bChecked = transfer.scope == resumeAnyMirror;
    bool bValidated = transfer.answer.szValidator[0] != L'\0';
    if (!bChecked && !bValidated && !IsFtpUrl(transfer.szUrl))
        return OpenFromZero(transfer, remote);
    ReopenOutcome outcome = ReopenRemote(transfer.hSession, transfer.szUrl, dwWritten,
                                         bValidated, transfer.answer, *connection.out(),
                                         *remote.out());
    while (outcome == REOPEN_FAILED)
    {
        if (!bChecked)
        {
            NextMirror(transfer.pszSourceList, transfer.szUrl);
            return OpenFromZero(transfer, remote);
        }
        if (!NextMirror(transfer.pszSourceList, transfer.szUrl))
            return false;
        outcome = ReopenRemote(transfer.hSession, transfer.szUrl, dwWritten, false,
                               transfer.answer, *connection.out(), *remote.out());
    }
    return outcome == REOPEN_CONTINUES || StartAgain(transfer);
}

// A package download: every break is continued from the bytes written, within the count.
bool CopyResumable(Transfer& transfer)
{
    InternetHandle connection;      // an FTP resume's own, closed after its file
    InternetHandle remote;
    InitResumeCount(transfer.count);
    if (!OpenFromZero(transfer, remote))
        return false;
    for (;;)
    {
        CopyProgress written = {transfer.answer.dwLength, WrittenLength(transfer.hLocal), 0};
        if (CopyRemote(transfer, remote.get(), &written))
            return true;
        DWORD dwWritten = WrittenLength(transfer.hLocal);
        remote.reset();
        connection.reset();
        if (!MayResume(transfer, dwWritten, dwWritten != written.dwBytesCopied)
            || !Reopen(transfer, dwWritten, connection, remote))
            return false;
    }
}

DWORD WINAPI TransferProc(LPVOID pvTransfer)
{
    Transfer& transfer = *(Transfer*)pvTransfer;
    if (transfer.scope != resumeNever)
        transfer.bCopied = CopyResumable(transfer);
    else
    {
        InternetHandle remote;
        transfer.bCopied = OpenRemote(transfer, *remote.out(), NULL)
                        && CopyRemote(transfer, remote.get(), NULL);
    }
    ReleaseTransfer(&transfer);
    return 0;
}

} // namespace

// Messages sent to this thread's windows are served meanwhile: the transfer sets texts of the
// dialog synchronously, whichever thread owns it.
bool AwaitThread(HANDLE hThread, const CallbackParam& param)
{
    DWORD dwCancelled = 0;
    bool bCancelled = false;
    for (;;)
    {
        DWORD dwWait = MsgWaitForMultipleObjects(1, &hThread, FALSE, dwCancelPollMs,
                                                 QS_SENDMESSAGE);
        if (dwWait == WAIT_OBJECT_0)
            return true;
        MSG msg;
        if (dwWait == WAIT_OBJECT_0 + 1)
            PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        if (!bCancelled && IsCancelled(param))
        {
            bCancelled = true;
            dwCancelled = GetTickCount();
        }
        if (bCancelled && GetTickCount() - dwCancelled >= dwTransferGraceMs)
            return false;
    }
}

WorkerShare* NewWorkerShare(HWND hwndDialog, LPCWSTR pszMsiPackage)
{
    WorkerShare* pShare = AllocItems<WorkerShare>(1);
    if (pShare == NULL)
        return NULL;
    pShare->lRefs = 1;
    CallbackParam param = {hwndDialog, stateRunning, pShare->szPackage, MAX_PATH,
                           &pShare->holds, 0, pShare};
    pShare->param = param;
    InitHolds(pShare->holds);
    CopyChars(pShare->szPackage, pszMsiPackage, MAX_PATH - 1);
    return pShare;
}

void HoldShare(WorkerShare* pShare)
{
    if (pShare != NULL)
        InterlockedIncrement(&pShare->lRefs);
}

bool ReleaseShare(WorkerShare* pShare)
{
    if (pShare == NULL || InterlockedDecrement(&pShare->lRefs) != 0)
        return false;
    ReleaseHolds(pShare->holds);
    if (pShare->hSession != NULL)
        CloseInternetHandle(pShare->hSession);
    if (pShare->bInternetBound)
        UninitializeInternet();
    FreeBlock(pShare);
    return true;
}

Transfer* NewTransfer(HINTERNET hSession, CallbackParam& param, const TransferRequest& request)
{
    Transfer* pTransfer = AllocItems<Transfer>(1);
    if (pTransfer == NULL)
        return NULL;
    pTransfer->hLocal = INVALID_HANDLE_VALUE;
    DWORD cchList = (DWORD)lstrlenW(request.pszSourceList);
    pTransfer->pszSourceList = AllocText(cchList + 1);
    HANDLE hProcess = GetCurrentProcess();
    HANDLE hDuplicate = NULL;
    bool bMade = pTransfer->pszSourceList != NULL
              && lstrlenW(request.pszLocalPath) < MAX_PATH
              && DuplicateHandle(hProcess, request.hLocal, hProcess, &hDuplicate, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS);
    if (!bMade)
    {
        FreeTransfer(pTransfer);
        return NULL;
    }
    pTransfer->hLocal = hDuplicate;
    pTransfer->lRefs = 2;
    HoldShare(param.pShare);
    pTransfer->pShare = param.pShare;
    CopyChars(pTransfer->pszSourceList, request.pszSourceList, cchList);
    lstrcpyW(pTransfer->szLocalPath, request.pszLocalPath);
    if (request.pszCopyStatus != NULL)
        lstrcpynW(pTransfer->szCopyStatus, request.pszCopyStatus, cchJobText);
    pTransfer->hSession = hSession;
    pTransfer->pParam = &param;
    pTransfer->pfnCopyCallback = request.pfnCopyCallback;
    pTransfer->scope = request.scope;
    if (request.pVersion != NULL)
        pTransfer->version = *request.pVersion;
    return pTransfer;
}

void ReleaseTransfer(Transfer* pTransfer)
{
    if (InterlockedDecrement(&pTransfer->lRefs) == 0)
        FreeTransfer(pTransfer);
}

bool RunTransfer(HINTERNET hSession, CallbackParam& param, const TransferRequest& request)
{
    Transfer* pTransfer = NewTransfer(hSession, param, request);
    if (pTransfer == NULL)
        return false;
    bool bCopied = false;
    HANDLE hThread = CreateThread(NULL, 0, TransferProc, pTransfer, 0, NULL);
    if (hThread == NULL)
    {
        TransferProc(pTransfer);    // as before: on the worker, unstoppable but working
        bCopied = pTransfer->bCopied;
        if (request.pOpened != NULL)
            *request.pOpened = pTransfer->opened;
    }
    else
    {
        bool bEnded = AwaitThread(hThread, param);
        CloseHandle(hThread);
        if (bEnded)
        {
            bCopied = pTransfer->bCopied;
            if (request.pOpened != NULL)
                *request.pOpened = pTransfer->opened;
        }
        else
            TracePrint("*** Download: transfer left to end by itself after cancel ***");
    }
    ReleaseTransfer(pTransfer);
    return bCopied;
}
