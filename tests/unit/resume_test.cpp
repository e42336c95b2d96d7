// Going on after a break: which answer continues the written bytes, what a reopen asks for, how
// resumes are counted, the back-off and the next mirror.
#include <doctest.h>

#include "fake_inet.h"
#include "trace_capture.h"
#include "checkversion/progress_callbacks.h"
#include "checkversion/resume.h"
#include "InetCopy/InetCopy.h"
#include "res/resource.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char* OutcomeName(ReopenOutcome outcome)
{
    static const char* const rgpsz[] = {"failed", "continues", "from zero"};
    return rgpsz[outcome];
}

// After dwWritten bytes of a file announced with dwLength bytes and validated by etag.
RemoteAnswer Answer(DWORD dwLength, const wchar_t* pszValidator)
{
    RemoteAnswer answer = {};
    answer.dwLength = dwLength;
    lstrcpyW(answer.szValidator, pszValidator);
    return answer;
}

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
        {206, L"bytes 4097-9999/10000", 4096, REOPEN_FAILED},
        {206, L"bytes 4096-9999/12000", 4096, REOPEN_FAILED},       // another file
        {206, L"bytes 4096-9999/*", 4096, REOPEN_FAILED},
        {206, L"bytes 4096-9999", 4096, REOPEN_FAILED},
        {206, L"bytes */10000", 0, REOPEN_FAILED},
        {206, L"items 4096-9999/10000", 4096, REOPEN_FAILED},
        {206, L"", 4096, REOPEN_FAILED},
        {200, L"", 4096, REOPEN_FROM_ZERO},       // ranges ignored, or the file changed
        {200, L"bytes 4096-9999/10000", 4096, REOPEN_FROM_ZERO},
        {416, L"bytes */10000", 4096, REOPEN_FAILED},
        {204, L"", 4096, REOPEN_FAILED},
        {404, L"", 4096, REOPEN_FAILED},
        {0, L"", 4096, REOPEN_FAILED},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.dwStatus);
        CAPTURE(std::string(c.range, c.range + lstrlenW(c.range)));
        CHECK(OutcomeName(JudgeRangeAnswer(c.dwStatus, c.range, c.dwWritten, 10000)) ==
              std::string(OutcomeName(c.outcome)));
    }
}

TEST_CASE("An HTTP reopen asks for the rest, If-Range only on the mirror that sent the ETag")
{
    struct Case
    {
        bool bIfRange;
        DWORD dwStatus;
        const wchar_t* range;
        ReopenOutcome outcome;
        const wchar_t* headers;
        DWORD dwLength;          // the answer afterwards
        const wchar_t* validator;
    };
    const Case cases[] = {
        {true, 206, L"bytes 100-999/1000", REOPEN_CONTINUES,
         L"Range: bytes=100-\r\nIf-Range: \"v1\"\r\n", 1000, L"\"v1\""},
        {false, 206, L"bytes 100-999/1000", REOPEN_CONTINUES, L"Range: bytes=100-\r\n", 1000,
         L"\"v1\""},
        // The file changed: its new length and ETag describe the pass that starts again.
        {true, 200, L"", REOPEN_FROM_ZERO, L"Range: bytes=100-\r\nIf-Range: \"v1\"\r\n", 1200,
         L"\"v2\""},
        {true, 503, L"", REOPEN_FAILED, L"Range: bytes=100-\r\nIf-Range: \"v1\"\r\n", 1000,
         L"\"v1\""},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.dwStatus);
        FakeInternet inet;
        UrlScript script = HttpServer({c.dwStatus});
        script.contentRange = c.range;
        script.etag = L"\"v2\"";
        g_fake.urls[L"http://a/p.msi"] = script;
        g_fake.remote.bHasContentLength = true;
        g_fake.remote.contentLength = L"1200";
        RemoteAnswer answer = Answer(1000, L"\"v1\"");
        HINTERNET hConnect = (HINTERNET)1;
        HINTERNET hRemote = (HINTERNET)1;
        TraceCapture trace;
        ReopenOutcome outcome = ReopenRemote((HINTERNET)0x55, L"http://a/p.msi", 100,
                                             c.bIfRange, answer, hConnect, hRemote);

        CHECK(OutcomeName(outcome) == std::string(OutcomeName(c.outcome)));
        REQUIRE(g_fake.opens.size() == 1);
        CHECK(g_fake.opens[0].headers == c.headers);
        CHECK(answer.dwLength == c.dwLength);
        CHECK(std::wstring(answer.szValidator) == c.validator);
        CHECK(hConnect == NULL);
        // A refused answer is closed at once; nothing is left open for the caller.
        CHECK((hRemote == NULL) == (c.outcome == REOPEN_FAILED));
        CHECK(g_fake.closed.size() == (c.outcome == REOPEN_FAILED ? 1u : 0u));
        CHECK(trace.Lines().back() == "*** Download: resume: http://a/p.msi at 100: " +
                                      std::to_string(c.dwStatus) + " ***");
    }
}

TEST_CASE("An FTP reopen restarts where the size is unchanged, else sends the file again")
{
    struct Case
    {
        const wchar_t* size;     // the reply to SIZE
        const wchar_t* rest;     // the reply to REST
        bool bOpens;
        ReopenOutcome outcome;
        std::vector<std::wstring> commands;
        DWORD dwLength;
    };
    const std::wstring retr = L"RETR /d/p.msi";
    const Case cases[] = {
        {L"213 1000", L"350 Restarting at 100.", true, REOPEN_CONTINUES,
         {L"TYPE I", L"SIZE /d/p.msi", L"REST 100", retr}, 1000},
        {L"213 1000", L"502 Command not implemented.", true, REOPEN_FROM_ZERO,
         {L"TYPE I", L"SIZE /d/p.msi", L"REST 100", retr}, 1000},
        {L"213 1200", L"350 Restarting at 100.", true, REOPEN_FROM_ZERO,
         {L"TYPE I", L"SIZE /d/p.msi", retr}, 1200},
        {L"550 SIZE not allowed.", L"350 Restarting at 100.", true, REOPEN_FROM_ZERO,
         {L"TYPE I", L"SIZE /d/p.msi", retr}, 0},
        {L"213 1000", L"350 Restarting at 100.", false, REOPEN_FAILED,
         {L"TYPE I", L"SIZE /d/p.msi", L"REST 100", retr}, 1000},
    };
    HMODULE hWinInet = LoadLibraryW(L"wininet.dll");
    for (const Case& c : cases)
    {
        CAPTURE(std::string(c.size, c.size + lstrlenW(c.size)));
        FakeInternet inet;
        WinInetApi.InternetCrackUrlW = (decltype(WinInetApi.InternetCrackUrlW))(void*)
            GetProcAddress(hWinInet, "InternetCrackUrlW");
        g_fake.ftpReplies = {{L"TYPE", L"200 Type set to: Binary."}, {L"SIZE", c.size},
                             {L"REST", c.rest}};
        g_fake.bFtpFileOpens = c.bOpens;
        RemoteAnswer answer = Answer(1000, L"");
        HINTERNET hConnect = NULL;
        HINTERNET hRemote = NULL;
        TraceCapture trace;
        ReopenOutcome outcome = ReopenRemote((HINTERNET)0x55, L"ftp://h:2121/d/p.msi", 100, true,
                                             answer, hConnect, hRemote);

        CHECK(OutcomeName(outcome) == std::string(OutcomeName(c.outcome)));
        CHECK(g_fake.connects == std::vector<std::wstring>{L"h 2121 (anonymous)"});
        CHECK(g_fake.ftpCommands == c.commands);
        CHECK(answer.dwLength == c.dwLength);
        // The file and its connection stay open for the copy, or are closed, file first.
        if (c.outcome == REOPEN_FAILED)
            CHECK(g_fake.closed == std::vector<HINTERNET>{hFakeConnect});
        else
            CHECK((hConnect == hFakeConnect && hRemote == hFakeRemote && g_fake.closed.empty()));
    }
    FreeLibrary(hWinInet);
}

TEST_CASE("Eight resumes in all; a break that gained nothing counts twice")
{
    struct Case { std::vector<bool> gained; int nGranted; };
    const Case cases[] = {
        {std::vector<bool>(9, true), 8},
        {std::vector<bool>(5, false), 4},
        {{true, false, true, false, true, false}, 5},    // 1+2+1+2+1 = 7, then 9 > 8
        {{false, true, true, true, true, true, true, true}, 7},
    };
    for (const Case& c : cases)
    {
        ResumeCount count;
        InitResumeCount(count);
        int nGranted = 0;
        for (bool bGained : c.gained)
        {
            if (!ChargeResume(count, bGained))
                break;
            ++nGranted;
        }
        CHECK(nGranted == c.nGranted);
        CHECK(count.nCharged <= nResumesMax);
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
    CHECK(count.dwBackoffMs == dwLastBackoffMs);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
}

TEST_CASE("The next mirror: the failed one leaves the list, the first one left is next")
{
    struct Case { std::wstring list, url, listAfter, next; bool bFound; };
    const Case cases[] = {
        // The node is left as empty nodes, which every walk of a list passes over.
        {L"a;b;c", L"a", L";;b;c", L"b", true},
        {L"a;b;c", L"b", L"a;;;c", L"a", true},
        {L"a;b", L"b", L"a;;", L"a", true},
        {L"ab;a;b", L"a", L"ab;;;b", L"ab", true},     // whole nodes only
        {L"a;a", L"a", L";;a", L"a", true},            // a mirror listed twice stays once
        {L"a", L"a", L";", L"", false},
        {L";;", L"x", L";;", L"", false},
    };
    for (const Case& c : cases)
    {
        CAPTURE(std::string(c.list.begin(), c.list.end()));
        std::wstring list = c.list;
        WCHAR szUrl[cchUrlListMax + 1] = {};
        lstrcpyW(szUrl, c.url.c_str());
        CHECK(NextMirror(&list[0], szUrl) == c.bFound);
        CHECK(std::wstring(list.c_str()) == c.listAfter);
        if (c.bFound)
            CHECK(std::wstring(szUrl) == c.next);
    }
}

TEST_CASE("A download that goes on keeps the bar and the size where they were")
{
    HWND hwnd = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
    CreateWindowW(L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, hwnd, (HMENU)IDC_PROGRESS, NULL, NULL);
    CallbackParam param = {hwnd, stateRunning, NULL, 0, NULL, 0, 0};
    TraceCapture trace;
    CopyProgress copy = {2000, 800, 0};
    CHECK(PackageCallback(PROGRESS_STARTED, &copy, &param));
    std::vector<std::string> lines = trace.Lines();
    CHECK(std::count(lines.begin(), lines.end(), "*** PostProgress: post progress: 40 ***") == 1);
    CHECK(copy.dwLastPercent == 40);
    // The whole file is bounded, not each piece.
    copy.dwBytesCopied = 2001;
    CHECK_FALSE(PackageCallback(PROGRESS_STEP, &copy, &param));
    DestroyWindow(hwnd);
}
