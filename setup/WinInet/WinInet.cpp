// Run-time binding of WinInet, all or nothing.
#include "WinInet.h"
#include "../setup_base/setup_base.h"

WinInetApiTable WinInetApi;

namespace {

const WCHAR szLibraryName[] = L"Wininet.dll";

template <typename T>
bool LookUp(T*& pfnSlot, LPCSTR pszName)
{
    pfnSlot = reinterpret_cast<T*>(reinterpret_cast<void*>(GetProcAddress(WinInetApi.hWinInet,
                                                                           pszName)));
    return pfnSlot != NULL;
}

// In this order; the first name that is missing ends the look-up.
bool LookUpAll()
{
    return LookUp(WinInetApi.InternetOpenW, "InternetOpenW")
        && LookUp(WinInetApi.HttpQueryInfoW, "HttpQueryInfoW")
        && LookUp(WinInetApi.InternetOpenUrlW, "InternetOpenUrlW")
        && LookUp(WinInetApi.InternetCrackUrlW, "InternetCrackUrlW")
        && LookUp(WinInetApi.InternetGetLastResponseInfoW, "InternetGetLastResponseInfoW")
        && LookUp(WinInetApi.HttpSendRequestW, "HttpSendRequestW")
        && LookUp(WinInetApi.InternetSetOptionW, "InternetSetOptionW")
        && LookUp(WinInetApi.FtpGetFileSize, "FtpGetFileSize")
        && LookUp(WinInetApi.InternetReadFile, "InternetReadFile")
        && LookUp(WinInetApi.InternetCloseHandle, "InternetCloseHandle")
        && LookUp(WinInetApi.InternetGetConnectedState, "InternetGetConnectedState")
        && LookUp(WinInetApi.InternetQueryOptionW, "InternetQueryOptionW")
        && LookUp(WinInetApi.InternetErrorDlg, "InternetErrorDlg");
}

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

    bool bBound = LookUpAll();
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
