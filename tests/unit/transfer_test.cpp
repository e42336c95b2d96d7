// What a transfer holds and who releases it, driven without threads or timing; and a job whose
// mirrors all fail.
#include <doctest.h>

#include "fake_inet.h"
#include "trace_capture.h"
#include "checkversion/download_jobs.h"
#include "checkversion/transfer.h"
#include "res/resource.h"

#include <string>

namespace {

const HINTERNET hSession = (HINTERNET)0x77;

// No handle but the caller's may be left on a local file: then it can be opened unshared.
bool IsUnheld(const std::wstring& path)
{
    HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(hFile);
    return true;
}

HANDLE CreateUnshared(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW,
                       0, NULL);
}

} // namespace

// Holders: M the main thread's share, W the worker's share, w the worker's transfer, t the
// transfer thread's. After each step: '-' nothing released, 'f' the transfer's copy of the
// file closed, 'a' the session closed, WinInet unbound and the share freed as well.
TEST_CASE("Whoever lets go of a transfer and its share last releases what they hold")
{
    struct { const char* steps; const char* released; } cases[] = {
        {"twWM", "-ffa"},       // the transfer ended while the worker waited
        {"wWMt", "---a"},       // left behind after a Cancel, ending after the check
        {"wWtM", "--fa"},       // left behind, ending before the main thread lets go
        {"tM", "--"},           // the worker ended by force: it never lets go
    };
    HWND hwnd = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
    for (auto& c : cases)
    {
        std::string steps = c.steps;
        CAPTURE(steps);
        FakeInternet inet;
        WinInetApi.hWinInet = LoadLibraryW(L"wininet.dll");
        REQUIRE(WinInetApi.hWinInet != NULL);
        TempDir dir;
        std::wstring path = dir.File(L"local.tmp");
        HANDLE hLocal = CreateUnshared(path);
        WorkerShare* pShare = NewWorkerShare(hwnd, L"vlm.tch.msi");
        REQUIRE(pShare != NULL);
        HoldShare(pShare);
        pShare->hSession = hSession;
        pShare->bInternetBound = true;
        TransferRequest request = {L"http://a/", hLocal, path.c_str(), NULL, NULL, NULL, NULL,
                                   resumeNever};
        Transfer* pTransfer = NewTransfer(hSession, pShare->param, request);
        REQUIRE(pTransfer != NULL);
        CloseHandle(hLocal);
        CHECK_FALSE(IsUnheld(path));

        std::string released;
        for (const char* pStep = c.steps; *pStep != '\0'; ++pStep)
        {
            if (*pStep == 'M' || *pStep == 'W')
                ReleaseShare(pShare);
            else
                ReleaseTransfer(pTransfer);
            bool bAll = g_fake.closed == std::vector<HINTERNET>{hSession}
                     && WinInetApi.hWinInet == NULL;
            released += bAll ? (IsUnheld(path) ? 'a' : '?') : IsUnheld(path) ? 'f' : '-';
        }
        CHECK(released == std::string(c.released));
        if (released.back() != 'a')
        {
            ReleaseTransfer(pTransfer);     // what a stopped worker keeps, given back for the test
            ReleaseShare(pShare);
        }
    }
    DestroyWindow(hwnd);
}

TEST_CASE("A job whose every mirror fails leaves no handle on its local file")
{
    HWND hwnd = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
    const wchar_t szMirrors[] = L"http://a/;ftp://b/;;http://unknown/";
    for (bool bPackage : {true, false})
    {
        CAPTURE(bPackage);
        FakeInternet inet;
        g_fake.urls[L"http://a/"] = HttpServer({404});
        g_fake.urls[L"ftp://b/"] = Unreachable();
        CallbackParam param = {hwnd, stateRunning, NULL, 0, NULL, 0, 0};
        TraceCapture trace;
        TempDir dir;
        std::wstring path = dir.File(L"vlm.tch.msi");
        bool bResult = true;
        if (bPackage)
        {
            BuildInfo latest;
            InitBuildInfo(latest);
            LPWSTR pszList = AllocText(lstrlenW(szMirrors) + 1);
            lstrcpyW(pszList, szMirrors);
            SetUrlList(latest, pszList);
            HANDLE hLocal = CreateUnshared(path);
            bResult = DownloadBuild((HINTERNET)0x55, param, latest, hLocal, path.c_str(), false);
            CloseHandle(hLocal);
            ReleaseBuildInfo(latest);
        }
        else
        {
            BuildInfo own, latest;
            InitBuildInfo(own);
            InitBuildInfo(latest);
            BuildInfoJob job;
            InitBuildInfoJob(job, own, 9, latest);
            lstrcpyW(job.pszUrlList.get(), szMirrors);
            path = job.pszLocalPath.get();
            bResult = Download((HINTERNET)0x55, param, job);
        }
        CHECK_FALSE(bResult);
        CHECK(g_fake.closed == std::vector<HINTERNET>{(HINTERNET)0x1001});   // the 404
        CHECK(DeleteFileW(path.c_str()));
    }
    DestroyWindow(hwnd);
}
