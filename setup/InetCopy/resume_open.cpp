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
const DWORD cchRangeHeaders = cchValidator + 64;
const DWORD dwFtpSizeReply = 213;
const DWORD dwFtpRestReply = 350;

// The parts of an FTP URL that a connection of its own needs.
struct FtpLocation
{
    WCHAR szHost[cchHostMax];
    WCHAR szUser[cchLogonMax];
    WCHAR szPassword[cchLogonMax];
    WCHAR szCommand[cchUrlListMax + 8];     // "SIZE " or "REST " and the path, or the number
    WCHAR szPath[cchUrlListMax + 1];
    INTERNET_PORT nPort;
};

bool IsDigit(WCHAR ch)
{
    return ch >= L'0' && ch <= L'9';
}

// The reply code of the last FTP command and the number after it ("213 12800"); 0 for none.
DWORD LastReply(DWORD* pdwNumber)
{
    WCHAR szReply[cchResponseMax];
    DWORD cchReply = cchResponseMax;
    DWORD dwError = 0;
    if (!WinInetApi.InternetGetLastResponseInfoW(&dwError, szReply, &cchReply) || cchReply < 4)
        return 0;
    LPCWSTR pszNumber = szReply + 4;
    if (pdwNumber != NULL && szReply[3] == L' ' && IsDigit(*pszNumber))
        *pdwNumber = (DWORD)ParseDecimal(pszNumber, NULL, 10);
    return (DWORD)ParseDecimal(szReply, NULL, 10);
}

// A command on the control connection; its reply code.
DWORD SendFtpCommand(HINTERNET hConnect, LPCWSTR pszVerb, LPCWSTR pszArgument,
                     FtpLocation& location, DWORD* pdwNumber)
{
    lstrcpyW(location.szCommand, pszVerb);
    lstrcatW(location.szCommand, pszArgument);
    if (!WinInetApi.FtpCommandW(hConnect, FALSE, FTP_TRANSFER_TYPE_BINARY, location.szCommand, 0,
                                NULL))
        return 0;
    return LastReply(pdwNumber);
}

// A control connection to the URL's server, in binary mode (a server may refuse a size or a
// restart in text mode), and the size of the URL's file there (0 when it tells none).
HINTERNET ConnectFtp(HINTERNET hSession, LPCWSTR pszUrl, FtpLocation& location, DWORD& dwSize)
{
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
    dwSize = 0;
    if (!WinInetApi.InternetCrackUrlW(pszUrl, 0, 0, &components))
        return NULL;
    HINTERNET hConnect = WinInetApi.InternetConnectW(
        hSession, location.szHost, components.nPort,
        location.szUser[0] != L'\0' ? location.szUser : NULL,
        location.szPassword[0] != L'\0' ? location.szPassword : NULL, INTERNET_SERVICE_FTP,
        INTERNET_FLAG_PASSIVE, 0);
    VERIFY_WININET_CALL(hConnect != NULL);
    if (hConnect != NULL && SendFtpCommand(hConnect, L"TYPE I", L"", location, NULL) != 0
        && SendFtpCommand(hConnect, L"SIZE ", location.szPath, location, &dwSize)
           != dwFtpSizeReply)
        dwSize = 0;
    return hConnect;
}

// A header value as the validator, unless it can't be sent back as it stands.
bool ReadValidator(HINTERNET hRemote, DWORD dwLevel, RemoteAnswer& answer)
{
    DWORD cbValidator = sizeof(answer.szValidator) - sizeof(WCHAR);
    ZeroBytes(answer.szValidator, sizeof(answer.szValidator));
    if (!WinInetApi.HttpQueryInfoW(hRemote, dwLevel, answer.szValidator, &cbValidator, NULL))
        answer.szValidator[0] = L'\0';
    for (LPCWSTR psz = answer.szValidator; *psz != L'\0'; ++psz)
    {
        if (*psz < L' ')
            answer.szValidator[0] = L'\0';
    }
    return answer.szValidator[0] != L'\0';
}

ReopenOutcome ReopenFtp(HINTERNET hSession, LPCWSTR pszUrl, DWORD dwWritten,
                        RemoteAnswer& answer, HINTERNET& hConnect, HINTERNET& hRemote)
{
    HeapPtr<FtpLocation> location(AllocItems<FtpLocation>(1));
    if (location.get() == NULL)
        return REOPEN_FAILED;
    DWORD dwSize = 0;
    hConnect = ConnectFtp(hSession, pszUrl, *location.get(), dwSize);
    DWORD dwReply = 0;
    bool bRestarted = false;
    if (hConnect != NULL && dwSize == answer.dwLength)
    {
        WCHAR szOffset[16];
        ZeroBytes(szOffset, sizeof(szOffset));
        FormatDecimal((LONG)dwWritten, szOffset);
        dwReply = SendFtpCommand(hConnect, L"REST ", szOffset, *location.get(), NULL);
        bRestarted = dwReply == dwFtpRestReply;
    }
    TracePrint("*** Download: resume: %S at %d: %d ***", pszUrl, (int)dwWritten, (int)dwReply);
    if (hConnect != NULL)
    {
        // A server that refused the restart sends the whole file: a new transfer.
        hRemote = WinInetApi.FtpOpenFileW(hConnect, location.get()->szPath, GENERIC_READ,
                                          FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD, 0);
        VERIFY_WININET_CALL(hRemote != NULL);
    }
    if (hRemote == NULL)
        return REOPEN_FAILED;
    if (bRestarted)
        return REOPEN_CONTINUES;
    answer.dwLength = dwSize;
    answer.szValidator[0] = L'\0';
    return REOPEN_FROM_ZERO;
}

ReopenOutcome ReopenHttp(HINTERNET hSession, LPCWSTR pszUrl, DWORD dwWritten, bool bIfRange,
                         RemoteAnswer& answer, HINTERNET& hRemote)
{
    WCHAR szHeaders[cchRangeHeaders];
    wsprintfW(szHeaders, L"Range: bytes=%u-\r\n", (unsigned)dwWritten);
    if (bIfRange)
    {
        AppendBounded(szHeaders, cchRangeHeaders, L"If-Range: ");
        AppendBounded(szHeaders, cchRangeHeaders, answer.szValidator);
        AppendBounded(szHeaders, cchRangeHeaders, L"\r\n");
    }
    hRemote = WinInetApi.InternetOpenUrlW(hSession, pszUrl, szHeaders, (DWORD)-1, dwOpenUrlFlags,
                                          0);
    VERIFY_WININET_CALL(hRemote != NULL);
    DWORD dwStatus = 0;
    WCHAR szRange[cchValidator];
    ZeroBytes(szRange, sizeof(szRange));
    if (hRemote != NULL)
    {
        DWORD cbStatus = sizeof(dwStatus);
        WinInetApi.HttpQueryInfoW(hRemote, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                  &dwStatus, &cbStatus, NULL);
        DWORD cbRange = sizeof(szRange) - sizeof(WCHAR);
        WinInetApi.HttpQueryInfoW(hRemote, HTTP_QUERY_CONTENT_RANGE, szRange, &cbRange, NULL);
    }
    TracePrint("*** Download: resume: %S at %d: %d ***", pszUrl, (int)dwWritten, (int)dwStatus);
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
    if (!ReadValidator(hRemote, HTTP_QUERY_ETAG, answer))
        ReadValidator(hRemote, HTTP_QUERY_LAST_MODIFIED, answer);
    // Without a length a cut transfer looks finished, and none could continue it.
    if (answer.dwLength != 0 || !IsFtpUrl(pszUrl))
        return;
    HeapPtr<FtpLocation> location(AllocItems<FtpLocation>(1));
    if (location.get() != NULL)
        InternetHandle connection(ConnectFtp(hSession, pszUrl, *location.get(), answer.dwLength));
    TracePrint("*** Download: FTP size: %d ***", (int)answer.dwLength);
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
    bool bSameFile = pszTotal != NULL && IsDigit(pszTotal[1])
                  && (DWORD)ParseDecimal(pszTotal + 1, NULL, 10) == dwLength;
    return bSameFile && (DWORD)lStart == dwWritten ? REOPEN_CONTINUES : REOPEN_FAILED;
}

ReopenOutcome ReopenRemote(HINTERNET hSession, LPCWSTR pszUrl, DWORD dwWritten, bool bIfRange,
                           RemoteAnswer& answer, HINTERNET& hConnect, HINTERNET& hRemote)
{
    hConnect = NULL;
    hRemote = NULL;
    ReopenOutcome outcome = IsFtpUrl(pszUrl)
        ? ReopenFtp(hSession, pszUrl, dwWritten, answer, hConnect, hRemote)
        : ReopenHttp(hSession, pszUrl, dwWritten, bIfRange, answer, hRemote);
    if (outcome != REOPEN_FAILED)
        return outcome;
    // The file's handle goes before its connection's.
    InternetHandle connection(hConnect);
    InternetHandle remote(hRemote);
    hConnect = NULL;
    hRemote = NULL;
    return outcome;
}
