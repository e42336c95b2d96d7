// Opening a remote file again where a download broke off: an HTTP range or an FTP restart,
// taken only where the answer shows that it continues the same file.
#include "InetCopy.h"
#include "../setup_base/setup_base.h"
#include "../WinInet/WinInet.h"

namespace {

const WCHAR szFtpScheme[] = L"ftp://";
const DWORD cchFtpScheme = 6;
const WCHAR szBytesUnit[] = L"bytes ";
const DWORD cchBytesUnit = 6;
const DWORD cchHostMax = 256;
const DWORD cchLogonMax = 128;
const DWORD cchResponseMax = 256;
const DWORD cchRangeHeaders = cchValidator + 48;
const DWORD dwFtpSizeReply = 213;
const DWORD dwFtpRestReply = 350;

// The parts of an FTP URL that a connection of its own needs.
struct FtpLocation
{
    WCHAR szHost[cchHostMax];
    WCHAR szUser[cchLogonMax];
    WCHAR szPassword[cchLogonMax];
    WCHAR szCommand[cchUrlListMax + 8];     // "SIZE <path>" or "REST <offset>"
    WCHAR szPath[cchUrlListMax + 1];
    WCHAR szReply[cchResponseMax];          // the last command's
};

bool IsDigit(WCHAR ch)
{
    return ch >= L'0' && ch <= L'9';
}

// A command on the control connection, its argument formatted in; its reply code, the reply
// in location.szReply.
DWORD SendFtpCommand(HINTERNET hConnect, LPCWSTR pszFormat, DWORD_PTR dwArgument,
                     FtpLocation& location)
{
    wsprintfW(location.szCommand, pszFormat, dwArgument);
    DWORD cchReply = cchResponseMax;
    DWORD dwError = 0;
    // A refusal fails the call; its reply still says which it was. Each caller waits for a
    // code that the command before does not answer, so a reply left over counts as none.
    WinInetApi.FtpCommandW(hConnect, FALSE, FTP_TRANSFER_TYPE_BINARY, location.szCommand, 0, NULL);
    if (!WinInetApi.InternetGetLastResponseInfoW(&dwError, location.szReply, &cchReply))
        return 0;
    return (DWORD)ParseDecimal(location.szReply, NULL, 10);
}

// A control connection to the URL's server, in binary mode (a server may refuse a size or a
// restart in text mode), and the size of the URL's file there (0 when it tells none); the URL's
// parts in ptrLocation.
HINTERNET ConnectFtp(HINTERNET hSession, LPCWSTR pszUrl, HeapPtr<FtpLocation>& ptrLocation,
                     DWORD& dwSize)
{
    dwSize = 0;
    ptrLocation.reset(AllocItems<FtpLocation>(1));
    if (ptrLocation.get() == NULL)
        return NULL;
    FtpLocation& location = *ptrLocation.get();
    URL_COMPONENTSW components;
    ZeroBytes(&components, sizeof(components));
    components.dwStructSize = sizeof(components);
    components.lpszHostName = location.szHost;
    components.dwHostNameLength = cchHostMax;
    components.lpszUserName = location.szUser;
    components.dwUserNameLength = cchLogonMax;
    components.lpszPassword = location.szPassword;
    components.dwPasswordLength = cchLogonMax;
    components.lpszUrlPath = location.szPath;
    components.dwUrlPathLength = cchUrlListMax + 1;
    if (!WinInetApi.InternetCrackUrlW(pszUrl, 0, 0, &components))
        return NULL;
    HINTERNET hConnect = WinInetApi.InternetConnectW(
        hSession, location.szHost, components.nPort,
        location.szUser[0] != L'\0' ? location.szUser : NULL,
        location.szPassword[0] != L'\0' ? location.szPassword : NULL, INTERNET_SERVICE_FTP,
        INTERNET_FLAG_PASSIVE, 0);
    if (hConnect == NULL)
        return NULL;
    // A server that refuses binary mode refuses the size too.
    SendFtpCommand(hConnect, L"TYPE I", 0, location);
    if (SendFtpCommand(hConnect, L"SIZE %s", (DWORD_PTR)location.szPath, location)
        == dwFtpSizeReply)
        dwSize = (DWORD)ParseDecimal(location.szReply + 4, NULL, 10);    // "213 12800"
    return hConnect;
}

// A server that refuses the restart, or whose file has another size now, sends the whole file.
ReopenOutcome ReopenFtp(HINTERNET hSession, LPCWSTR pszUrl, DWORD dwWritten,
                        RemoteAnswer& answer, HINTERNET& hConnect, HINTERNET& hRemote,
                        DWORD& dwReply)
{
    HeapPtr<FtpLocation> location;
    DWORD dwSize = 0;
    hConnect = ConnectFtp(hSession, pszUrl, location, dwSize);
    if (hConnect != NULL)
    {
        if (dwSize == answer.dwLength)
            dwReply = SendFtpCommand(hConnect, L"REST %u", dwWritten, *location.get());
        hRemote = WinInetApi.FtpOpenFileW(hConnect, location.get()->szPath, GENERIC_READ,
                                          FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD, 0);
    }
    // The connection's failure, or the file's: the last error is the one that failed.
    VERIFY_WININET_CALL(hRemote != NULL);
    if (hRemote == NULL)
        return REOPEN_FAILED;
    if (dwReply == dwFtpRestReply)
        return REOPEN_CONTINUES;
    answer.dwLength = dwSize;
    answer.szValidator[0] = L'\0';
    return REOPEN_FROM_ZERO;
}

ReopenOutcome ReopenHttp(HINTERNET hSession, LPCWSTR pszUrl, DWORD dwWritten, bool bIfRange,
                         RemoteAnswer& answer, HINTERNET& hRemote, DWORD& dwStatus)
{
    WCHAR szHeaders[cchRangeHeaders];
    wsprintfW(szHeaders, L"Range: bytes=%u-\r\nIf-Range: %s\r\n", dwWritten, answer.szValidator);
    if (!bIfRange)
        *(LPWSTR)(FindChar(szHeaders, L'\n') + 1) = L'\0';
    hRemote = WinInetApi.InternetOpenUrlW(hSession, pszUrl, szHeaders, (DWORD)-1, dwOpenUrlFlags,
                                          0);
    VERIFY_WININET_CALL(hRemote != NULL);
    if (hRemote == NULL)
        return REOPEN_FAILED;
    WCHAR szRange[cchValidator];
    DWORD cbStatus = sizeof(dwStatus);
    DWORD cbRange = sizeof(szRange);
    WinInetApi.HttpQueryInfoW(hRemote, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus,
                              &cbStatus, NULL);
    if (!WinInetApi.HttpQueryInfoW(hRemote, HTTP_QUERY_CONTENT_RANGE, szRange, &cbRange, NULL))
        szRange[0] = L'\0';
    ReopenOutcome outcome = JudgeRangeAnswer(dwStatus, szRange, dwWritten, answer.dwLength);
    if (outcome == REOPEN_FROM_ZERO)
        ReadAnswer(hSession, pszUrl, hRemote, answer);
    return outcome;
}

} // namespace

bool IsFtpUrl(LPCWSTR pszUrl)
{
    return CompareChars(pszUrl, szFtpScheme, cchFtpScheme) == 0;
}

void ReadAnswer(HINTERNET hSession, LPCWSTR pszUrl, HINTERNET hRemote, RemoteAnswer& answer)
{
    answer.dwLength = InternetGetFileSize(hRemote);
    // The ETag, else the Last-Modified; none when neither is there or fits. WinInet hands out a
    // header's value without its line break, so it goes back into a request as it stands.
    DWORD cbValidator = sizeof(answer.szValidator);
    if (!WinInetApi.HttpQueryInfoW(hRemote, HTTP_QUERY_ETAG, answer.szValidator, &cbValidator,
                                   NULL))
    {
        cbValidator = sizeof(answer.szValidator);
        if (!WinInetApi.HttpQueryInfoW(hRemote, HTTP_QUERY_LAST_MODIFIED, answer.szValidator,
                                       &cbValidator, NULL))
            answer.szValidator[0] = L'\0';
    }
    // Without a length a cut transfer looks finished, and none could continue it.
    if (answer.dwLength != 0 || !IsFtpUrl(pszUrl))
        return;
    HeapPtr<FtpLocation> location;
    InternetHandle connection(ConnectFtp(hSession, pszUrl, location, answer.dwLength));
}

ReopenOutcome JudgeRangeAnswer(DWORD dwStatus, LPCWSTR pszContentRange, DWORD dwWritten,
                               DWORD dwLength)
{
    if (dwStatus == HTTP_STATUS_OK)
        return REOPEN_FROM_ZERO;
    if (dwStatus != HTTP_STATUS_PARTIAL_CONTENT
        || CompareChars(pszContentRange, szBytesUnit, cchBytesUnit) != 0
        || !IsDigit(pszContentRange[cchBytesUnit]))
        return REOPEN_FAILED;
    LONG lStart = ParseDecimal(pszContentRange + cchBytesUnit, NULL, 10);
    LPCWSTR pszTotal = FindChar(pszContentRange, L'/');
    bool bSameFile = pszTotal != NULL && (DWORD)ParseDecimal(pszTotal + 1, NULL, 10) == dwLength;
    return bSameFile && (DWORD)lStart == dwWritten ? REOPEN_CONTINUES : REOPEN_FAILED;
}

ReopenOutcome ReopenRemote(HINTERNET hSession, LPCWSTR pszUrl, DWORD dwWritten, bool bIfRange,
                           RemoteAnswer& answer, HINTERNET& hConnect, HINTERNET& hRemote)
{
    hConnect = NULL;
    hRemote = NULL;
    DWORD dwAnswer = 0;     // the HTTP status, or the reply to the FTP restart
    ReopenOutcome outcome = IsFtpUrl(pszUrl)
        ? ReopenFtp(hSession, pszUrl, dwWritten, answer, hConnect, hRemote, dwAnswer)
        : ReopenHttp(hSession, pszUrl, dwWritten, bIfRange, answer, hRemote, dwAnswer);
    TracePrint("*** Download: resume: %S at %d: %d ***", pszUrl, (int)dwWritten, (int)dwAnswer);
    if (outcome != REOPEN_FAILED)
        return outcome;
    // The file's handle goes before its connection's.
    InternetHandle connection(hConnect);
    InternetHandle remote(hRemote);
    hConnect = NULL;
    hRemote = NULL;
    return outcome;
}
