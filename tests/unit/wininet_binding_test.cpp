// Binding WinInet: the real library of the system, a missing library, a missing export.
#include <doctest.h>

#include "trace_capture.h"
#include "WinInet/WinInet.h"

#include <string>
#include <vector>

namespace {

std::vector<void*> Slots()
{
    return {
        (void*)WinInetApi.InternetOpenW, (void*)WinInetApi.FtpGetFileSize,
        (void*)WinInetApi.InternetReadFile, (void*)WinInetApi.HttpQueryInfoW,
        (void*)WinInetApi.InternetOpenUrlW, (void*)WinInetApi.InternetCrackUrlW,
        (void*)WinInetApi.InternetCloseHandle, (void*)WinInetApi.InternetGetLastResponseInfoW,
        (void*)WinInetApi.HttpSendRequestW, (void*)WinInetApi.InternetGetConnectedState,
        (void*)WinInetApi.InternetErrorDlg, (void*)WinInetApi.InternetSetOptionW,
        (void*)WinInetApi.InternetQueryOptionW, (void*)WinInetApi.InternetConnectW,
        (void*)WinInetApi.FtpCommandW, (void*)WinInetApi.FtpOpenFileW,
    };
}

int FilledSlots()
{
    int n = 0;
    for (void* p : Slots())
        n += p != NULL;
    return n;
}

std::wstring BesideTestExe(const wchar_t* pszName)
{
    wchar_t sz[MAX_PATH];
    GetModuleFileNameW(NULL, sz, MAX_PATH);
    *(wchar_t*)FindLastChar(sz, L'\\') = 0;
    return std::wstring(sz) + L"\\" + pszName;
}

} // namespace

TEST_CASE("The system's WinInet is bound with all sixteen slots and released again")
{
    TraceCapture trace;
    REQUIRE(InitializeInternet());
    CHECK(WinInetApi.hWinInet != NULL);
    CHECK(FilledSlots() == 16);

    wchar_t szLoaded[MAX_PATH], szSystem[MAX_PATH];
    GetModuleFileNameW(WinInetApi.hWinInet, szLoaded, MAX_PATH);
    UINT cchSystem = GetSystemDirectoryW(szSystem, MAX_PATH);
    CHECK(CompareStrings(std::wstring(szLoaded).substr(0, cchSystem).c_str(), szSystem) == 0);

    UninitializeInternet();
    CHECK(WinInetApi.hWinInet == NULL);
    CHECK(FilledSlots() == 0);
    CHECK(trace.Lines() == std::vector<std::string>{
        "*** Initialize internet: start ***", "*** Initialize internet: end ***",
        "*** Uninitialize internet: start ***", "*** Uninitialize internet: end ***"});
}

TEST_CASE("A library that cannot be found binds nothing")
{
    TraceCapture trace;
    CHECK_FALSE(BindWinInet(L"C:\\no-such-directory\\Wininet.dll"));
    CHECK(WinInetApi.hWinInet == NULL);
    CHECK(FilledSlots() == 0);
    CHECK(trace.Lines() == std::vector<std::string>{
        "*** Initialize internet: start ***", "*** Initialize internet: Can't find library ***"});
}

TEST_CASE("A missing export empties every slot, the ones found before it included")
{
    TraceCapture trace;
    std::wstring path = BesideTestExe(L"fake_wininet_partial.dll");
    CHECK_FALSE(BindWinInet(path.c_str()));
    CHECK(WinInetApi.hWinInet == NULL);
    CHECK(FilledSlots() == 0);
    CHECK(GetModuleHandleW(path.c_str()) == NULL);   // the library was freed
    CHECK(trace.Lines() == std::vector<std::string>{
        "*** Initialize internet: start ***", "*** Uninitialize internet: start ***",
        "*** Uninitialize internet: end ***", "*** Initialize internet: end ***"});
}
