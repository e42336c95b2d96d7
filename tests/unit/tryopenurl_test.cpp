// The mirror-list opener against fake WinInet entry points: node order and numbering, FTP
// modes, status codes, proxy log-on, the callback protocol and failed allocations.
#include <doctest.h>

#include "fake_inet.h"
#include "trace_capture.h"
#include "InetCopy/InetCopy.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

const DWORD dwPassive = 0x88400310;
const DWORD dwActive = 0x80400310;
const HWND hwndOwner = (HWND)0x1234;
const HINTERNET hUntouched = (HINTERNET)0xBAD;

struct Event
{
    int nEvent;
    DWORD dwNodesTotal;
    DWORD dwCurrentNode;
    bool operator==(const Event& o) const
    {
        return nEvent == o.nEvent && dwNodesTotal == o.dwNodesTotal &&
               dwCurrentNode == o.dwCurrentNode;
    }
};

doctest::String toString(const Event& e)
{
    char sz[64];
    wsprintfA(sz, "{%d, %lu, %lu}", e.nEvent, e.dwNodesTotal, e.dwCurrentNode);
    return sz;
}

struct EventLog
{
    Event events[64];
    int nEvents = 0;
    int nStopAt = -1;    // the event code answered with false
    ListSpan opened = {0, 0};

    std::vector<Event> List() const { return std::vector<Event>(events, events + nEvents); }
};

// Writes into a fixed array: it also runs while the process heap is replaced.
bool RecordEvent(int nEvent, void* pProgress, void* pCallbackData)
{
    EventLog* pLog = (EventLog*)pCallbackData;
    const OpenUrlProgress* p = (const OpenUrlProgress*)pProgress;
    if (pLog->nEvents < 64)
        pLog->events[pLog->nEvents++] = {nEvent, p->dwNodesTotal, p->dwCurrentNode};
    if (nEvent == PROGRESS_COMPLETED)
        pLog->opened = p->opened;
    return nEvent != pLog->nStopAt;
}

struct Run
{
    bool bResult;
    HINTERNET hDest;
    std::vector<Event> events;
    std::wstring opened;    // the node the completed event named
};

Run Open(const std::wstring& list, bool bRandom = false, int nStopAt = -1)
{
    EventLog log;
    log.nStopAt = nStopAt;
    Run run;
    run.hDest = hUntouched;
    run.bResult = TryOpenUrl((HINTERNET)0x55, hwndOwner, list.c_str(), bRandom, RecordEvent, &log,
                             &run.hDest);
    run.events = log.List();
    run.opened = list.substr(log.opened.ichBegin, log.opened.cch);
    return run;
}

std::vector<std::string> From(const std::vector<std::string>& lines, const std::string& first)
{
    auto it = std::find(lines.begin(), lines.end(), first);
    return std::vector<std::string>(it, lines.end());
}

const std::vector<std::string> vecHead = {
    "*** Try open URL: start ***",
    "*** Try open URL: setup parameters ***",
    "*** Try open URL: start procedure synchronously ***",
    "*** Try open URL procedure: start ***",
    "*** Try open URL procedure: parse nodes: start ***",
};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const char szOpenFailed[] =
    "*** VERIFY WININET CALL: hDest != NULL (.\\try_open_url.cpp, #): 12029, 550 No such file., 17 ***";

} // namespace

TEST_CASE("An empty list has one empty node: started, no node line, failed")
{
    FakeInternet inet;
    TraceCapture trace;
    Run run = Open(L"");

    CHECK_FALSE(run.bResult);
    CHECK(run.hDest == NULL);
    CHECK(run.events == std::vector<Event>{{0, 1, 0}, {3, 1, 2}});
    CHECK(g_fake.opens.empty());
    CHECK(trace.Lines() == Concat(vecHead, {
        "*** Try open URL procedure: parse nodes: end ***",
        "*** Try open URL procedure: try nodes: start ***",
        "*** Try open URL procedure: try nodes: end ***",
        "*** Try open URL procedure: end ***",
    }));
}

TEST_CASE("In list order an empty node is dropped silently but keeps its number")
{
    FakeInternet inet;
    g_fake.urls[L"http://a/"] = Unreachable();
    g_fake.urls[L"http://b/"] = HttpServer({200});
    TraceCapture trace;
    Run run = Open(L"http://a/;;http://b/");

    CHECK(run.bResult);
    CHECK(run.hDest == (HINTERNET)0x1001);
    CHECK(run.events == std::vector<Event>{{0, 3, 0}, {1, 3, 1}, {2, 3, 3}});
    CHECK(g_fake.closed.empty());
    CHECK(WithoutLineNumbers(trace.Lines()) == Concat(vecHead, {
        "*** Try open URL procedure: parse nodes: end ***",
        "*** Try open URL procedure: try nodes: start ***",
        "*** Try open URL procedure: node #1: http://a/ ***",
        szOpenFailed,
        "*** Try open URL procedure: can't open node http://a/ ***",
        "*** Try open URL procedure: node #3: http://b/ ***",
        "*** Check status code: status code = 200 ***",
        "*** Try open URL procedure: node http://b/ successfully opened ***",
        "*** Try open URL procedure: try nodes: end ***",
        "*** Try open URL procedure: end ***",
    }));
}

TEST_CASE("Five failing FTP mirrors: passive and active each, five progress events, failed")
{
    FakeInternet inet;
    std::wstring list;
    for (wchar_t c = L'1'; c <= L'5'; ++c)
    {
        std::wstring url = std::wstring(L"ftp://mirror") + c + L"/pr_dl/verinfo.txt";
        g_fake.urls[url] = FtpServer(false, false);
        list += (list.empty() ? L"" : L";") + url;
    }
    TraceCapture trace;
    Run run = Open(list, true);

    CHECK_FALSE(run.bResult);
    CHECK(run.hDest == NULL);
    CHECK(run.events == std::vector<Event>{{0, 5, 0}, {1, 5, 1}, {1, 5, 2}, {1, 5, 3},
                                           {1, 5, 4}, {1, 5, 5}, {3, 5, 6}});
    REQUIRE(g_fake.opens.size() == 10);
    std::vector<std::wstring> tried;
    for (size_t i = 0; i < 10; i += 2)
    {
        CHECK(g_fake.opens[i].dwFlags == dwPassive);
        CHECK(g_fake.opens[i + 1].dwFlags == dwActive);
        CHECK(g_fake.opens[i].url == g_fake.opens[i + 1].url);
        tried.push_back(g_fake.opens[i].url);
    }
    std::sort(tried.begin(), tried.end());
    CHECK(std::unique(tried.begin(), tried.end()) == tried.end());

    auto lines = WithoutLineNumbers(trace.Lines());
    auto body = From(lines, "*** Try open URL procedure: try nodes: start ***");
    REQUIRE(body.size() == 1 + 5 * 6 + 2);
    for (int i = 0; i < 5; ++i)
    {
        const auto* p = &body[1 + i * 6];
        std::string node = p[0].substr(0, p[0].find(": ftp://"));
        CHECK(node == "*** Try open URL procedure: node #" + std::to_string(i + 1));
        CHECK(p[1] == "*** Try open URL procedure: try passive FTP mode ***");
        CHECK(p[2] == szOpenFailed);
        CHECK(p[3] == "*** Try open URL procedure: passive FTP mode failed, try active FTP mode ***");
        CHECK(p[4] == szOpenFailed);
        CHECK(p[5].rfind("*** Try open URL procedure: can't open node ftp://mirror", 0) == 0);
    }
}

TEST_CASE("Random order tries every node exactly once, in an order that changes from run to run")
{
    const int nNodes = 7;
    std::wstring list;
    std::vector<std::wstring> listOrder;
    for (int i = 0; i < nNodes; ++i)
    {
        listOrder.push_back(L"http://m" + std::to_wstring(i) + L"/");
        list += listOrder.back() + L";";    // the trailing ';' adds an empty eighth node
    }

    // The order is seeded from the tick count: every run starts on a later tick than the one
    // before ended, so no two runs share a seed.
    const int nRuns = 20;
    std::set<std::vector<std::wstring>> orders;
    DWORD dwLastTick = GetTickCount();
    for (int nRun = 0; nRun < nRuns; ++nRun)
    {
        while (GetTickCount() == dwLastTick)
            Sleep(1);
        FakeInternet inet;
        Run run = Open(list, true);
        dwLastTick = GetTickCount();

        CHECK_FALSE(run.bResult);
        std::vector<std::wstring> tried;
        for (const OpenCall& call : g_fake.opens)
            tried.push_back(call.url);
        orders.insert(tried);
        std::sort(tried.begin(), tried.end());
        CHECK(tried == listOrder);
        CHECK(run.events.back() == Event{3, nNodes + 1, nNodes + 2});
    }
    // Ignoring the flag gives the list's order every time, and a fixed seed one order every
    // time; seeds that differ give almost as many orders as there are runs.
    CHECK(orders.size() >= nRuns / 2);
}

TEST_CASE("The completed event names the node that opened, in whichever order it was tried")
{
    struct { const wchar_t* list; bool bRandom; const wchar_t* opened; } cases[] = {
        {L"http://a/;;http://b/v.txt;http://c/", false, L"http://b/v.txt"},
        {L"http://a/;http://c/;http://b/v.txt", true, L"http://b/v.txt"},
        {L"http://b/v.txt", true, L"http://b/v.txt"},
        {L"http://a/;http://c/", true, L""},
    };
    for (auto& c : cases)
    {
        CAPTURE(c.list);
        for (int nRun = 0; nRun < 4; ++nRun)
        {
            FakeInternet inet;
            g_fake.urls[L"http://b/v.txt"] = HttpServer({200});
            TraceCapture trace;
            CHECK(Open(c.list, c.bRandom).opened == c.opened);
            Sleep(16);      // another tick, another order
        }
    }
}

TEST_CASE("Only a node that begins with exactly 'ftp://' gets the passive attempt")
{
    struct Case
    {
        const wchar_t* pszUrl;
        size_t cOpens;
    };
    const Case cases[] = {
        {L"ftp://host/file", 2},
        {L"FTP://host/file", 1},
        {L"Ftp://host/file", 1},
        {L" ftp://host/file", 1},
        {L"ftps://host/file", 1},
        {L"ftp:/", 1},
        {L"http://host/file", 1},
    };
    for (const Case& c : cases)
    {
        CAPTURE(std::string(c.pszUrl, c.pszUrl + lstrlenW(c.pszUrl)));
        FakeInternet inet;
        TraceCapture trace;
        Open(c.pszUrl);
        REQUIRE(g_fake.opens.size() == c.cOpens);
        CHECK(g_fake.opens.back().dwFlags == dwActive);
        auto lines = trace.Lines();
        bool bPassiveLine = std::find(lines.begin(), lines.end(),
            "*** Try open URL procedure: try passive FTP mode ***") != lines.end();
        CHECK(bPassiveLine == (c.cOpens == 2));
    }
}

TEST_CASE("An FTP node that refuses passive mode is opened in active mode")
{
    FakeInternet inet;
    g_fake.urls[L"ftp://host/f"] = FtpServer(false, true);
    TraceCapture trace;
    Run run = Open(L"ftp://host/f");

    CHECK(run.bResult);
    CHECK(run.hDest == (HINTERNET)0x1000);
    CHECK(run.events == std::vector<Event>{{0, 1, 0}, {2, 1, 1}});
    auto body = From(WithoutLineNumbers(trace.Lines()),
                     "*** Try open URL procedure: try passive FTP mode ***");
    CHECK(body == std::vector<std::string>{
        "*** Try open URL procedure: try passive FTP mode ***",
        szOpenFailed,
        "*** Try open URL procedure: passive FTP mode failed, try active FTP mode ***",
        "*** Check status code: can't get status code, no proxy is used ***",
        "*** Try open URL procedure: node ftp://host/f successfully opened ***",
        "*** Try open URL procedure: try nodes: end ***",
        "*** Try open URL procedure: end ***",
    });
}

TEST_CASE("A list longer than 1,024 characters is cut after its last whole URL, never inside one")
{
    struct Case
    {
        std::wstring list;
        std::vector<std::wstring> tried;
    };
    std::wstring first = L"http://first/";
    std::wstring exact = L"http://exact/" + std::wstring(1024 - 13, L'x');   // ends at 1,024
    const Case cases[] = {
        {first + L";http://second/" + std::wstring(2000, L'y') + L";http://third/", {first}},
        {exact + L";http://next/", {exact}},
        {L"http://long/" + std::wstring(2000, L'z'), {}},
    };
    for (const Case& c : cases)
    {
        FakeInternet inet;
        Run run = Open(c.list);
        std::vector<std::wstring> tried;
        for (const OpenCall& call : g_fake.opens)
            tried.push_back(call.url);
        CHECK(tried == c.tried);
    }
}

TEST_CASE("HTTP statuses: errors and non-answers fail over to the next mirror")
{
    struct Case
    {
        DWORD dwStatus;
        bool bOpened;
    };
    const Case cases[] = {
        {200, true}, {203, true}, {299, true},
        {204, false}, {205, false}, {302, false}, {304, false}, {100, false},   // no file
        {300, false},                                                // the first past success
        {206, false},                                                // part of one, never asked
        {400, false}, {404, false}, {500, false}, {503, false}, {599, false},
        {0, false}, {99, false}, {600, false},    // no answer, or none of HTTP's
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.dwStatus);
        FakeInternet inet;
        g_fake.urls[L"http://a/"] = HttpServer({c.dwStatus});
        g_fake.urls[L"http://b/"] = HttpServer({200});
        TraceCapture trace;
        Run run = Open(L"http://a/;http://b/");

        CHECK(run.bResult);
        CHECK(run.hDest == (HINTERNET)(UINT_PTR)(c.bOpened ? 0x1000 : 0x1001));
        CHECK(g_fake.opens.size() == (c.bOpened ? 1u : 2u));
        auto lines = trace.Lines();
        std::string status = "*** Check status code: status code = " +
                             std::to_string(c.dwStatus) + " ***";
        CHECK(std::count(lines.begin(), lines.end(), status) == 1);
        if (!c.bOpened)
        {
            CHECK(g_fake.closed == std::vector<HINTERNET>{(HINTERNET)0x1000});
            CHECK(run.events == std::vector<Event>{{0, 2, 0}, {1, 2, 1}, {2, 2, 2}});
            CHECK(std::count(lines.begin(), lines.end(),
                             "*** Try open URL procedure: can't open node http://a/ ***") == 1);
        }
    }
}

TEST_CASE("A 407 without a proxy in use is a failed mirror, with no log-on dialog")
{
    FakeInternet inet;
    g_fake.bProxy = false;
    g_fake.urls[L"http://a/"] = HttpServer({407});
    g_fake.urls[L"http://b/"] = HttpServer({200});
    Run run = Open(L"http://a/;http://b/");

    CHECK(run.bResult);
    CHECK(g_fake.nDialogs == 0);
    CHECK(g_fake.opens.size() == 2);
}

TEST_CASE("A proxy that asks four times: three dialogs, four queries, the rest abandoned")
{
    FakeInternet inet;
    g_fake.urls[L"http://a/"] = HttpServer({407});
    g_fake.urls[L"http://b/"] = HttpServer({200});
    TraceCapture trace;
    Run run = Open(L"http://a/;http://b/");

    CHECK_FALSE(run.bResult);
    CHECK(run.hDest == NULL);
    CHECK(g_fake.nDialogs == 3);
    CHECK(g_fake.nResends == 3);
    CHECK(g_fake.nStatusQueries == 4);
    CHECK(g_fake.opens.size() == 1);
    CHECK(g_fake.closed == std::vector<HINTERNET>{(HINTERNET)0x1000});
    CHECK(run.events == std::vector<Event>{{0, 2, 0}, {3, 2, 1}});

    std::vector<std::string> expected = {"*** Try open URL procedure: node #1: http://a/ ***"};
    for (int i = 0; i < 3; ++i)
    {
        expected.push_back("*** Check status code: status code = 407 ***");
        expected.push_back("*** Check status code: authorization is required ***");
        expected.push_back("*** Check status code: send authorization information ***");
    }
    expected.push_back("*** Check status code: status code = 407 ***");
    expected.push_back("*** Try open URL procedure: Authorization is failed ***");
    expected.push_back("*** Try open URL procedure: try nodes: end ***");
    expected.push_back("*** Try open URL procedure: end ***");
    CHECK(From(trace.Lines(), expected.front()) == expected);
}

TEST_CASE("Proxy log-on: accepted after one dialog, or cancelled with no further node")
{
    SUBCASE("the resend is answered")
    {
        FakeInternet inet;
        g_fake.urls[L"http://a/"] = HttpServer({407, 200});
        Run run = Open(L"http://a/");
        CHECK(run.bResult);
        CHECK(run.hDest == (HINTERNET)0x1000);
        CHECK(g_fake.nDialogs == 1);
        CHECK(g_fake.nResends == 1);
        CHECK(g_fake.closed.empty());
    }
    SUBCASE("the dialog is cancelled")
    {
        FakeInternet inet;
        g_fake.urls[L"http://a/"] = HttpServer({407});
        g_fake.urls[L"http://b/"] = HttpServer({200});
        g_fake.dialogAnswers = {0};
        TraceCapture trace;
        Run run = Open(L"http://a/;http://b/");
        CHECK_FALSE(run.bResult);
        CHECK(run.hDest == NULL);
        CHECK(g_fake.nDialogs == 1);
        CHECK(g_fake.nResends == 0);
        CHECK(g_fake.opens.size() == 1);
        CHECK(run.events == std::vector<Event>{{0, 2, 0}, {3, 2, 1}});
        CHECK(From(trace.Lines(), "*** Check status code: authorization is required ***") ==
              std::vector<std::string>{
                  "*** Check status code: authorization is required ***",
                  "*** Check status code: authorization is cancelled: 0 ***",
                  "*** Try open URL procedure: Authorization is failed ***",
                  "*** Try open URL procedure: try nodes: end ***",
                  "*** Try open URL procedure: end ***",
              });
    }
}

TEST_CASE("A false answer at the started event ends at once")
{
    FakeInternet inet;
    g_fake.urls[L"http://a/"] = HttpServer({200});
    TraceCapture trace;
    Run run = Open(L"http://a/", false, 0);

    CHECK_FALSE(run.bResult);
    CHECK(run.hDest == hUntouched);
    CHECK(run.events == std::vector<Event>{{0, 1, 0}});
    CHECK(g_fake.opens.empty());
    CHECK(trace.Lines() == vecHead);
}

TEST_CASE("A false answer at a progress event stops trying and ends failed")
{
    FakeInternet inet;
    g_fake.urls[L"http://b/"] = HttpServer({200});
    Run run = Open(L"http://a/;http://b/", false, 1);

    CHECK_FALSE(run.bResult);
    CHECK(run.hDest == NULL);
    CHECK(run.events == std::vector<Event>{{0, 2, 0}, {1, 2, 1}, {3, 2, 1}});
    CHECK(g_fake.opens.size() == 1);
}

TEST_CASE("Without a callback or a destination the nodes are tried, and what opened is closed")
{
    FakeInternet inet;
    g_fake.urls[L"http://b/"] = HttpServer({200});
    CHECK(TryOpenUrl(NULL, NULL, L"http://a/;http://b/", false, NULL, NULL, NULL));
    CHECK(g_fake.opens.size() == 2);
    CHECK(g_fake.closed.size() == 1);
}

TEST_CASE("Failed allocations end the call without touching a missing block")
{
    SUBCASE("the parameter block: false, no event, the destination untouched")
    {
        FakeInternet inet;
        TraceCapture trace;
        EventLog log;
        HINTERNET hDest = hUntouched;
        bool bResult;
        {
            ExhaustedHeap heap(0, 16);
            heap.Fill();
            bResult = TryOpenUrl(NULL, NULL, L"http://a/", false, RecordEvent, &log, &hDest);
        }
        CHECK_FALSE(bResult);
        CHECK(hDest == hUntouched);
        CHECK(log.nEvents == 0);
        auto lines = trace.Lines();
        REQUIRE(lines.size() == 2);
        CHECK(lines[0] == "*** Try open URL: start ***");
        CHECK(lines[1].rfind("*** VERIFY API CALL: ptr != NULL (", 0) == 0);
    }

    // The parameter block comes from the small heap, so that the procedure can free it there.
    struct Case
    {
        const char* pszName;
        int nNodeBlocks;    // room for the sentinel and this many nodes minus one
        const wchar_t* pszList;
    };
    const Case cases[] = {
        {"the sentinel", 0, L"http://a/;http://b/"},
        {"the first node", 1, L"http://a/;http://b/"},
        {"the second node", 2, L"http://a/;http://b/"},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.pszName);
        FakeInternet inet;
        g_fake.urls[L"http://a/"] = HttpServer({200});
        TraceCapture trace;
        EventLog log;
        HINTERNET hDest = hUntouched;
        int nResult;
        {
            ExhaustedHeap heap(c.nNodeBlocks, 16);
            TryOpenUrlParams* pParams = (TryOpenUrlParams*)heap.Alloc(sizeof(TryOpenUrlParams));
            REQUIRE(pParams != NULL);
            lstrcpyW(pParams->szUrlList, c.pszList);
            pParams->pfnCallback = RecordEvent;
            pParams->pCallbackData = &log;
            pParams->phDest = &hDest;
            heap.Fill();
            nResult = TryOpenUrlProc(pParams);
        }
        CHECK(nResult == -1);
        CHECK(hDest == NULL);
        CHECK(g_fake.opens.empty());
        REQUIRE(log.nEvents == 1);
        CHECK(log.events[0].nEvent == 3);
        auto lines = trace.Lines();
        REQUIRE(lines.size() == 4);
        CHECK(lines[2].rfind("*** VERIFY API CALL: ptr != NULL (", 0) == 0);
        CHECK(lines[3] == "*** Try open URL procedure: end ***");
    }
}

TEST_CASE("Proxy log-on: once the check is cancelled no dialog comes, however often it asks")
{
    // A transfer left behind after a Cancel may meet the proxy's question long after.
    struct { LONG lCancelled; int nDialogs; bool bOpened; } cases[] = {{0, 1, true}, {1, 0, false}};
    for (auto& c : cases)
    {
        FakeInternet inet;
        g_fake.urls[L"http://a/"] = HttpServer({407, 200});
        TraceCapture trace;
        EventLog log;
        HINTERNET hDest = hUntouched;
        volatile LONG lCancelled = c.lCancelled;
        CHECK(TryOpenUrl((HINTERNET)0x55, hwndOwner, L"http://a/", false, RecordEvent, &log,
                         &hDest, NULL, &lCancelled) == c.bOpened);
        CHECK(g_fake.nDialogs == c.nDialogs);
        std::vector<std::string> lines = trace.Lines();
        CHECK(std::count(lines.begin(), lines.end(),
                         "*** Check status code: cancelled ***") == c.lCancelled);
    }
}
