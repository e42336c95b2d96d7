// The progress callbacks of the downloads and the texts of the dialog's status line.
#include "progress_callbacks.h"
#include "../setup_base/setup_base.h"
#include "../res/resource.h"

namespace {

const DWORD cbMiB = 1024 * 1024;
const DWORD dwSweepStep = 10485;    // 1 MiB / 100, rounded down: 0..100 within every MiB
const DWORD dwSweepPostMs = 50;
DWORD g_dwLastSweepPost = 0;     // the one running transfer's

// Whether a copy went, or is announced to go, past cbMax bytes.
bool IsPastBound(int nEvent, const CopyProgress* pCopy, DWORD cbMax)
{
    DWORD dwSize = pCopy != NULL ? pCopy->dwFileSize : 0;
    return pCopy != NULL &&
        ((nEvent == PROGRESS_STARTED && dwSize != INVALID_FILE_SIZE && dwSize > cbMax) ||
         (nEvent == PROGRESS_STEP && pCopy->dwBytesCopied > cbMax));
}

// Appends a string of the table with the room that is left.
void AppendString(LPWSTR pszText, UINT uId)
{
    DWORD cchUsed = (DWORD)lstrlenW(pszText);
    if (cchUsed + 1 < cchJobText)
        LoadStringRow(uId, pszText + cchUsed, cchJobText - cchUsed);
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
    {
        TracePrint(texts.pszStarted);
        // A download that goes on after a break keeps the bar where it was.
        DWORD dwPercent = 0;
        pfnPercent(pProgress, dwPercent);
        PostProgress(param.hwndDialog, dwPercent);
        dwLastPercent = dwPercent;
        break;
    }
    case PROGRESS_STEP:
    {
        TracePrint(texts.pszProgress);
        if (IsStopRequested(param))
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

// The build-information file and its signature are small; a mirror that sends more is stopped
// before it can fill the disk.
bool BoundedCallback(int nEvent, void* pProgress, void* pCallbackData, DWORD cbMax,
                     LPCSTR pszWhat)
{
    if (IsPastBound(nEvent, (const CopyProgress*)pProgress, cbMax))
    {
        TracePrint("*** Download build callback: %s too large ***", pszWhat);
        return false;
    }
    return DownloadBuildCallback(nEvent, pProgress, pCallbackData);
}

} // namespace

bool SetControlString(HWND hwndDialog, int nControl, UINT uId)
{
    HeapPtr<WCHAR> text(AllocStringRow(uId, cchJobText));
    if (text.get() == NULL)
        return false;
    BOOL resDIT = SetDlgItemTextW(hwndDialog, nControl, text.get());
    VERIFY_API_CALL(resDIT != FALSE);
    return true;
}

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

bool BuildInformationCallback(int nEvent, void* pProgress, void* pCallbackData)
{
    return BoundedCallback(nEvent, pProgress, pCallbackData, cbBuildInformationMax,
                           "build information");
}

bool SignatureCallback(int nEvent, void* pProgress, void* pCallbackData)
{
    return BoundedCallback(nEvent, pProgress, pCallbackData, cbSignatureMax, "signature");
}

bool ComposeDownloadStatus(LPWSTR pszStatus, const BuildVersion& version, DWORD dwSize)
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
