// The internet file copy: an opened remote file into a local one, block by block, with a
// callback that follows the copy and may stop it.
#include "InetCopy.h"
#include "../setup_base/setup_base.h"
#include "../WinInet/WinInet.h"

namespace {

const DWORD cbTransferBuffer = 32768;

// Only leading digits count. A value with a sign or no digits, or one past what ParseDecimal
// holds (it saturates there), is no usable size.
DWORD ContentLengthValue(LPCWSTR pszText)
{
    const LONG lSaturated = 0x7FFFFFFF;
    if (pszText[0] < L'0' || pszText[0] > L'9')
        return INVALID_FILE_SIZE;
    LONG lValue = ParseDecimal(pszText, NULL, 10);
    return lValue == lSaturated ? INVALID_FILE_SIZE : (DWORD)lValue;
}

DWORD GetContentLength(HINTERNET hRemoteFile)
{
    DWORD cbLength = 0;
    WinInetApi.HttpQueryInfoW(hRemoteFile, HTTP_QUERY_CONTENT_LENGTH, NULL, &cbLength, NULL);
    // The block below is twice the length; a length that would wrap it is no header of ours.
    if (cbLength == 0 || cbLength > (MAXDWORD - sizeof(WCHAR)) / 2)
        return INVALID_FILE_SIZE;

    HeapPtr<WCHAR> ptrText(AllocText(cbLength + 1));
    if (ptrText.get() == NULL)
        return INVALID_FILE_SIZE;
    BOOL res = WinInetApi.HttpQueryInfoW(hRemoteFile, HTTP_QUERY_CONTENT_LENGTH, ptrText.get(),
                                         &cbLength, NULL);
    VERIFY_WININET_CALL(res != FALSE);
    if (res == FALSE)
        return INVALID_FILE_SIZE;
    return ContentLengthValue(ptrText.get());
}

// Some WinInet builds (Wine's among them) report a connection that broke off as the end of
// the file, so a remote end short of the announced size is a failure, not a finished copy.
bool ReachedAnnouncedSize(HINTERNET hRemoteFile, const CopyProgress& progress)
{
    DWORD dwAnnounced = progress.dwFileSize;
    if (dwAnnounced == 0 || dwAnnounced == INVALID_FILE_SIZE)
        dwAnnounced = GetContentLength(hRemoteFile);
    if (dwAnnounced == INVALID_FILE_SIZE || progress.dwBytesCopied >= dwAnnounced)
        return true;
    TracePrint("*** Internet copy file procedure: remote file ended early: %d of %d bytes ***",
               (int)progress.dwBytesCopied, (int)dwAnnounced);
    return false;
}

// True when the remote end was reached; false on a failure or when the callback stopped.
bool CopyBlocks(const InternetCopyFileParams& params, BYTE* pBuffer, CopyProgress& progress)
{
    for (;;)
    {
        DWORD cbRead = 0;
        if (!WinInetApi.InternetReadFile(params.hRemoteFile, pBuffer, cbTransferBuffer, &cbRead))
            return false;
        TracePrint("*** Internet copy file procedure: read file: %d ***", (int)cbRead);
        if (cbRead == 0)
            return ReachedAnnouncedSize(params.hRemoteFile, progress);

        DWORD cbWritten = 0;
        if (!WriteFile(params.hLocalFile, pBuffer, cbRead, &cbWritten, NULL) || cbWritten < cbRead)
            return false;
        TracePrint("*** Internet copy file procedure: write file: %d ***", (int)cbWritten);
        progress.dwBytesCopied += cbWritten;
        if (!SendEvent(params.pfnCallback, PROGRESS_STEP, &progress, params.pCallbackData))
            return false;
    }
}

} // namespace

DWORD InternetGetFileSize(HINTERNET hRemoteFile)
{
    TracePrint("*** Internet get file size: start ***");
    ASSERT(hRemoteFile != NULL);

    DWORD dwSizeHigh = 0;
    DWORD dwSize = WinInetApi.FtpGetFileSize(hRemoteFile, &dwSizeHigh);
    // A WinInet that answers 0 for an HTTP handle (Wine's) does not know the size: the
    // Content-Length does. An FTP file of 0 bytes has none and stays 0.
    if (dwSize == INVALID_FILE_SIZE || dwSize == 0)
    {
        DWORD dwLength = GetContentLength(hRemoteFile);
        if (dwLength != INVALID_FILE_SIZE || dwSize == INVALID_FILE_SIZE)
            dwSize = dwLength;
    }

    TracePrint("*** Internet get file size: end: %d ***", (int)dwSize);
    return dwSize;
}

bool InternetCopyFile(HINTERNET hRemoteFile, HANDLE hLocalFile, ProgressCallback pfnCallback,
                      void* pCallbackData, const CopyProgress* pWritten)
{
    TracePrint("*** Internet copy file: start ***");
    InternetCopyFileParams* pParams =
        AllocItems<InternetCopyFileParams>(1);
    if (pParams == NULL)
        return false;

    TracePrint("*** Internet copy file: set parameters ***");
    pParams->hRemoteFile = hRemoteFile;
    pParams->hLocalFile = hLocalFile;
    pParams->pfnCallback = pfnCallback;
    pParams->pCallbackData = pCallbackData;
    pParams->pWritten = pWritten;

    TracePrint("*** Internet copy file: start procedure synchronously ***");
    return InternetCopyFileProc(pParams) == 0;
}

int WINAPI InternetCopyFileProc(void* pvParams)
{
    if (pvParams == NULL)
        return -1;
    HeapPtr<InternetCopyFileParams> ptrParams(static_cast<InternetCopyFileParams*>(pvParams));
    ASSERT(ptrParams.get()->hRemoteFile != NULL);
    ASSERT(ptrParams.get()->hLocalFile != INVALID_HANDLE_VALUE);
    const InternetCopyFileParams& params = *ptrParams.get();
    TracePrint("*** Internet copy file procedure: start ***");

    HeapPtr<BYTE> ptrBuffer(AllocItems<BYTE>(cbTransferBuffer));
    if (ptrBuffer.get() == NULL)
        return -1;
    CopyProgress progress;
    progress.dwBytesCopied = 0;
    progress.dwLastPercent = 0;
    if (params.pWritten == NULL)
        progress.dwFileSize = InternetGetFileSize(params.hRemoteFile);
    else
        progress = *params.pWritten;

    TracePrint("*** Internet copy file procedure: started ***");
    if (!SendEvent(params.pfnCallback, PROGRESS_STARTED, &progress, params.pCallbackData))
        return -1;

    TracePrint("*** Internet copy file procedure: read file: start ***");
    bool bCompleted = CopyBlocks(params, ptrBuffer.get(), progress);
    TracePrint("*** Internet copy file procedure: read file: end ***");

    // Whatever the loop's outcome: a stopped or failed copy keeps what was written so far.
    if (!FlushFileBuffers(params.hLocalFile))
        bCompleted = false;
    SendEvent(params.pfnCallback, bCompleted ? PROGRESS_COMPLETED : PROGRESS_FAILED, &progress,
              params.pCallbackData);
    TracePrint("*** Internet copy file procedure: end ***");
    return bCompleted ? 0 : -1;
}
