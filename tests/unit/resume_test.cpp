// Going on after a break: which answer continues the written bytes, what a reopen asks for, how
// resumes are counted, the back-off and the next mirror.
#include <doctest.h>

#include "fake_inet.h"
#include "trace_capture.h"
#include "checkversion/progress_callbacks.h"
#include "checkversion/resume.h"
#include "InetCopy/InetCopy.h"
#include "res/resource.h"

#include <string>
#include <vector>

namespace {

DWORD WINAPI CancelLater(LPVOID pvParam)
{
    Sleep(100);
    InterlockedExchange(&((CallbackParam*)pvParam)->lCancelled, 1);
    return 0;
}

} // namespace

TEST_CASE("Only a 206 that starts at the written length of the same file continues it")
{
    struct Case { DWORD dwStatus; const wchar_t* range; DWORD dwWritten; ReopenOutcome outcome; };
    const Case cases[] = {
        {206, L"bytes 4096-9999/10000", 4096, REOPEN_CONTINUES},
        {206, L"bytes 4096-5000/10000", 4096, REOPEN_CONTINUES},    // less: the next break
        {206, L"bytes 0-9999/10000", 4096, REOPEN_FAILED},          // not where we are
        {206, L"bytes 4096-9999/12000", 4096, REOPEN_FAILED},       // another file
        {206, L"bytes 4096-9999/*", 4096, REOPEN_FAILED},
        {206, L"bytes */10000", 0, REOPEN_FAILED},
        {206, L"", 4096, REOPEN_FAILED},
        {200, L"", 4096, REOPEN_FROM_ZERO},       // ranges ignored, or the file changed
        {416, L"bytes */10000", 4096, REOPEN_FAILED},
        {0, L"", 4096, REOPEN_FAILED},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.dwStatus);
        CAPTURE(c.dwWritten);
        CHECK(JudgeRangeAnswer(c.dwStatus, c.range, c.dwWritten, 10000) == c.outcome);
    }
}

TEST_CASE("An HTTP reopen asks for the rest, If-Range only with the mirror's own ETag")
{
    const std::wstring range = L"Range: bytes=100-\r\n";
    const std::wstring ifRange = range + L"If-Range: \"v1\"\r\n";
    // The answer afterwards: a file that changed starts again with its new length and ETag.
    struct Case { bool bIfRange; DWORD dwStatus; ReopenOutcome outcome; std::wstring headers;
                  DWORD dwLength; const wchar_t* validator; };
    const Case cases[] = {
        {true, 206, REOPEN_CONTINUES, ifRange, 1000, L"\"v1\""},
        {false, 206, REOPEN_CONTINUES, range, 1000, L"\"v1\""},
        {true, 200, REOPEN_FROM_ZERO, ifRange, 1200, L"\"v2\""},
        {true, 503, REOPEN_FAILED, ifRange, 1000, L"\"v1\""},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.dwStatus);
        FakeInternet inet;
        UrlScript script = HttpServer({c.dwStatus});
        script.contentRange = L"bytes 100-999/1000";
        script.etag = L"\"v2\"";
        g_fake.urls[L"http://a/p.msi"] = script;
        g_fake.remote.bHasContentLength = true;
        g_fake.remote.contentLength = L"1200";
        RemoteAnswer answer = {1000, L"\"v1\""};
        HINTERNET hConnect = NULL;
        HINTERNET hRemote = NULL;
        TraceCapture trace;
        CHECK(ReopenRemote((HINTERNET)0x55, L"http://a/p.msi", 100, c.bIfRange, answer, hConnect,
                           hRemote) == c.outcome);

        REQUIRE(g_fake.opens.size() == 1);
        CHECK(g_fake.opens[0].headers == c.headers);
        CHECK(answer.dwLength == c.dwLength);
        CHECK(std::wstring(answer.szValidator) == c.validator);
        // A refused answer is closed at once; nothing is left open for the caller.
        CHECK((hRemote == NULL) == (c.outcome == REOPEN_FAILED));
        CHECK(g_fake.closed.size() == (c.outcome == REOPEN_FAILED ? 1u : 0u));
        CHECK(trace.Lines().back() == "*** Download: resume: http://a/p.msi at 100: " +
                                      std::to_string(c.dwStatus) + " ***");
    }
}

TEST_CASE("An FTP reopen restarts where the size is unchanged, else sends the file again")
{
    const std::vector<std::wstring> restarted = {L"TYPE I", L"SIZE /d/p.msi", L"REST 100",
                                                 L"RETR /d/p.msi"};
    const std::vector<std::wstring> whole = {L"TYPE I", L"SIZE /d/p.msi", L"RETR /d/p.msi"};
    struct Case { const wchar_t* size; const wchar_t* rest; bool bOpens;
                  ReopenOutcome outcome; std::vector<std::wstring> commands; DWORD dwLength; };
    const Case cases[] = {
        {L"213 1000", L"350 Restarting at 100.", true, REOPEN_CONTINUES, restarted, 1000},
        {L"213 1000", L"502 Not implemented.", true, REOPEN_FROM_ZERO, restarted, 1000},
        {L"213 1200", L"350 Restarting at 100.", true, REOPEN_FROM_ZERO, whole, 1200},
        {L"550 Not allowed.", L"350 Restarting at 100.", true, REOPEN_FROM_ZERO, whole, 0},
        {L"213 1000", L"350 Restarting at 100.", false, REOPEN_FAILED, restarted, 1000},
    };
    HMODULE hWinInet = LoadLibraryW(L"wininet.dll");
    for (const Case& c : cases)
    {
        CAPTURE(c.dwLength);
        FakeInternet inet;
        WinInetApi.InternetCrackUrlW = (decltype(WinInetApi.InternetCrackUrlW))(void*)
            GetProcAddress(hWinInet, "InternetCrackUrlW");
        g_fake.ftpReplies = {{L"TYPE", L"200 Binary."}, {L"SIZE", c.size}, {L"REST", c.rest}};
        g_fake.bFtpFileOpens = c.bOpens;
        RemoteAnswer answer = {1000, L""};
        HINTERNET hConnect = NULL;
        HINTERNET hRemote = NULL;
        TraceCapture trace;
        CHECK(ReopenRemote((HINTERNET)0x55, L"ftp://h:2121/d/p.msi", 100, true, answer, hConnect,
                           hRemote) == c.outcome);

        CHECK(g_fake.connects == std::vector<std::wstring>{L"h 2121 (anonymous)"});
        CHECK(g_fake.ftpCommands == c.commands);
        CHECK(answer.dwLength == c.dwLength);
        // The file and its connection stay open for the copy, or the connection is closed.
        bool bKept = hConnect == hFakeConnect && hRemote == hFakeRemote && g_fake.closed.empty();
        CHECK(bKept == (c.outcome != REOPEN_FAILED));
    }
    FreeLibrary(hWinInet);
}

TEST_CASE("Eight resumes in all; a break that gained nothing counts twice")
{
    struct Case { std::vector<bool> gained; int nGranted; };
    const Case cases[] = {
        {std::vector<bool>(9, true), 8},
        {std::vector<bool>(5, false), 4},
        {{true, false, true, false, true, false}, 5},    // 1+2+1+2+1, then 9 > 8
    };
    for (const Case& c : cases)
    {
        ResumeCount count;
        InitResumeCount(count);
        int nGranted = 0;
        while (nGranted < (int)c.gained.size() && ChargeResume(count, c.gained[nGranted]))
            ++nGranted;
        CHECK(nGranted == c.nGranted);
    }
}

TEST_CASE("The back-off doubles, and a Cancel or a stopped check ends it at once")
{
    CallbackParam param = {NULL, stateRunning, NULL, 0, NULL, 0, 0};
    ResumeCount count;
    InitResumeCount(count);
    DWORD dwStart = GetTickCount();
    CHECK(WaitBackoff(count, param));
    CHECK(GetTickCount() - dwStart >= dwFirstBackoffMs - 20);
    CHECK(count.dwBackoffMs == 2 * dwFirstBackoffMs);

    count.dwBackoffMs = dwLastBackoffMs;
    param.lState = stateStopped;
    dwStart = GetTickCount();
    CHECK_FALSE(WaitBackoff(count, param));
    CHECK(GetTickCount() - dwStart < 100);

    param.lState = stateRunning;
    HANDLE hThread = CreateThread(NULL, 0, CancelLater, &param, 0, NULL);
    dwStart = GetTickCount();
    CHECK_FALSE(WaitBackoff(count, param));
    CHECK(GetTickCount() - dwStart < 500);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
}

TEST_CASE("The next mirror: the failed one leaves the list, the first one left is next")
{
    // The node is left as empty nodes, which every walk of a list passes over.
    struct Case { std::wstring list, url, listAfter, next; };
    const Case cases[] = {
        {L"a;b;c", L"a", L";;b;c", L"b"},
        {L"a;b;c", L"b", L"a;;;c", L"a"},
        {L"ab;a;b", L"a", L"ab;;;b", L"ab"},    // whole nodes only
        {L"a;a", L"a", L";;a", L"a"},           // a mirror listed twice stays once
        {L"a", L"a", L";", L""},
    };
    for (const Case& c : cases)
    {
        std::wstring list = c.list;
        WCHAR szUrl[cchUrlListMax + 1] = {};
        lstrcpyW(szUrl, c.url.c_str());
        CHECK(NextMirror(&list[0], szUrl) == !c.next.empty());
        CHECK(std::wstring(list.c_str()) == c.listAfter);
        CHECK(std::wstring(szUrl) == (c.next.empty() ? c.url : c.next));
    }
}

TEST_CASE("A download that goes on keeps the bar where it was, and the whole file's bound")
{
    HWND hwnd = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
    CreateWindowW(L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, hwnd, (HMENU)IDC_PROGRESS, NULL, NULL);
    CallbackParam param = {hwnd, stateRunning, NULL, 0, NULL, 0, 0};
    TraceCapture trace;
    CopyProgress copy = {2000, 800, 0};
    CHECK(PackageCallback(PROGRESS_STARTED, &copy, &param));
    CHECK(copy.dwLastPercent == 40);
    copy.dwBytesCopied = 2001;
    CHECK_FALSE(PackageCallback(PROGRESS_STEP, &copy, &param));
    DestroyWindow(hwnd);
}
