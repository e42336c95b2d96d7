// The download jobs of the update check and their progress callbacks.
#include "download_jobs.h"
#include "../setup_base/files.h"
#include "../setup_base/paths.h"
#include "../WinInet/WinInet.h"
#include "../res/resource.h"

namespace {

const DWORD cbMiB = 1024 * 1024;
const DWORD dwSweepStep = 10485;    // 1 MiB / 100, rounded down: 0..100 within every MiB
const WCHAR szTempPrefix[] = L"tmp";
const DWORD dwSweepPostMs = 50;
DWORD g_dwLastSweepPost = 0;     // the worker's alone

void LoadJobString(UINT uId, LPWSTR pszBuffer, DWORD cchCapacity)
{
    if (pszBuffer != NULL)
        LoadStringW(GetModuleHandleW(NULL), uId, pszBuffer, (int)cchCapacity);
}

// Sets a control of the dialog from a string of the table; false when the text could not be
// allocated (nothing was changed then).
bool SetControlString(HWND hwndDialog, int nControl, UINT uId)
{
    HeapPtr<WCHAR> text(AllocText(cchJobText));
    if (text.get() == NULL)
        return false;
    LoadJobString(uId, text.get(), cchJobText);
    BOOL resDIT = SetDlgItemTextW(hwndDialog, nControl, text.get());
    VERIFY_API_CALL(resDIT != FALSE);
    return true;
}

// A new empty file named "tmp<n>.tmp" in the temporary directory, named in pszLocalPath.
HANDLE CreateTempFile(LPWSTR pszLocalPath)
{
    HeapPtr<WCHAR> directory(AllocTempDirectory());
    if (directory.get() == NULL || pszLocalPath == NULL)
        return INVALID_HANDLE_VALUE;
    return CreateNewFile(directory.get(), szTempPrefix, pszLocalPath);
}

// What differs between the two jobs; everything else is Download's own sequence.
struct JobVariant
{
    LPCWSTR pszDescription;
    LPCWSTR pszSourceList;
    HANDLE hLocal;                  // the job's own new file, empty
    LPCWSTR pszLocalPath;
    LPCWSTR pszCopyStatus;          // none: the package's, composed once its size is known
    const BuildVersion* pVersion;   // the package's
    ProgressCallback pfnCopyCallback;
    bool (*pfnAfterCopy)(void* pJob, HANDLE hLocal);
    void* pJob;
};

// The blocking part of a job, opening the remote file, copying and closing it, runs on a thread
// of its own. A synchronous WinInet call can't be made to return from outside (closing a handle
// that a call is using is not safe, and under Wine it does not even end the call), so after a
// Cancel the worker stops waiting for a transfer that does not end by itself within a moment,
// and leaves it everything it uses: this record, its own copy of the file handle, the session
// and the worker's share, none of which is freed or closed while a transfer may still run.
struct Transfer
{
    volatile LONG lRefs;            // the worker's and the transfer thread's
    HINTERNET hSession;
    CallbackParam* pParam;
    HANDLE hLocal;                  // a duplicate of the job's, closed by the transfer thread
    LPWSTR pszSourceList;           // the transfer's own copy
    ProgressCallback pfnCopyCallback;
    BuildVersion version;
    bool bComposeStatus;
    bool bCopied;                   // read by the worker once the thread has ended
    WCHAR szLocalPath[MAX_PATH];
    WCHAR szCopyStatus[cchJobText];
};

const DWORD dwCancelPollMs = 50;
const DWORD dwTransferGraceMs = 300;
bool g_bTransferLeftRunning = false;

void ShowDescription(HWND hwndDialog, LPCWSTR pszDescription)
{
    if (pszDescription == NULL)
        return;
    TracePrint("*** DownloadImpl: set description: start ***");
    BOOL resDIT = SetDlgItemTextW(hwndDialog, IDC_DESCRIPTION, pszDescription);
    VERIFY_API_CALL(resDIT != FALSE);
    TracePrint("*** DownloadImpl: set description: end ***");
}

bool OpenRemote(HINTERNET hInternet, CallbackParam& param, LPCWSTR pszSourceList,
                HINTERNET& hRemote)
{
    TracePrint("*** Download: Try open URL: start ***");
    TracePrint("*** Download: set open connection status: start ***");
    if (SetControlString(param.hwndDialog, IDC_STATUS, IDS_CONNECTING))
        TracePrint("*** Download: set open connection status: end ***");
    StoreRunning(param);
    bool bOpened = TryOpenUrl(hInternet, param.hwndDialog, pszSourceList, true,
                              TryOpenUrlCallback, &param, &hRemote);
    TracePrint("*** Download: Try open URL: end ***");
    return bOpened;
}

bool CopyRemote(Transfer& transfer, HINTERNET hRemote)
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
    bool bCopied = InternetCopyFile(hRemote, transfer.hLocal, transfer.pfnCopyCallback, &param);
    TracePrint("*** Download: Internet copy file: end ***");
    if (!bCopied)
        return false;
    TracePrint("*** Download: Download successfully finished ***");
    return true;
}

void ReleaseTransfer(Transfer* pTransfer)
{
    if (InterlockedDecrement(&pTransfer->lRefs) != 0)
        return;
    if (pTransfer->pszSourceList != NULL)
        FreeBlock(pTransfer->pszSourceList);
    FreeBlock(pTransfer);
}

DWORD WINAPI TransferProc(LPVOID pvTransfer)
{
    Transfer& transfer = *(Transfer*)pvTransfer;
    {
        InternetHandle remote;
        if (OpenRemote(transfer.hSession, *transfer.pParam, transfer.pszSourceList,
                       *remote.out()))
        {
            transfer.bCopied = (!transfer.bComposeStatus
                                || ComposeDownloadStatus(transfer.szCopyStatus,
                                                         transfer.version, remote.get()))
                            && CopyRemote(transfer, remote.get());
        }
    }
    CloseHandle(transfer.hLocal);
    ReleaseTransfer(&transfer);
    return 0;
}

// A transfer with copies of what it reads from the job; none when they can't be made.
Transfer* NewTransfer(HINTERNET hInternet, CallbackParam& param, const JobVariant& job)
{
    Transfer* pTransfer = AllocItems<Transfer>(1);
    DWORD cchList = (DWORD)lstrlenW(job.pszSourceList);
    if (pTransfer == NULL)
        return NULL;
    pTransfer->lRefs = 1;
    pTransfer->pszSourceList = AllocText(cchList + 1);
    HANDLE hProcess = GetCurrentProcess();
    bool bMade = pTransfer->pszSourceList != NULL
              && lstrlenW(job.pszLocalPath) < MAX_PATH
              && DuplicateHandle(hProcess, job.hLocal, hProcess, &pTransfer->hLocal, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS);
    if (!bMade)
    {
        ReleaseTransfer(pTransfer);
        return NULL;
    }
    CopyChars(pTransfer->pszSourceList, job.pszSourceList, cchList);
    lstrcpyW(pTransfer->szLocalPath, job.pszLocalPath);
    if (job.pszCopyStatus != NULL)
        lstrcpynW(pTransfer->szCopyStatus, job.pszCopyStatus, cchJobText);
    pTransfer->hSession = hInternet;
    pTransfer->pParam = &param;
    pTransfer->pfnCopyCallback = job.pfnCopyCallback;
    pTransfer->bComposeStatus = job.pVersion != NULL;
    if (job.pVersion != NULL)
        pTransfer->version = *job.pVersion;
    return pTransfer;
}

// Waits for the transfer to end; after a Cancel, for dwTransferGraceMs more at most. True when
// it ended. Messages sent to this thread's windows are served meanwhile: the transfer sets
// texts of the dialog synchronously, whichever thread owns it.
bool AwaitTransfer(HANDLE hThread, const CallbackParam& param)
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

// True when the transfer ran to its end and copied the whole file.
bool RunTransfer(Transfer* pTransfer, CallbackParam& param)
{
    InterlockedIncrement(&pTransfer->lRefs);
    HANDLE hThread = CreateThread(NULL, 0, TransferProc, pTransfer, 0, NULL);
    if (hThread == NULL)
    {
        TransferProc(pTransfer);    // as before: on the worker, unstoppable but working
        return pTransfer->bCopied;
    }
    bool bEnded = AwaitTransfer(hThread, param);
    CloseHandle(hThread);
    if (bEnded)
        return pTransfer->bCopied;
    TracePrint("*** Download: transfer left to end by itself after cancel ***");
    InterlockedExchange(&param.lTransferLeft, 1);
    g_bTransferLeftRunning = true;
    return false;
}

bool DownloadImpl(HINTERNET hInternet, CallbackParam& param, JobVariant& job)
{
    TracePrint("*** Download: start ***");
    ASSERT(hInternet != NULL);
    if (hInternet == NULL)
    {
        TracePrint("*** Download: Invalid internet handle ***");
        return false;
    }
    ASSERT_AS(::IsWindow(param.hwndDialog) != FALSE,
              "::IsWindow( CallbackParam.hwndDialog ) != FALSE");
    if (!::IsWindow(param.hwndDialog))
    {
        TracePrint("*** Download: Invalid dialog handle ***");
        return false;
    }
    ShowDescription(param.hwndDialog, job.pszDescription);

    bool bResult = false;
    Transfer* pTransfer = job.pszSourceList != NULL && job.hLocal != INVALID_HANDLE_VALUE
                              ? NewTransfer(hInternet, param, job) : NULL;
    if (pTransfer != NULL)
    {
        bResult = RunTransfer(pTransfer, param);
        ReleaseTransfer(pTransfer);
    }
    if (bResult && job.pfnAfterCopy != NULL)
        bResult = job.pfnAfterCopy(job.pJob, job.hLocal);
    if (bResult)
    {
        TracePrint("*** DownloadImpl: set complete status: start ***");
        SetControlString(param.hwndDialog, IDC_STATUS, IDS_REQUEST_COMPLETED);
        TracePrint("*** DownloadImpl: set complete status: end ***");
    }
    TracePrint("*** Download: Download build: end ***");
    return bResult;
}

// Whether a copy went, or is announced to go, past cbMax bytes.
bool IsPastBound(int nEvent, const CopyProgress* pCopy, DWORD cbMax)
{
    DWORD dwSize = pCopy != NULL ? pCopy->dwFileSize : 0;
    return pCopy != NULL &&
        ((nEvent == PROGRESS_STARTED && dwSize != INVALID_FILE_SIZE && dwSize > cbMax) ||
         (nEvent == PROGRESS_STEP && pCopy->dwBytesCopied > cbMax));
}

// The build-information file is small; a mirror that sends more is stopped before it can
// fill the disk.
bool BuildInformationCallback(int nEvent, void* pProgress, void* pCallbackData)
{
    if (IsPastBound(nEvent, (const CopyProgress*)pProgress, cbBuildInformationMax))
    {
        TracePrint("*** Download build callback: build information too large ***");
        return false;
    }
    return DownloadBuildCallback(nEvent, pProgress, pCallbackData);
}

bool ParseDownloadedInformation(void* pJob, HANDLE hLocal)
{
    BuildInfoJob& job = *(BuildInfoJob*)pJob;
    return ReadBuildInformation(job.pOwnBuildInfo->szKey, job.dwOwnMajor, *job.pLatestBuildInfo,
                                hLocal);
}

// Appends a string of the table with the room that is left.
void AppendString(LPWSTR pszText, UINT uId)
{
    DWORD cchUsed = (DWORD)lstrlenW(pszText);
    if (cchUsed + 1 < cchJobText)
        LoadJobString(uId, pszText + cchUsed, cchJobText - cchUsed);
}

// The texts of the callbacks: both follow one scheme under their own tags.
struct CallbackTexts
{
    const char* pszStart;
    const char* pszStarted;
    const char* pszProgress;
    const char* pszTerminated;
    const char* pszCompleted;
    const char* pszPostOk;
    const char* pszFailed;
    const char* pszPostCancel;
    const char* pszEnd;
};

const CallbackTexts openTexts = {
    "*** Try open URL callback: start ***", "*** Try open URL callback: started ***",
    "*** Try open URL callback: progress ***", "*** Try open URL callback: terminated ***",
    "*** Try open URL callback: completed ***", "*** Try open URL callback: post ok ***",
    "*** Try open URL callback: failed ***", "*** Try open URL callback: post cancel ***",
    "*** Try open URL callback: end ***",
};

const CallbackTexts copyTexts = {
    "*** Download build callback: start ***", "*** Download build callback: started ***",
    "*** Download build callback: progressed ***", "*** Download build callback: terminated ***",
    "*** Download build callback: completed ***", "*** Download build callback: post ok ***",
    "*** Download build callback: failed ***", "*** Download build callback: post cancel ***",
    "*** Download build callback: end ***",
};

// Posts a percentage only when it differs from the last one posted.
void PostChanged(const CallbackParam& param, DWORD dwPercent, DWORD& dwLastPercent)
{
    if (dwPercent == dwLastPercent)
        return;
    PostProgress(param.hwndDialog, dwPercent);
    dwLastPercent = dwPercent;
}

// The scheme of both callbacks. pfnPercent gives false when there is no percentage to post.
bool RunCallback(const CallbackTexts& texts, int nEvent, void* pProgress,
                 CallbackParam& param, DWORD& dwLastPercent,
                 bool (*pfnPercent)(void* pProgress, DWORD& dwPercent))
{
    TracePrint(texts.pszStart);
    switch (nEvent)
    {
    case PROGRESS_STARTED:
        TracePrint(texts.pszStarted);
        PostProgress(param.hwndDialog, 0);
        dwLastPercent = 0;
        break;
    case PROGRESS_STEP:
    {
        TracePrint(texts.pszProgress);
        if (LoadState(param) != stateRunning || IsCancelled(param))
        {
            TracePrint(texts.pszTerminated);
            return false;
        }
        DWORD dwPercent = 0;
        if (pfnPercent(pProgress, dwPercent))
            PostChanged(param, dwPercent, dwLastPercent);
        break;
    }
    case PROGRESS_COMPLETED:
        TracePrint(texts.pszCompleted);
        TracePrint(texts.pszPostOk);
        break;
    case PROGRESS_FAILED:
        TracePrint(texts.pszFailed);
        TracePrint(texts.pszPostCancel);
        break;
    default:
        break;
    }
    TracePrint(texts.pszEnd);
    return true;
}

bool OpenPercent(void* pProgress, DWORD& dwPercent)
{
    const OpenUrlProgress& state = *(const OpenUrlProgress*)pProgress;
    ASSERT(state.dwNodesTotal > 0);
    if (state.dwNodesTotal == 0)
        return false;
    dwPercent = NodesPercent(state.dwCurrentNode, state.dwNodesTotal);
    return true;
}

// Without a size the bar sweeps every MiB and would move at every block: a new position costs
// the dialog a repaint, which at full speed took most of the download's time. A sweeping bar
// gets one at most every dwSweepPostMs; a bar that follows the size, every one.
bool CopyPercentOf(void* pProgress, DWORD& dwPercent)
{
    const CopyProgress& state = *(const CopyProgress*)pProgress;
    dwPercent = CopyPercent(state.dwFileSize, state.dwBytesCopied);
    bool bSweeping = state.dwFileSize == 0 || state.dwFileSize == INVALID_FILE_SIZE;
    DWORD dwNow = GetTickCount();
    if (bSweeping && dwNow - g_dwLastSweepPost < dwSweepPostMs)
        return false;
    g_dwLastSweepPost = dwNow;
    return true;
}

} // namespace

DWORD NodesPercent(DWORD dwCurrentNode, DWORD dwNodesTotal)
{
    return dwCurrentNode * 100 / dwNodesTotal;
}

DWORD CopyPercent(DWORD dwFileSize, DWORD dwBytesCopied)
{
    // An unknown size sweeps like a size of 0: divided by it, the bar would hardly move.
    if (dwFileSize == 0 || dwFileSize == INVALID_FILE_SIZE)
        return (dwBytesCopied % cbMiB) / dwSweepStep;
    DWORD dwHundredth = dwFileSize / 100;
    return dwHundredth == 0 ? 100 : dwBytesCopied / dwHundredth;
}

bool TryOpenUrlCallback(int nEvent, void* pProgress, void* pCallbackData)
{
    if (pCallbackData == NULL)
        return false;
    OpenUrlProgress* pState = (OpenUrlProgress*)pProgress;
    return RunCallback(openTexts, nEvent, pProgress, *(CallbackParam*)pCallbackData,
                       pState->dwLastPercent, OpenPercent);
}

bool DownloadBuildCallback(int nEvent, void* pProgress, void* pCallbackData)
{
    if (pCallbackData == NULL)
        return false;
    CopyProgress* pState = (CopyProgress*)pProgress;
    return RunCallback(copyTexts, nEvent, pProgress, *(CallbackParam*)pCallbackData,
                       pState->dwLastPercent, CopyPercentOf);
}

// Nor may the package fill the disk: it stops past its announced length, and past cbPackageMax
// whatever is announced.
bool PackageCallback(int nEvent, void* pProgress, void* pCallbackData)
{
    const CopyProgress* pCopy = (const CopyProgress*)pProgress;
    DWORD dwAnnounced = pCopy != NULL ? pCopy->dwFileSize : 0;
    bool bAnnounced = dwAnnounced != 0 && dwAnnounced != INVALID_FILE_SIZE;
    if (bAnnounced && nEvent == PROGRESS_STEP && IsPastBound(nEvent, pCopy, dwAnnounced))
    {
        TracePrint("*** Download build callback: package longer than announced ***");
        return false;
    }
    if (IsPastBound(nEvent, pCopy, cbPackageMax))
    {
        TracePrint("*** Download build callback: package larger than 2 GiB ***");
        return false;
    }
    return DownloadBuildCallback(nEvent, pProgress, pCallbackData);
}

void InitBuildInfoJob(BuildInfoJob& job, const BuildInfo& own, DWORD dwOwnMajor,
                      BuildInfo& latest)
{
    job.pOwnBuildInfo = &own;
    job.dwOwnMajor = dwOwnMajor;
    job.pLatestBuildInfo = &latest;
    job.pszUrlList.reset(AllocText(cchJobText));
    job.pszLocalPath.reset(AllocText(MAX_PATH));
    job.pszCopyStatus.reset(AllocText(cchJobText));
    job.pszDescription.reset(AllocText(cchJobText));
    LoadJobString(IDS_MIRROR_URLS, job.pszUrlList.get(), cchJobText);
    job.hLocal.reset(CreateTempFile(job.pszLocalPath.get()));
    LoadJobString(IDS_SEARCHING, job.pszCopyStatus.get(), cchJobText);
    LoadJobString(IDS_DESCRIPTION_SEARCH, job.pszDescription.get(), cchJobText);
}

void InitPackageJob(PackageJob& job, const BuildInfo& latest, HANDLE hLocal,
                    LPCWSTR pszLocalPath)
{
    job.pLatestBuildInfo = &latest;
    job.hLocal = hLocal;
    job.pszLocalPath = pszLocalPath;
    job.pszDescription.reset(AllocText(cchJobText));
    LoadJobString(IDS_DESCRIPTION_DOWNLOAD, job.pszDescription.get(), cchJobText);
}

bool Download(HINTERNET hInternet, CallbackParam& param, BuildInfoJob& job)
{
    JobVariant variant = {
        job.pszDescription.get(), job.pszUrlList.get(), job.hLocal.get(),
        job.pszLocalPath.get(), job.pszCopyStatus.get(), NULL,
        BuildInformationCallback, ParseDownloadedInformation, &job,
    };
    return DownloadImpl(hInternet, param, variant);
}

bool Download(HINTERNET hInternet, CallbackParam& param, PackageJob& job)
{
    JobVariant variant = {
        job.pszDescription.get(), job.pLatestBuildInfo->UrlList(), job.hLocal,
        job.pszLocalPath, NULL, &job.pLatestBuildInfo->version, PackageCallback, NULL, &job,
    };
    return DownloadImpl(hInternet, param, variant);
}

bool GetBuildInformation(HINTERNET hInternet, CallbackParam& param, const BuildInfo& own,
                         DWORD dwOwnMajor, BuildInfo& latest)
{
    BuildInfoJob job;
    InitBuildInfoJob(job, own, dwOwnMajor, latest);
    return Download(hInternet, param, job);
}

bool DownloadBuild(HINTERNET hInternet, CallbackParam& param, const BuildInfo& latest,
                   HANDLE hLocal, LPCWSTR pszLocalPath)
{
    PackageJob job;
    InitPackageJob(job, latest, hLocal, pszLocalPath);
    return Download(hInternet, param, job);
}

bool ComposeDownloadStatus(LPWSTR pszStatus, const BuildVersion& version, HINTERNET hRemote)
{
    if (pszStatus == NULL)
        return false;
    pszStatus[0] = L'\0';
    AppendString(pszStatus, IDS_DOWNLOAD);
    AppendBounded(pszStatus, cchJobText, L" ");
    AppendString(pszStatus, IDS_PRODUCT_CODE);
    AppendBounded(pszStatus, cchJobText, L" ");
    HeapPtr<WCHAR> versionText(FormatVersion(version));
    if (versionText.get() != NULL)
        AppendBounded(pszStatus, cchJobText, versionText.get());

    ASSERT(hRemote != NULL);
    DWORD dwSize = InternetGetFileSize(hRemote);
    if (dwSize != INVALID_FILE_SIZE)
    {
        WCHAR szMiB[16];
        ZeroBytes(szMiB, sizeof(szMiB));
        FormatDecimal((LONG)(dwSize >> 20), szMiB);
        AppendBounded(pszStatus, cchJobText, L" (");
        AppendBounded(pszStatus, cchJobText, szMiB);
        AppendBounded(pszStatus, cchJobText, L" ");
        AppendString(pszStatus, IDS_SIZE_UNIT);
        AppendBounded(pszStatus, cchJobText, L")");
    }
    return true;
}

bool TransferLeftRunning()
{
    return g_bTransferLeftRunning;
}
