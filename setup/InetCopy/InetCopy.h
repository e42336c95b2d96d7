// The transfer layer: opening the first reachable URL of a mirror list, and copying an opened
// remote file into a local one. Both run synchronously on the calling thread through the bound
// WinInetApi table and report through a ProgressCallback.
#pragma once

#include <windows.h>
#include <wininet.h>

// Events of a ProgressCallback. Started and progress may be answered with false to stop;
// completed and failed are the last call the callback gets, and their answer is ignored.
enum ProgressEvent
{
    PROGRESS_STARTED = 0,
    PROGRESS_STEP = 1,
    PROGRESS_COMPLETED = 2,
    PROGRESS_FAILED = 3,
};

// pProgress points to an OpenUrlProgress or a CopyProgress, valid during the call only.
typedef bool (*ProgressCallback)(int nEvent, void* pProgress, void* pCallbackData);

// An event for a callback that may be none (then the answer is to go on).
inline bool SendEvent(ProgressCallback pfnCallback, int nEvent, void* pProgress,
                      void* pCallbackData)
{
    return pfnCallback == NULL || pfnCallback(nEvent, pProgress, pCallbackData);
}

struct OpenUrlProgress
{
    DWORD dwNodesTotal;     // nodes parsed from the list, empty ones included
    DWORD dwCurrentNode;    // during a progress event: the node that just failed, counted from 1
    DWORD dwLastPercent;    // the callback's own
};

struct CopyProgress
{
    DWORD dwFileSize;       // INVALID_FILE_SIZE when the remote size is unknown
    DWORD dwBytesCopied;
    DWORD dwLastPercent;    // the callback's own
};

const DWORD cchUrlListMax = 1024;    // longer lists are cut

struct TryOpenUrlParams
{
    HINTERNET hSession;
    WCHAR szUrlList[cchUrlListMax + 1];
    bool bRandom;
    HWND hwndParent;        // owner of the proxy authentication dialog
    HINTERNET* phDest;
    ProgressCallback pfnCallback;
    void* pCallbackData;
    const volatile LONG* plCancelled;   // none, or nonzero once no dialog may be shown any more
};

struct InternetCopyFileParams
{
    HINTERNET hRemoteFile;
    HANDLE hLocalFile;
    ProgressCallback pfnCallback;
    void* pCallbackData;
};

// Opens the first node of a ';'-separated URL list that can be opened. On success the handle
// is stored through phDest and belongs to the caller; on failure NULL is stored there once the
// nodes have been tried, so callers set *phDest to NULL beforehand. Once *plCancelled is nonzero
// a proxy that asks for a log-on gets none: whoever cancelled is gone, or going.
bool TryOpenUrl(HINTERNET hSession, HWND hwndParent, LPCWSTR pszUrlList, bool bRandom,
                ProgressCallback pfnCallback, void* pCallbackData, HINTERNET* phDest,
                const volatile LONG* plCancelled = NULL);

// Takes ownership of a TryOpenUrlParams block from AllocBlock; 0 when a node was opened.
int WINAPI TryOpenUrlProc(void* pvParams);

enum StatusCheck
{
    STATUS_OPENED,          // a status to work with, or no HTTP status at all (FTP)
    STATUS_ERROR,           // the server answered with an error status: nothing to copy here
    STATUS_UNAUTHORIZED,    // proxy authentication cancelled or refused
};

// Reads the HTTP status of an opened URL and lets the user log on to a proxy that asks, unless
// *plCancelled (none: never) is nonzero by then.
StatusCheck CheckStatusCode(HINTERNET hSession, HINTERNET hDest, HWND hwndParent,
                            const volatile LONG* plCancelled);

// Copies the whole remote file into the local one and flushes it; true when all was copied.
// Neither handle is closed or rewound.
bool InternetCopyFile(HINTERNET hRemoteFile, HANDLE hLocalFile, ProgressCallback pfnCallback,
                      void* pCallbackData);

// Takes ownership of an InternetCopyFileParams block from AllocBlock; 0 on success.
int WINAPI InternetCopyFileProc(void* pvParams);

// The remote size from FTP or the HTTP Content-Length; INVALID_FILE_SIZE when unknown.
DWORD InternetGetFileSize(HINTERNET hRemoteFile);
