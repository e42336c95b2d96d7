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

// Where a node lies in its list: the index of its first character, and its length.
struct ListSpan
{
    DWORD ichBegin;
    DWORD cch;
};

struct OpenUrlProgress
{
    DWORD dwNodesTotal;     // nodes parsed from the list, empty ones included
    DWORD dwCurrentNode;    // during a progress event: the node that just failed, counted from 1
    DWORD dwLastPercent;    // the callback's own
    ListSpan opened;        // at the completed event: the node that was opened
};

struct CopyProgress
{
    DWORD dwFileSize;       // INVALID_FILE_SIZE when the remote size is unknown
    DWORD dwBytesCopied;
    DWORD dwLastPercent;    // the callback's own
};

const DWORD cchUrlListMax = 1024;    // longer lists are cut

// No cached copy may stand in for the mirror's file; the session's own dialogs stay hidden
// except the proxy log-on, which is shown on purpose.
const DWORD dwOpenUrlFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION
                           | INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE
                           | INTERNET_FLAG_NEED_FILE;

struct TryOpenUrlParams
{
    HINTERNET hSession;
    WCHAR szUrlList[cchUrlListMax + 1];
    bool bRandom;
    HWND hwndParent;        // owner of the proxy authentication dialog
    HINTERNET* phDest;
    ProgressCallback pfnCallback;
    void* pCallbackData;
    LPWSTR pszOpenedUrl;    // none, or cchUrlListMax + 1 characters for the node that opened
    const volatile LONG* plCancelled;   // none, or nonzero once no dialog may be shown any more
};

struct InternetCopyFileParams
{
    HINTERNET hRemoteFile;
    HANDLE hLocalFile;
    ProgressCallback pfnCallback;
    void* pCallbackData;
    const CopyProgress* pWritten;   // none: a new copy, whose size the remote file tells
};

// Opens the first node of a ';'-separated URL list that can be opened. On success the handle
// is stored through phDest and belongs to the caller; on failure NULL is stored there once the
// nodes have been tried, so callers set *phDest to NULL beforehand.
// With pszOpenedUrl (cchUrlListMax + 1 characters) the node that opened is copied there. Once
// *plCancelled is nonzero a proxy that asks for a log-on gets none: whoever cancelled is gone,
// or going.
bool TryOpenUrl(HINTERNET hSession, HWND hwndParent, LPCWSTR pszUrlList, bool bRandom,
                ProgressCallback pfnCallback, void* pCallbackData, HINTERNET* phDest,
                LPWSTR pszOpenedUrl = NULL, const volatile LONG* plCancelled = NULL);

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
// Neither handle is closed or rewound. With pWritten the local file holds its dwBytesCopied
// bytes of a file of dwFileSize bytes already, and the remote file delivers the rest.
bool InternetCopyFile(HINTERNET hRemoteFile, HANDLE hLocalFile, ProgressCallback pfnCallback,
                      void* pCallbackData, const CopyProgress* pWritten = NULL);

// Takes ownership of an InternetCopyFileParams block from AllocBlock; 0 on success.
int WINAPI InternetCopyFileProc(void* pvParams);

// The remote size from FTP or the HTTP Content-Length; INVALID_FILE_SIZE when unknown.
DWORD InternetGetFileSize(HINTERNET hRemoteFile);

// ---------------------------------------------------------------------------------------------
// Continuing a download that broke off

const DWORD cchValidator = 128;

// What an answer said about its file, so that a later answer can be known to continue it.
struct RemoteAnswer
{
    DWORD dwLength;                     // 0 or INVALID_FILE_SIZE: never announced
    WCHAR szValidator[cchValidator];    // its ETag, else its Last-Modified; empty: neither
};

// Reads the length and the validator of an opened remote file; an FTP server that WinInet
// knows no size of is asked for it (SIZE) on a connection of its own.
bool IsFtpUrl(LPCWSTR pszUrl);

void ReadAnswer(HINTERNET hSession, LPCWSTR pszUrl, HINTERNET hRemote, RemoteAnswer& answer);

enum ReopenOutcome
{
    REOPEN_FAILED,          // nothing was opened
    REOPEN_CONTINUES,       // the remote file delivers the bytes after the written ones
    REOPEN_FROM_ZERO,       // it delivers the whole file again, as the updated answer says
};

// Opens pszUrl again for the rest of answer's file after dwWritten bytes: an HTTP range,
// conditional on the validator with bIfRange, or an FTP REST on a connection of its own, which
// is stored in hConnect and must outlive hRemote (both NULL when it failed). Each attempt is
// traced.
ReopenOutcome ReopenRemote(HINTERNET hSession, LPCWSTR pszUrl, DWORD dwWritten, bool bIfRange,
                           RemoteAnswer& answer, HINTERNET& hConnect, HINTERNET& hRemote);

// An HTTP answer to a request for the bytes after dwWritten of a dwLength-byte file: a 206
// counts only when its Content-Range starts there and names that length.
ReopenOutcome JudgeRangeAnswer(DWORD dwStatus, LPCWSTR pszContentRange, DWORD dwWritten,
                               DWORD dwLength);
