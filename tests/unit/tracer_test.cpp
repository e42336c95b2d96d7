// The trace file: names, line format, the fallback file, the lock.
#include <doctest.h>

#include "trace_capture.h"

#include <string>

namespace {

SYSTEMTIME Stamp(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms)
{
    SYSTEMTIME st = {};
    st.wYear = y; st.wMonth = mo; st.wDay = d;
    st.wHour = h; st.wMinute = mi; st.wSecond = s; st.wMilliseconds = ms;
    return st;
}

// Points %ALLUSERSPROFILE% at a directory of the test's own while it lives.
class FallbackDir
{
public:
    FallbackDir()
    {
        GetEnvironmentVariableW(L"ALLUSERSPROFILE", m_szSaved, MAX_PATH);
        SetEnvironmentVariableW(L"ALLUSERSPROFILE", m_dir.Path().c_str());
    }
    ~FallbackDir() { SetEnvironmentVariableW(L"ALLUSERSPROFILE", m_szSaved); }
    std::wstring File() const { return m_dir.File(L"unknown.log"); }
    const TempDir& Dir() const { return m_dir; }

private:
    TempDir m_dir;
    wchar_t m_szSaved[MAX_PATH] = {};
};

void Print(Tracer& tracer, const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    tracer.Print(pszFormat, args);
    va_end(args);
}

bool IsWellFormedLine(const std::string& line)
{
    // "%03i:%04x %02i:%02i:%02i.%03i " then the message
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon < 3)
        return false;
    size_t space = line.find(' ', colon);
    if (space == std::string::npos || space - colon - 1 < 4)
        return false;
    std::string time = line.substr(space + 1, 13);
    return time.size() == 13 && time[2] == ':' && time[5] == ':' && time[8] == '.'
        && time[12] == ' ';
}

const wchar_t szMissingDir[] = L"C:\\no-such-directory-for-setup-tests";

} // namespace

TEST_CASE("Trace file names")
{
    struct { const wchar_t* dir; SYSTEMTIME st; const wchar_t* name; } cases[] = {
        {L"C:\\Temp\\", Stamp(2026, 12, 7, 11, 34, 35, 999),
         L"C:\\Temp\\tw-setup-2026-12-07-11-34-35.log"},
        {L"C:\\Temp", Stamp(2026, 12, 7, 11, 34, 35, 0), L"C:\\Temp\\tw-setup-2026-12-07-11-34-35.log"},
        {L"", Stamp(2026, 12, 7, 11, 34, 35, 0), L"\\tw-setup-2026-12-07-11-34-35.log"},
        {L"C:\\T", Stamp(2026, 1, 5, 9, 3, 7, 7), L"C:\\T\\tw-setup-2026-01-05-09-03-07.log"},
    };
    for (const auto& c : cases)
    {
        wchar_t szName[cchTraceName];
        CHECK(MakeTraceFileName(szName, c.dir, L"tw-setup", c.st));
        CHECK(std::wstring(szName) == c.name);
    }
}

TEST_CASE("A trace file name that does not fit is refused, not cut")
{
    wchar_t szName[cchTraceName];
    SYSTEMTIME st = Stamp(2026, 12, 7, 11, 34, 35, 0);
    // Directory + '\' + "tw-setup" + 24 characters of stamp and extension + terminator.
    std::wstring fits(cchTraceName - 1 - 1 - 8 - 24, L'd');
    CHECK(MakeTraceFileName(szName, fits.c_str(), L"tw-setup", st));
    CHECK(lstrlenW(szName) == cchTraceName - 1);
    std::wstring tooLong = fits + L"d";
    CHECK_FALSE(MakeTraceFileName(szName, tooLong.c_str(), L"tw-setup", st));
}

TEST_CASE("Line prefix widths are minimums")
{
    char szPrefix[1024];
    SYSTEMTIME st = Stamp(2026, 1, 1, 9, 5, 3, 7);
    CHECK(FormatLinePrefix(szPrefix, 7, 26, st) == 22);
    CHECK(std::string(szPrefix) == "007:001a 09:05:03.007 ");
    FormatLinePrefix(szPrefix, 12345, 0x1abcde, Stamp(2026, 1, 1, 23, 59, 59, 999));
    CHECK(std::string(szPrefix) == "12345:1abcde 23:59:59.999 ");
}

TEST_CASE("Lines are written with the prefix and CR LF, and a long message is cut at 1,023")
{
    TraceCapture trace;
    TracePrint("*** start ***");
    std::string longText(2000, 'x');
    TracePrint("%s", longText.c_str());
    TracePrint("%S and %d", L"wide", -1);

    auto raw = trace.RawLines();
    REQUIRE(raw.size() == 3);
    for (const std::string& line : raw)
        CHECK(IsWellFormedLine(line));
    char szIds[32];
    wsprintfA(szIds, "%03i:%04x ", (int)GetCurrentProcessId(), (int)GetCurrentThreadId());
    CHECK(raw[0].rfind(szIds, 0) == 0);
    CHECK(MessageOf(raw[0]) == "*** start ***");
    CHECK(MessageOf(raw[1]).size() == 1023);
    CHECK(MessageOf(raw[1]).find_first_not_of('x') == std::string::npos);
    CHECK(MessageOf(raw[2]) == "wide and -1");
}

TEST_CASE("An existing trace file is appended to")
{
    FallbackDir fallback;
    WriteFileBytes(fallback.File(), "earlier run\r\n");
    Tracer tracer(szMissingDir, L"tw-setup");
    Print(tracer, "*** %s ***", "later run");
    tracer.Close();

    auto lines = SplitLines(ReadFileBytes(fallback.File()));
    REQUIRE(lines.size() == 2);
    CHECK(lines[0] == "earlier run");
    CHECK(MessageOf(lines[1]) == "*** later run ***");
}

TEST_CASE("A missing directory falls back to %ALLUSERSPROFILE%\\unknown.log at the first line")
{
    FallbackDir fallback;
    Tracer tracer(szMissingDir, L"tw-setup");
    CHECK_FALSE(tracer.bOpened);
    CHECK(fallback.Dir().Files().empty());   // nothing is made until a line is written

    Print(tracer, "first");
    CHECK(tracer.bOpened);
    Print(tracer, "second");
    tracer.Close();

    auto lines = SplitLines(ReadFileBytes(fallback.File()));
    REQUIRE(lines.size() == 2);
    CHECK(MessageOf(lines[0]) == "first");
    CHECK(GetFileAttributesW(szMissingDir) == INVALID_FILE_ATTRIBUTES);
}

TEST_CASE("A fallback name planted as a link to another file is not written through")
{
    FallbackDir fallback;
    std::wstring victim = fallback.Dir().File(L"victim.txt");
    WriteFileBytes(victim, "not the trace");
    REQUIRE(CreateHardLinkW(fallback.File().c_str(), victim.c_str(), NULL));
    Tracer tracer(szMissingDir, L"tw-setup");
    Print(tracer, "*** line ***");
    CHECK_FALSE(tracer.bOpened);
    tracer.Close();
    CHECK(ReadFileBytes(victim) == "not the trace");
}

TEST_CASE("When the fallback fails too, every line retries it and is dropped")
{
    FallbackDir fallback;
    SetEnvironmentVariableW(L"ALLUSERSPROFILE", szMissingDir);
    Tracer tracer(szMissingDir, L"tw-setup");
    Print(tracer, "lost");
    CHECK_FALSE(tracer.bOpened);

    // The fallback becomes possible later: the next line gets through.
    SetEnvironmentVariableW(L"ALLUSERSPROFILE", fallback.Dir().Path().c_str());
    Print(tracer, "kept");
    tracer.Close();

    auto lines = SplitLines(ReadFileBytes(fallback.File()));
    REQUIRE(lines.size() == 1);
    CHECK(MessageOf(lines[0]) == "kept");
}

TEST_CASE("A name too long for the buffers counts as a failed open")
{
    FallbackDir fallback;
    TempDir dir;
    // Long enough before expansion, and long only after expansion.
    std::wstring longDir = dir.Path() + L"\\" + std::wstring(1024, L'd');
    std::wstring longVariable(1100, L'v');
    SetEnvironmentVariableW(L"SETUP_TEST_LONG", longVariable.c_str());
    std::wstring expandsLong = dir.Path() + L"\\%SETUP_TEST_LONG%";

    for (const std::wstring& directory : {longDir, expandsLong})
    {
        Tracer tracer(directory.c_str(), L"tw-setup");
        CHECK_FALSE(tracer.bOpened);
        Print(tracer, "to the fallback");
        tracer.Close();
    }
    SetEnvironmentVariableW(L"SETUP_TEST_LONG", NULL);
    CHECK(dir.Files().empty());
    CHECK(SplitLines(ReadFileBytes(fallback.File())).size() == 2);
}

TEST_CASE("Nothing is written or made without a registered tracer")
{
    FallbackDir fallback;
    Tracer tracer(szMissingDir, L"tw-setup");
    TracePrint("before SetTracer");
    SetTracer(&tracer);
    RemoveTracer(&tracer);
    TracePrint("after RemoveTracer");
    RemoveTracer(&tracer);                  // none registered: still nothing written
    tracer.Close();
    CHECK(fallback.Dir().Files().empty());
}

TEST_CASE("Removing a tracer that is not the registered one is reported into the registered one")
{
    TraceCapture trace;
    Tracer other(szMissingDir, L"other");
    RemoveTracer(&other);
    TracePrint("unregistered now");
    other.Close();
    auto lines = trace.Lines();
    REQUIRE(lines.size() == 1);
    CHECK(lines[0] == "*** ERROR: Can't remove tracer correctly! ***");
    SetTracer(&trace.GetTracer());          // so that the capture can remove it cleanly
}

namespace {

const int nLinesPerThread = 50000;
const char szPayload[] = "0123456789abcdefghijklmnopqrstuvwxyz";

struct Writer
{
    Tracer* pTracer;
    const char* pszTag;
};

DWORD WINAPI WriteManyLines(LPVOID pv)
{
    const Writer* p = (const Writer*)pv;
    for (int i = 0; i < nLinesPerThread; ++i)
        Print(*p->pTracer, "*** %s %05d %s ***", p->pszTag, i, szPayload);
    return 0;
}

// Every line whole, and each writer's lines all there, in their order.
bool AllLinesInOrder(const std::vector<std::string>& raw)
{
    int nNext[2] = {0, 0};
    bool bAllInOrder = raw.size() == 2 * nLinesPerThread;
    for (const std::string& line : raw)
    {
        std::string message = MessageOf(line);
        int nThread = message.compare(4, 4, "main") == 0 ? 0 : 1;
        char szExpected[128];
        wsprintfA(szExpected, "*** %s %05d %s ***", nThread == 0 ? "main" : "work",
                  nNext[nThread]++, szPayload);
        bAllInOrder = bAllInOrder && IsWellFormedLine(line) && message == szExpected;
    }
    return bAllInOrder;
}

void WriteAtOnce(Tracer& first, Tracer& second)
{
    Writer writers[2] = {{&first, "main"}, {&second, "work"}};
    HANDLE hThreads[2] = {
        CreateThread(NULL, 0, WriteManyLines, &writers[0], 0, NULL),
        CreateThread(NULL, 0, WriteManyLines, &writers[1], 0, NULL),
    };
    WaitForMultipleObjects(2, hThreads, TRUE, INFINITE);
    CloseHandle(hThreads[0]);
    CloseHandle(hThreads[1]);
}

} // namespace

TEST_CASE("Two threads writing 100,000 lines at once never break or interleave a line")
{
    TraceCapture trace;
    WriteAtOnce(trace.GetTracer(), trace.GetTracer());
    CHECK(AllLinesInOrder(trace.RawLines()));
}

TEST_CASE("Two runs that share a trace file append to it without overwriting each other")
{
    TempDir dir;
    // Both names are made in the same second: early in one, so that it cannot pass meanwhile.
    SYSTEMTIME st;
    do
        GetLocalTime(&st);
    while (st.wMilliseconds > 500);
    Tracer first(dir.Path().c_str(), L"tw-setup");
    Tracer second(dir.Path().c_str(), L"tw-setup");
    // Turn by turn: a writer that went by its own position would overwrite the other's lines.
    // (Appends at the same instant are whole on Windows; Wine 8 does not make them atomic.)
    for (int i = 0; i < 1000; ++i)
    {
        Print(first, "*** main %05d %s ***", i, szPayload);
        Print(second, "*** work %05d %s ***", i, szPayload);
    }
    first.Close();
    second.Close();
    auto files = dir.Files();
    REQUIRE(files.size() == 1);
    auto raw = SplitLines(ReadFileBytes(dir.File(files[0].c_str())));
    REQUIRE(raw.size() == 2000);
    for (int i = 0; i < 2000; ++i)
    {
        char szExpected[128];
        wsprintfA(szExpected, "*** %s %05d %s ***", i % 2 == 0 ? "main" : "work", i / 2,
                  szPayload);
        CHECK(MessageOf(raw[i]) == szExpected);
    }
}

namespace {

DWORD WINAPI PrintOneLine(LPVOID)
{
    TracePrint("*** from the worker ***");
    return 0;
}

} // namespace

TEST_CASE("While the trace lock is held from outside no line is written, and none is lost")
{
    // What the forced end of the update check's worker relies on: a thread stopped while the
    // main thread holds this lock is never in the middle of a line.
    TraceCapture trace;
    Tracer* pLocked = LockTrace();
    REQUIRE(pLocked == &trace.GetTracer());
    HANDLE hPrinter = CreateThread(NULL, 0, PrintOneLine, NULL, 0, NULL);
    CHECK(WaitForSingleObject(hPrinter, 300) == WAIT_TIMEOUT);
    CHECK(trace.RawLines().empty());
    UnlockTrace(pLocked);
    CHECK(WaitForSingleObject(hPrinter, 5000) == WAIT_OBJECT_0);
    CHECK(trace.Lines() == std::vector<std::string>{"*** from the worker ***"});
    CloseHandle(hPrinter);
}

TEST_CASE("Line breaks inside a message are written as text, so no line can be forged")
{
    TraceCapture trace;
    TracePrint("*** %s ***", "550 No such file.\r\n*** end ***");
    CHECK(trace.Lines() == std::vector<std::string>{"*** 550 No such file.\\r\\n*** end *** ***"});
}

namespace {

struct Printer
{
    Tracer* pTracer;
    HANDLE hPrinted;
    HANDLE hFinish;
};

DWORD WINAPI PrintAndStay(LPVOID pv)
{
    Printer* p = (Printer*)pv;
    Print(*p->pTracer, "*** from a thread that stays ***");
    SetEvent(p->hPrinted);
    WaitForSingleObject(p->hFinish, INFINITE);
    return 0;
}

} // namespace

TEST_CASE("Every way out of a line gives the lock back, with and without a file")
{
    FallbackDir fallback;
    TempDir dir;
    for (const wchar_t* pszDirectory : {dir.Path().c_str(), szMissingDir})
    {
        if (pszDirectory == szMissingDir)      // no file at all: trace file and fallback fail
            SetEnvironmentVariableW(L"ALLUSERSPROFILE", szMissingDir);
        Tracer tracer(pszDirectory, L"tw-setup");
        Printer printer = {&tracer, CreateEventW(NULL, TRUE, FALSE, NULL),
                           CreateEventW(NULL, TRUE, FALSE, NULL)};
        HANDLE hThread = CreateThread(NULL, 0, PrintAndStay, &printer, 0, NULL);
        REQUIRE(WaitForSingleObject(printer.hPrinted, 5000) == WAIT_OBJECT_0);

        // The first thread is alive and done with its line: this one must not wait for it.
        Printer second = {&tracer, CreateEventW(NULL, TRUE, FALSE, NULL), printer.hFinish};
        HANDLE hSecond = CreateThread(NULL, 0, PrintAndStay, &second, 0, NULL);
        CHECK(WaitForSingleObject(second.hPrinted, 5000) == WAIT_OBJECT_0);

        SetEvent(printer.hFinish);
        WaitForSingleObject(hThread, 5000);
        WaitForSingleObject(hSecond, 5000);
        for (HANDLE h : {hThread, hSecond, printer.hPrinted, printer.hFinish, second.hPrinted})
            CloseHandle(h);
        tracer.Close();
    }
}
