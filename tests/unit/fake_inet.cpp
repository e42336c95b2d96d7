#include "fake_inet.h"
#include "setup_base/setup_base.h"

#include <algorithm>

FakeState g_fake;
const HINTERNET hFakeRemote = (HINTERNET)0x7000;
const HINTERNET hFakeConnect = (HINTERNET)0x6000;

namespace {

const DWORD dwPassive = 0x88400310;
const DWORD dwActive = 0x80400310;

// Opened URLs get handles 0x1000, 0x1001, ... in the order of the script's map.
HINTERNET HandleOf(const std::wstring& url)
{
    DWORD i = 0;
    for (const auto& entry : g_fake.urls)
    {
        if (entry.first == url)
            return (HINTERNET)(ULONG_PTR)(0x1000 + i);
        ++i;
    }
    return NULL;
}

const UrlScript* ScriptOf(HINTERNET h)
{
    ULONG_PTR i = (ULONG_PTR)h - 0x1000;
    for (const auto& entry : g_fake.urls)
    {
        if (i-- == 0)
            return &entry.second;
    }
    return NULL;
}

HINTERNET WINAPI FakeOpenUrl(HINTERNET, LPCWSTR pszUrl, LPCWSTR pszHeaders, DWORD, DWORD dwFlags,
                             DWORD_PTR)
{
    g_fake.opens.push_back({pszUrl, dwFlags, pszHeaders != NULL ? pszHeaders : L""});
    auto it = g_fake.urls.find(pszUrl);
    if (it != g_fake.urls.end())
    {
        const UrlScript& script = it->second;
        if ((dwFlags == dwPassive && script.bPassiveOpens) ||
            (dwFlags == dwActive && script.bActiveOpens))
            return HandleOf(pszUrl);
        SetLastError(script.dwOpenError);
        return NULL;
    }
    SetLastError(12007);
    return NULL;
}

BOOL QueryStatus(HINTERNET h, LPVOID pBuffer, LPDWORD pcb)
{
    const UrlScript* pScript = ScriptOf(h);
    int nQuery = g_fake.nStatusQueries++;
    if (pScript == NULL || pScript->statuses.empty() || *pcb != sizeof(DWORD))
    {
        SetLastError(12018);
        return FALSE;
    }
    size_t i = (size_t)nQuery < pScript->statuses.size() ? nQuery : pScript->statuses.size() - 1;
    *(DWORD*)pBuffer = pScript->statuses[i];
    return TRUE;
}

BOOL QueryContentLength(LPVOID pBuffer, LPDWORD pcb)
{
    const RemoteFile& remote = g_fake.remote;
    if (!remote.bHasContentLength)
    {
        SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
        return FALSE;
    }
    DWORD cbNeeded = (DWORD)(remote.contentLength.size() + 1) * sizeof(wchar_t);
    if (pBuffer == NULL || *pcb < cbNeeded)
    {
        *pcb = cbNeeded;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    lstrcpyW((LPWSTR)pBuffer, remote.contentLength.c_str());
    *pcb = cbNeeded - sizeof(wchar_t);
    return TRUE;
}

BOOL QueryText(const std::wstring& text, LPVOID pBuffer, LPDWORD pcb)
{
    DWORD cbNeeded = (DWORD)(text.size() + 1) * sizeof(wchar_t);
    if (text.empty() || *pcb < cbNeeded)
    {
        SetLastError(text.empty() ? ERROR_HTTP_HEADER_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    lstrcpyW((LPWSTR)pBuffer, text.c_str());
    *pcb = cbNeeded - sizeof(wchar_t);
    return TRUE;
}

BOOL WINAPI FakeQueryInfo(HINTERNET h, DWORD dwLevel, LPVOID pBuffer, LPDWORD pcb, LPDWORD)
{
    if (dwLevel == (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER))
        return QueryStatus(h, pBuffer, pcb);
    if (dwLevel == HTTP_QUERY_CONTENT_LENGTH)
        return QueryContentLength(pBuffer, pcb);
    const UrlScript* pScript = ScriptOf(h);
    if (pScript != NULL && dwLevel == HTTP_QUERY_CONTENT_RANGE)
        return QueryText(pScript->contentRange, pBuffer, pcb);
    if (pScript != NULL && dwLevel == HTTP_QUERY_ETAG)
        return QueryText(pScript->etag, pBuffer, pcb);
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL WINAPI FakeClose(HINTERNET h)
{
    g_fake.closed.push_back(h);
    return TRUE;
}

DWORD WINAPI FakeErrorDlg(HWND, HINTERNET, DWORD, DWORD, LPVOID*)
{
    int n = g_fake.nDialogs++;
    if (g_fake.dialogAnswers.empty())
        return ERROR_INTERNET_FORCE_RETRY;
    size_t i = (size_t)n < g_fake.dialogAnswers.size() ? n : g_fake.dialogAnswers.size() - 1;
    return g_fake.dialogAnswers[i];
}

BOOL WINAPI FakeSendRequest(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD)
{
    ++g_fake.nResends;
    return TRUE;
}

BOOL WINAPI FakeResponse(LPDWORD pdwError, LPWSTR pszBuffer, LPDWORD pcch)
{
    *pdwError = 550;
    lstrcpyW(pszBuffer, g_fake.lastResponse.c_str());
    *pcch = (DWORD)g_fake.lastResponse.size();
    return TRUE;
}

HINTERNET WINAPI FakeConnect(HINTERNET, LPCWSTR pszHost, INTERNET_PORT nPort, LPCWSTR pszUser,
                             LPCWSTR, DWORD dwService, DWORD, DWORD_PTR)
{
    g_fake.connects.push_back(std::wstring(pszHost) + L" " + std::to_wstring(nPort) + L" " +
                              (pszUser != NULL ? pszUser : L"(anonymous)"));
    return dwService == INTERNET_SERVICE_FTP ? hFakeConnect : NULL;
}

BOOL WINAPI FakeFtpCommand(HINTERNET, BOOL, DWORD, LPCWSTR pszCommand, DWORD_PTR, HINTERNET*)
{
    std::wstring command = pszCommand;
    g_fake.ftpCommands.push_back(command);
    auto it = g_fake.ftpReplies.find(command.substr(0, command.find(L' ')));
    g_fake.lastResponse = it != g_fake.ftpReplies.end() ? it->second : L"500 Unknown command.";
    return g_fake.lastResponse[0] < L'4';
}

HINTERNET WINAPI FakeFtpOpenFile(HINTERNET, LPCWSTR pszFile, DWORD, DWORD, DWORD_PTR)
{
    g_fake.ftpCommands.push_back(std::wstring(L"RETR ") + pszFile);
    return g_fake.bFtpFileOpens ? hFakeRemote : NULL;
}

DWORD WINAPI FakeFtpGetFileSize(HINTERNET, LPDWORD pdwHigh)
{
    *pdwHigh = 7;    // the high part must be discarded
    return g_fake.remote.dwFtpSize;
}

BOOL WINAPI FakeReadFile(HINTERNET, LPVOID pBuffer, DWORD cbToRead, LPDWORD pcbRead)
{
    RemoteFile& remote = g_fake.remote;
    if (g_fake.nReads++ == remote.nFailingRead)
    {
        SetLastError(ERROR_INTERNET_CONNECTION_RESET);
        return FALSE;
    }
    size_t cbLeft = remote.bytes.size() - g_fake.cbRemoteRead;
    DWORD cb = (DWORD)std::min(std::min((size_t)cbToRead, (size_t)remote.cbChunk), cbLeft);
    CopyMemory(pBuffer, remote.bytes.data() + g_fake.cbRemoteRead, cb);
    g_fake.cbRemoteRead += cb;
    *pcbRead = cb;
    return TRUE;
}

} // namespace

UrlScript Unreachable()
{
    return UrlScript();
}

UrlScript FtpServer(bool bPassive, bool bActive)
{
    UrlScript script;
    script.bPassiveOpens = bPassive;
    script.bActiveOpens = bActive;
    return script;
}

UrlScript HttpServer(std::vector<DWORD> statuses)
{
    UrlScript script;
    script.bActiveOpens = true;
    script.statuses = statuses;
    return script;
}

BOOL WINAPI FakeQueryOption(HINTERNET, DWORD dwOption, LPVOID pBuffer, LPDWORD pcb)
{
    static wchar_t szProxy[] = L"127.0.0.1:3128";
    if (dwOption != INTERNET_OPTION_PROXY)
        return FALSE;
    if (pBuffer == NULL || *pcb < sizeof(INTERNET_PROXY_INFO))
    {
        *pcb = sizeof(INTERNET_PROXY_INFO);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    INTERNET_PROXY_INFO* pInfo = (INTERNET_PROXY_INFO*)pBuffer;
    pInfo->dwAccessType = g_fake.bProxy ? INTERNET_OPEN_TYPE_PROXY : INTERNET_OPEN_TYPE_DIRECT;
    pInfo->lpszProxy = g_fake.bProxy ? szProxy : NULL;
    pInfo->lpszProxyBypass = NULL;
    return TRUE;
}

FakeInternet::FakeInternet() : m_saved(WinInetApi)
{
    g_fake = FakeState();
    ZeroMemory(&WinInetApi, sizeof(WinInetApi));
    WinInetApi.InternetOpenUrlW = FakeOpenUrl;
    WinInetApi.HttpQueryInfoW = FakeQueryInfo;
    WinInetApi.InternetCloseHandle = FakeClose;
    WinInetApi.InternetErrorDlg = FakeErrorDlg;
    WinInetApi.HttpSendRequestW = FakeSendRequest;
    WinInetApi.InternetGetLastResponseInfoW = FakeResponse;
    WinInetApi.FtpGetFileSize = FakeFtpGetFileSize;
    WinInetApi.InternetReadFile = FakeReadFile;
    WinInetApi.InternetQueryOptionW = FakeQueryOption;
    WinInetApi.InternetConnectW = FakeConnect;
    WinInetApi.FtpCommandW = FakeFtpCommand;
    WinInetApi.FtpOpenFileW = FakeFtpOpenFile;
}

FakeInternet::~FakeInternet()
{
    WinInetApi = m_saved;
}

std::vector<std::string> WithoutLineNumbers(const std::vector<std::string>& lines)
{
    std::vector<std::string> result;
    for (std::string line : lines)
    {
        size_t pos = line.find(".cpp, ");
        if (pos != std::string::npos)
        {
            size_t begin = pos + 6;
            size_t end = line.find(')', begin);
            line.replace(begin, end - begin, "#");
        }
        result.push_back(line);
    }
    return result;
}

namespace {

const SIZE_T cbSmallHeap = 64 * 1024;

} // namespace

ExhaustedHeap::ExhaustedHeap(int nBlocks, DWORD cbBlock)
    : m_hHeap(HeapCreate(0, 0, cbSmallHeap)), m_hSaved(g_hBlockHeap), m_nBlocks(nBlocks),
      m_cbBlock(cbBlock)
{
    g_hBlockHeap = m_hHeap;
}

void* ExhaustedHeap::Alloc(DWORD cb)
{
    return HeapAlloc(m_hHeap, HEAP_ZERO_MEMORY, cb);
}

void ExhaustedHeap::Fill()
{
    const int nMaxBlocks = 16;
    void* pPromised[nMaxBlocks];
    int n = 0;
    for (; n < m_nBlocks && n < nMaxBlocks; ++n)
        pPromised[n] = HeapAlloc(m_hHeap, 0, m_cbBlock);
    // Largest first, so that what is left at the end are gaps too small for anything.
    for (DWORD cb = 4096; cb > 0; cb /= 2)
    {
        while (HeapAlloc(m_hHeap, 0, cb) != NULL)
        {
        }
    }
    for (int i = 0; i < n; ++i)
    {
        if (pPromised[i] != NULL)
            HeapFree(m_hHeap, 0, pPromised[i]);
    }
}

ExhaustedHeap::~ExhaustedHeap()
{
    g_hBlockHeap = m_hSaved;
    HeapDestroy(m_hHeap);
}
