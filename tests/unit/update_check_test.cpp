// The update check's own routines: the bar's percentages and the callbacks that post them, the
// package status, the question, the default file name, and the main thread's wait for the
// worker.
#include <doctest.h>

#include "fake_inet.h"
#include "trace_capture.h"
#include "watchdog.h"
#include "checkversion/checkversion.h"
#include "checkversion/download_jobs.h"
#include "checkversion/latest_build.h"
#include "checkversion/progress_callbacks.h"
#include "checkversion/worker_end.h"
#include "msi_engine.h"
#include "setup_base/system_library.h"
#include "res/resource.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// A top-level window with a child of the progress bar's id, owned by the test's thread.
struct FakeDialog
{
    HWND hwnd;
    FakeDialog()
    {
        hwnd = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
        CreateWindowW(L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, hwnd, (HMENU)IDC_PROGRESS, NULL,
                      NULL);
        CreateWindowW(L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, hwnd, (HMENU)IDC_STATUS, NULL,
                      NULL);
    }
    ~FakeDialog() { DestroyWindow(hwnd); }
};

std::vector<int> Posted(const std::vector<std::string>& lines)
{
    const std::string prefix = "*** PostProgress: post progress: ";
    std::vector<int> positions;
    for (const std::string& line : lines)
    {
        if (line.rfind(prefix, 0) == 0)
            positions.push_back(std::stoi(line.substr(prefix.size())));
    }
    return positions;
}

std::string Narrow(LPCWSTR psz)
{
    char sz[1024];
    WideCharToMultiByte(CP_UTF8, 0, psz, -1, sz, sizeof(sz), NULL, NULL);
    return sz;
}

} // namespace

TEST_CASE("The bar: failed mirrors step it, a copy fills it, an unknown size sweeps it")
{
    struct Case { DWORD dwSize; DWORD dwCopied; DWORD dwPercent; };
    const Case cases[] = {
        {1000, 500, 50}, {100, 37, 37}, {52u << 20, 26u << 20, 50},
        {1, 0, 100}, {99, 98, 100},                          // under 100 bytes: full at once
        {0, 0, 0}, {0, 524288, 50}, {0, 1048575, 100}, {0, 1048576, 0},   // sweeps every MiB
        {INVALID_FILE_SIZE, 524288, 50}, {INVALID_FILE_SIZE, (5u << 20) + 10485, 1},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.dwSize);
        CAPTURE(c.dwCopied);
        CHECK(CopyPercent(c.dwSize, c.dwCopied) == c.dwPercent);
    }
    for (DWORD dwNode = 1; dwNode <= 5; ++dwNode)
        CHECK(NodesPercent(dwNode, 5) == dwNode * 20);
}

TEST_CASE("Callbacks post a position only when it changed, and stop once the state left 0")
{
    FakeDialog dialog;
    CallbackParam param = {dialog.hwnd, stateRunning, NULL, 0, NULL, 0, 0};
    TraceCapture trace;

    CopyProgress copy = {1000, 0, 77};
    CHECK(DownloadBuildCallback(PROGRESS_STARTED, &copy, &param));
    for (DWORD dwCopied : {5u, 9u, 10u, 15u, 30u, 1000u})
    {
        copy.dwBytesCopied = dwCopied;
        CHECK(DownloadBuildCallback(PROGRESS_STEP, &copy, &param));
    }
    OpenUrlProgress open = {0, 1, 0, {0, 0}};
    CHECK(TryOpenUrlCallback(PROGRESS_STEP, &open, &param));    // no nodes: nothing to post
    CHECK(Posted(trace.Lines()) == std::vector<int>{0, 1, 3, 100});

    param.lState = stateStopped;
    CHECK_FALSE(DownloadBuildCallback(PROGRESS_STEP, &copy, &param));
    CHECK(trace.Lines().back() == "*** Download build callback: terminated ***");
    CHECK(DownloadBuildCallback(PROGRESS_FAILED, &copy, &param));   // the last word is kept
    CHECK_FALSE(TryOpenUrlCallback(PROGRESS_STARTED, &open, NULL));
}

TEST_CASE("Without a size the bar gets a new position at most every 50 ms, however fast")
{
    FakeDialog dialog;
    CallbackParam param = {dialog.hwnd, stateRunning, NULL, 0, NULL, 0, 0};
    TraceCapture trace;
    CopyProgress copy = {0, 0, 0};
    DWORD dwStart = GetTickCount();
    for (int i = 0; i < 200; ++i)
    {
        copy.dwBytesCopied += 32768;    // 6 MiB: the sweep turns six times
        CHECK(DownloadBuildCallback(PROGRESS_STEP, &copy, &param));
    }
    DWORD dwElapsed = GetTickCount() - dwStart;
    CHECK(Posted(trace.Lines()).size() <= 1 + dwElapsed / 50);
    Sleep(60);
    copy.dwBytesCopied += 32768;
    size_t cPosted = Posted(trace.Lines()).size();
    CHECK(DownloadBuildCallback(PROGRESS_STEP, &copy, &param));
    CHECK(Posted(trace.Lines()).size() == cPosted + 1);
}

TEST_CASE("The package status names the version, and the size in whole MiB when known")
{
    struct Case { DWORD dwFtpSize; const char* text; };
    const Case cases[] = {
        {(52u << 20) + 5, "下載 VLM 9.0.0.512 (52 MB)"},
        {1000, "下載 VLM 9.0.0.512 (0 MB)"},
        {INVALID_FILE_SIZE, "下載 VLM 9.0.0.512"},    // nor a Content-Length: no size part
    };
    for (const Case& c : cases)
    {
        FakeInternet inet;
        g_fake.remote.dwFtpSize = c.dwFtpSize;
        BuildInfo latest;
        InitBuildInfo(latest);
        latest.version = MakeVersion(9, 0, 0, 512);
        WCHAR szStatus[cchJobText];
        CHECK(ComposeDownloadStatus(szStatus, latest.version, c.dwFtpSize));
        CHECK(Narrow(szStatus) == c.text);
    }
}

TEST_CASE("The question replaces the first '%' only, and there is none without one")
{
    struct Case { const wchar_t* message; const wchar_t* text; };
    const Case cases[] = {
        {L"new (%) here", L"new (9.0.0.512) here"},
        {L"%a%b", L"9.0.0.512a%b"},
        {L"no mark", NULL},
        // The engine's escapes are the brackets a person reads; anything else stays as written.
        {L"% \u6309 [\\[]\u662f[\\]] [\\]]", L"9.0.0.512 \u6309 [\u662f] ]"},
        {L"[\\[] [\\x] [\\[ %[\\", L"[ [\\x] [\\[ 9.0.0.512[\\"},
    };
    for (const Case& c : cases)
    {
        HeapPtr<WCHAR> text(ComposeQuestion(c.message, L"9.0.0.512"));
        if (c.text == NULL)
            CHECK(text.get() == NULL);
        else
            CHECK(std::wstring(text.get()) == c.text);
    }
}

namespace {

// Decodes %xx as Windows does with ICU_ESCAPE (Wine does not): the path alone is asked for.
BOOL WINAPI FakeCrackUrl(LPCWSTR pszUrl, DWORD cchUrl, DWORD dwFlags, LPURL_COMPONENTSW pc)
{
    std::wstring url(pszUrl, cchUrl);
    size_t slash = url.find(L'/', url.find(L"://") + 3);
    std::wstring path = slash == std::wstring::npos ? L"/" : url.substr(slash);
    std::wstring decoded;
    for (size_t i = 0; i < path.size(); ++i)
    {
        if ((dwFlags & ICU_ESCAPE) && path[i] == L'%' && i + 2 < path.size())
        {
            decoded += (wchar_t)std::stoi(path.substr(i + 1, 2), NULL, 16);
            i += 2;
        }
        else
            decoded += path[i];
    }
    if (decoded.size() >= pc->dwUrlPathLength)
        return FALSE;
    std::copy(decoded.begin(), decoded.end(), pc->lpszUrlPath);
    pc->lpszUrlPath[decoded.size()] = 0;
    pc->dwUrlPathLength = (DWORD)decoded.size();
    return TRUE;
}

} // namespace

TEST_CASE("The default file name is the last part of the first URL's path, decoded")
{
    struct Case { std::wstring list; std::wstring name; };
    const Case cases[] = {
        {L"ftp://h/a/b/name.msi;http://h/other.msi", L"name.msi"},
        {L"http://h/dir/", L""},
        {L"http://h/my%20setup.msi", L"my setup.msi"},
        {L"http://h/name.msi", L"name.msi"},
        {L"http://h/d/" + std::wstring(300, L'n'), L""},    // longer than a path: no name
        {L"http://h/d/" + std::wstring(MAX_PATH - 1, L'n'), std::wstring(MAX_PATH - 1, L'n')},
        {L"http://h/d/" + std::wstring(MAX_PATH, L'n'), L""},
    };
    FakeInternet inet;
    WinInetApi.InternetCrackUrlW = FakeCrackUrl;
    for (const Case& c : cases)
    {
        WCHAR szName[MAX_PATH] = {};
        SuggestFileName(c.list.c_str(), szName);
        CHECK(std::wstring(szName) == c.name);
    }
}

namespace {

DWORD WINAPI SetTextOf(LPVOID pvDialog)
{
    // Sent to the window's own thread: it returns only once that thread handles it.
    SetWindowTextW((HWND)pvDialog, L"late text");
    return 0;
}

const SIZE_T cbBusyPages = 65536;
// The wait for a worker and its forced end take about 21 s at the most.
const DWORD dwHangLimitMs = 60000;

DWORD WINAPI MapPages(LPVOID)
{
    for (;;)
    {
        void* pPages = VirtualAlloc(NULL, cbBusyPages, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        VirtualFree(pPages, 0, MEM_RELEASE);
    }
}

DWORD WINAPI KeepBusy(LPVOID)
{
    for (;;)
    {
        void* p = HeapAlloc(GetProcessHeap(), 0, 64);
        HeapFree(GetProcessHeap(), 0, p);
        TracePrint("*** busy ***");
    }
}

} // namespace

TEST_CASE("The wait for the worker serves its late control texts instead of timing out")
{
    FakeDialog dialog;
    TraceCapture trace;
    Watchdog watchdog("the worker that sets a control text to end", dwHangLimitMs);
    HANDLE hThread = CreateThread(NULL, 0, SetTextOf, dialog.hwnd, 0, NULL);
    DWORD dwStart = GetTickCount();
    CHECK(WaitAndClose(hThread) == checkEndedNormally);
    CHECK(GetTickCount() - dwStart < 5000);
    CHECK(trace.Lines() == std::vector<std::string>{"*** WaitAndClose: Thread is signaled ***"});
    WaitAndClose(NULL);
    CHECK(trace.Lines().back() == "WaitAndClose: invalid parameter");
}

TEST_CASE("The person's Cancel outlasts a transfer phase that sets the state back to running")
{
    HWND hwnd = CreateDialogParamW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDD_DOWNLOAD_BUILD),
                                   NULL, DownloadBuildDialogProc, 0);
    REQUIRE(hwnd != NULL);
    CallbackParam param = {hwnd, stateRunning, NULL, 0, NULL, 0, 0};
    SetWindowLongPtrW(hwnd, DWLP_USER, (LONG_PTR)&param.lState);
    SendMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
    StoreRunning(param);        // the next phase starts just after the click

    CHECK(IsCancelled(param));
    CopyProgress copy = {1000, 10, 0};
    CHECK_FALSE(DownloadBuildCallback(PROGRESS_STEP, &copy, &param));
    Watchdog watchdog("the dialog loop to see the Cancel", dwHangLimitMs);
    CHECK_FALSE(DialogLoop(hwnd, param));   // at once: no message is waited for
    DestroyWindow(hwnd);
}

TEST_CASE("A worker ended by force leaves the heap and the trace usable, with whole lines")
{
    TraceCapture trace;
    Watchdog watchdog("the busy worker's forced end, then the heap and the trace",
                      dwHangLimitMs);
    HANDLE hThread = CreateThread(NULL, 0, KeepBusy, NULL, 0, NULL);
    Sleep(100);
    CHECK(WaitAndClose(hThread) == checkEndedWorkerByForce);

    void* p = HeapAlloc(GetProcessHeap(), 0, 64);
    CHECK(p != NULL);
    HeapFree(GetProcessHeap(), 0, p);
    TracePrint("*** after ***");
    auto lines = trace.Lines();
    CHECK(lines.back() == "*** after ***");
    CHECK(std::count(lines.begin(), lines.end(),
                     "*** WaitAndClose: Thread is not signaled, terminate ***") == 1);
    for (const std::string& line : lines)
        CHECK(line.rfind("***", 0) == 0);
}

// Under Wine a thread ended inside the memory map's section keeps its lock: without the
// suspension first, about one run in three hangs at the VirtualAlloc below.
TEST_CASE("A worker ended by force while it maps pages leaves the memory map usable")
{
    TraceCapture trace;
    Watchdog watchdog("the mapping worker's forced end, then a page mapping", dwHangLimitMs);
    HANDLE hThread = CreateThread(NULL, 0, MapPages, NULL, 0, NULL);
    Sleep(100);
    CHECK(WaitAndClose(hThread) == checkEndedWorkerByForce);
    void* pPages = VirtualAlloc(NULL, cbBusyPages, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    CHECK(pPages != NULL);
    VirtualFree(pPages, 0, MEM_RELEASE);
}

namespace {

volatile LONG g_lSpins = 0;
volatile LONG g_lRelease = 0;

// Keeps the loader lock, as a worker stuck inside a library's start-up would.
DWORD WINAPI SpinHoldingLoaderLock(LPVOID)
{
    typedef LONG (NTAPI *LockProc)(ULONG, ULONG*, ULONG_PTR*);
    typedef LONG (NTAPI *UnlockProc)(ULONG, ULONG_PTR);
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    ULONG_PTR cookie = 0;
    ((LockProc)(void*)GetProcAddress(hNtdll, "LdrLockLoaderLock"))(0, NULL, &cookie);
    while (g_lRelease == 0)
        InterlockedIncrement(&g_lSpins);
    ((UnlockProc)(void*)GetProcAddress(hNtdll, "LdrUnlockLoaderLock"))(0, cookie);
    return 0;
}

DWORD WINAPI Spin(LPVOID)
{
    while (g_lRelease == 0)
        InterlockedIncrement(&g_lSpins);
    return 0;
}

} // namespace

TEST_CASE("A worker that can't be ended safely is left suspended, never ended or resumed")
{
    // Without the right to end it, and while it keeps the loader lock.
    struct { LPTHREAD_START_ROUTINE pfnWorker; DWORD dwAccess; } cases[] = {
        {Spin, SYNCHRONIZE | THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT},
        {SpinHoldingLoaderLock, THREAD_ALL_ACCESS},
    };
    for (auto& c : cases)
    {
        g_lRelease = 0;
        Watchdog watchdog("the worker left suspended, then a process started and waited for",
                          dwHangLimitMs);
        TraceCapture trace;
        HANDLE hThread = CreateThread(NULL, 0, c.pfnWorker, NULL, 0, NULL);
        HANDLE hGiven = NULL;
        DuplicateHandle(GetCurrentProcess(), hThread, GetCurrentProcess(), &hGiven, c.dwAccess,
                        FALSE, 0);
        CHECK(WaitAndClose(hGiven) == checkLeftWorkerSuspended);
        LONG lSpins = g_lSpins;
        Sleep(100);
        CHECK(g_lSpins == lSpins);
        DWORD dwExitCode = 0;
        CHECK((GetExitCodeThread(hThread, &dwExitCode) && dwExitCode == STILL_ACTIVE));
        auto lines = trace.Lines();
        CHECK(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.rfind("*** WaitAndClose: Thread is left suspended (", 0) == 0; }));
        // The run goes on to msiexec: a process is still started and waited for.
        WCHAR szCmd[MAX_PATH];
        WCHAR szLine[] = L"cmd.exe /c exit 7";
        DWORD dwCode = 0;
        CHECK((GetSystemFilePath(L"cmd.exe", szCmd, MAX_PATH)
               && RunProcess(szCmd, szLine, NULL, true, &dwCode) && dwCode == 7));
        g_lRelease = 1;
        ResumeThread(hThread);
        CHECK(WaitForSingleObject(hThread, 5000) == WAIT_OBJECT_0);
        CloseHandle(hThread);
    }
}

TEST_CASE("The build information is taken up to 1 MiB; every end closes the remote file once")
{
    const std::string line = "VLM-TCH 9.0.0.512 http://x/9.msi\r\n";
    const DWORD cbMax = cbBuildInformationMax;
    // A copy stopped before its first block gets no failed event.
    struct { DWORD cbFile; DWORD dwFtpSize; int nFailingRead; bool bResult, bTooLarge, bFailed; }
    cases[] = {
        {cbMax, INVALID_FILE_SIZE, -1, true, false, false},
        {cbMax + 1, INVALID_FILE_SIZE, -1, false, true, true},
        {cbMax, cbMax, -1, true, false, false},                      // announced
        {cbMax + 1, cbMax + 1, -1, false, true, false},
        {cbMax, INVALID_FILE_SIZE, 3, false, false, true},           // broken off
    };
    FakeDialog dialog;
    for (const auto& c : cases)
    {
        CAPTURE(c.cbFile);
        CAPTURE(c.dwFtpSize);
        FakeInternet inet;
        g_fake.urls[L"http://a/"] = HttpServer({200});
        g_fake.remote.bytes = line + std::string(c.cbFile - line.size(), '\0');
        g_fake.remote.dwFtpSize = c.dwFtpSize;
        g_fake.remote.nFailingRead = c.nFailingRead;
        BuildInfo own;
        InitBuildInfo(own);
        lstrcpyW(own.szKey, L"VLM-TCH");
        BuildInfo latest;
        InitBuildInfo(latest);
        std::wstring local;
        bool bResult;
        std::vector<std::string> lines;
        {
            BuildInfoJob job;
            InitBuildInfoJob(job, own, 9, latest);
            lstrcpyW(job.pszUrlList.get(), L"http://a/");
            local = job.pszLocalPath.get();
            CallbackParam param = {dialog.hwnd, stateRunning, NULL, 0, NULL, 0, 0};
            TraceCapture trace;
            bResult = Download((HINTERNET)0x55, param, job);
            lines = trace.Lines();
        }
        DeleteFileW(local.c_str());

        CHECK(bResult == c.bResult);
        CHECK(latest.version.dwBuild == (c.bResult ? 512u : 0u));
        ReleaseBuildInfo(latest);
        CHECK(g_fake.closed == std::vector<HINTERNET>{(HINTERNET)0x1000});
        CHECK(lines.back() == "*** Download: Download build: end ***");
        CHECK(std::count(lines.begin(), lines.end(),
              "*** Download build callback: build information too large ***") == c.bTooLarge);
        CHECK(std::count(lines.begin(), lines.end(), "*** Download build callback: failed ***") ==
              c.bFailed);
    }
}

TEST_CASE("A signature stops past 64 KiB, sent or announced")
{
    FakeDialog dialog;
    CallbackParam param = {dialog.hwnd, stateRunning, NULL, 0, NULL, 0, 0};
    struct { int nEvent; DWORD dwSize; DWORD dwCopied; bool bGoOn; } cases[] = {
        {PROGRESS_STEP, INVALID_FILE_SIZE, cbSignatureMax, true},
        {PROGRESS_STEP, INVALID_FILE_SIZE, cbSignatureMax + 1, false},
        {PROGRESS_STARTED, cbSignatureMax, 0, true},
        {PROGRESS_STARTED, cbSignatureMax + 1, 0, false},
    };
    for (auto& c : cases)
    {
        CAPTURE(c.dwCopied);
        CopyProgress copy = {c.dwSize, c.dwCopied, 0};
        CHECK(SignatureCallback(c.nEvent, &copy, &param) == c.bGoOn);
    }
}

TEST_CASE("The package stops past its announced length, and past 2 GiB when none is announced")
{
    FakeDialog dialog;
    CallbackParam param = {dialog.hwnd, stateRunning, NULL, 0, NULL, 0, 0};
    const DWORD cbMax = cbPackageMax;
    struct { int nEvent; DWORD dwSize; DWORD dwCopied; bool bGoOn; } cases[] = {
        {PROGRESS_STEP, 1000, 1000, true}, {PROGRESS_STEP, 1000, 1001, false},
        {PROGRESS_STEP, 0, cbMax, true}, {PROGRESS_STEP, 0, cbMax + 1, false},
        {PROGRESS_STEP, INVALID_FILE_SIZE, cbMax + 1, false},
        {PROGRESS_STARTED, cbMax, 0, true}, {PROGRESS_STARTED, cbMax + 1, 0, false},
    };
    for (auto& c : cases)
    {
        CAPTURE(c.dwSize);
        CAPTURE(c.dwCopied);
        CopyProgress copy = {c.dwSize, c.dwCopied, 0};
        CHECK(PackageCallback(c.nEvent, &copy, &param) == c.bGoOn);
    }
}
