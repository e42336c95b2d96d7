// Run-time binding of WinInet, all or nothing.
#include "WinInet.h"
#include "../setup_base/setup_base.h"
#include "../setup_base/system_library.h"

#include <stddef.h>

WinInetApiTable WinInetApi;

namespace {

const WCHAR szLibraryName[] = L"Wininet.dll";

// In the table's order.
const char szEntryPoints[] =
    "InternetOpenW\0FtpGetFileSize\0InternetReadFile\0HttpQueryInfoW\0InternetOpenUrlW\0"
    "InternetCrackUrlW\0InternetCloseHandle\0InternetGetLastResponseInfoW\0HttpSendRequestW\0"
    "InternetGetConnectedState\0InternetErrorDlg\0InternetSetOptionW\0InternetQueryOptionW\0"
    "InternetConnectW\0FtpCommandW\0FtpOpenFileW\0";
static_assert(sizeof(WinInetApi.rgpfnSlots) == offsetof(WinInetApiTable, hWinInet),
              "a slot per name, laid over the entry points");

bool FailToFind()
{
    TracePrint("*** Initialize internet: Can't find library ***");
    return false;
}

} // namespace

bool BindWinInet(LPCWSTR pszLibraryPath)
{
    TracePrint("*** Initialize internet: start ***");
    if (pszLibraryPath == NULL)
        return FailToFind();

    WinInetApi.hWinInet = LoadLibraryByPath(pszLibraryPath);
    if (WinInetApi.hWinInet == NULL)
        return FailToFind();

    bool bBound = BindEntryPoints(WinInetApi.hWinInet, szEntryPoints, WinInetApi.rgpfnSlots)
                  == NULL;
    if (!bBound)
        UninitializeInternet();
    TracePrint("*** Initialize internet: end ***");
    return bBound;
}

bool InitializeInternet()
{
    WCHAR szPath[MAX_PATH];
    // No path that fits: never fall back to a search by name.
    return BindWinInet(GetSystemFilePath(szLibraryName, szPath, MAX_PATH) ? szPath : NULL);
}

void UninitializeInternet()
{
    TracePrint("*** Uninitialize internet: start ***");

    HMODULE hWinInet = WinInetApi.hWinInet;
    ZeroBytes(&WinInetApi, sizeof(WinInetApi));
    WinInetApi.hWinInet = hWinInet;

    BOOL res = FreeLibrary(hWinInet);
    VERIFY_API_CALL(res != FALSE);
    WinInetApi.hWinInet = NULL;

    TracePrint("*** Uninitialize internet: end ***");
}

void ReportWinInetCall(LPCSTR pszCondition, LPCSTR pszFile, long nLine)
{
    const DWORD cchResponse = 1024;
    int nError = (int)GetLastError();

    // Zero-filled, so a failed query leaves an empty text rather than stack garbage.
    WCHAR szResponse[cchResponse];
    ZeroBytes(szResponse, sizeof(szResponse));
    DWORD dwLength = cchResponse;
    DWORD dwResponseError = 0;
    BOOL res = FALSE;
    if (WinInetApi.InternetGetLastResponseInfoW != NULL)
        res = WinInetApi.InternetGetLastResponseInfoW(&dwResponseError, szResponse, &dwLength);
    else
        SetLastError(ERROR_INVALID_FUNCTION);
    VERIFY_API_CALL(res != FALSE);
    szResponse[cchResponse - 1] = L'\0';

    TracePrint("*** VERIFY WININET CALL: %s (%s, %ld): %d, %S, %d ***", pszCondition, pszFile,
               nLine, nError, szResponse, (int)dwLength);
}

void CloseInternetHandle(HINTERNET hInternet)
{
    BOOL res = WinInetApi.InternetCloseHandle(hInternet);
    VERIFY_WININET_CALL(res != FALSE);
}
