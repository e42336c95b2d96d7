// The internet file copy and the remote size, against a fake remote file and real local files.
#include <doctest.h>

#include "fake_inet.h"
#include "trace_capture.h"
#include "InetCopy/InetCopy.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace {

struct CopyEvent
{
    int nEvent;
    DWORD dwFileSize;
    DWORD dwBytesCopied;
    bool operator==(const CopyEvent& o) const
    {
        return nEvent == o.nEvent && dwFileSize == o.dwFileSize &&
               dwBytesCopied == o.dwBytesCopied;
    }
};

doctest::String toString(const CopyEvent& e)
{
    char sz[64];
    wsprintfA(sz, "{%d, %lu, %lu}", e.nEvent, e.dwFileSize, e.dwBytesCopied);
    return sz;
}

struct CopyLog
{
    std::vector<CopyEvent> events;
    int nStopAt = -1;
};

bool RecordCopy(int nEvent, void* pProgress, void* pCallbackData)
{
    CopyLog* pLog = (CopyLog*)pCallbackData;
    const CopyProgress* p = (const CopyProgress*)pProgress;
    pLog->events.push_back({nEvent, p->dwFileSize, p->dwBytesCopied});
    return nEvent != pLog->nStopAt;
}

std::string Pattern(size_t cb)
{
    std::string bytes(cb, '\0');
    for (size_t i = 0; i < cb; ++i)
        bytes[i] = (char)(i * 7 + i / 251);
    return bytes;
}

struct Copy
{
    bool bResult;
    std::vector<CopyEvent> events;
    std::vector<std::string> lines;
    std::string local;
};

// Copies the fake remote file into a new local file opened with the given access.
Copy RunCopy(DWORD dwAccess = GENERIC_READ | GENERIC_WRITE, int nStopAt = -1)
{
    TempDir dir;
    std::wstring path = dir.File(L"local.bin");
    HANDLE hLocal = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (dwAccess != GENERIC_WRITE && dwAccess != (GENERIC_READ | GENERIC_WRITE))
    {
        CloseHandle(hLocal);
        hLocal = CreateFileW(path.c_str(), dwAccess, 0, NULL, OPEN_EXISTING, 0, NULL);
    }
    CopyLog log;
    log.nStopAt = nStopAt;
    Copy copy;
    {
        TraceCapture trace;
        copy.bResult = InternetCopyFile(hFakeRemote, hLocal, RecordCopy, &log);
        copy.lines = trace.Lines();
    }
    CloseHandle(hLocal);
    copy.events = log.events;
    copy.local = ReadFileBytes(path);
    return copy;
}

// The lines that give a byte count after the prefix.
std::vector<std::string> Count(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const std::string& line : lines)
    {
        if (line.rfind(prefix, 0) == 0 && isdigit((unsigned char)line[prefix.size()]))
            found.push_back(line);
    }
    return found;
}

const char szRead[] = "*** Internet copy file procedure: read file: ";
const char szWrite[] = "*** Internet copy file procedure: write file: ";

} // namespace

TEST_CASE("An empty remote file: one read of 0 bytes, no progress, completed")
{
    FakeInternet inet;
    Copy copy = RunCopy();

    CHECK(copy.bResult);
    CHECK(copy.local.empty());
    CHECK(copy.events == std::vector<CopyEvent>{{0, INVALID_FILE_SIZE, 0},
                                               {2, INVALID_FILE_SIZE, 0}});
    CHECK(copy.lines == std::vector<std::string>{
        "*** Internet copy file: start ***",
        "*** Internet copy file: set parameters ***",
        "*** Internet copy file: start procedure synchronously ***",
        "*** Internet copy file procedure: start ***",
        "*** Internet get file size: start ***",
        "*** Internet get file size: end: -1 ***",
        "*** Internet copy file procedure: started ***",
        "*** Internet copy file procedure: read file: start ***",
        "*** Internet copy file procedure: read file: 0 ***",
        "*** Internet copy file procedure: read file: end ***",
        "*** Internet copy file procedure: end ***",
    });
}

TEST_CASE("Block boundaries: every byte arrives once, one progress event per block")
{
    struct Case
    {
        size_t cbFile;
        DWORD cbChunk;
        size_t cBlocks;
    };
    const Case cases[] = {
        {32768, 32768, 1},
        {32769, 32768, 2},
        {100000, 32768, 4},
        {100000, 9999, 11},    // a server that hands out less than asked
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.cbFile);
        CAPTURE(c.cbChunk);
        FakeInternet inet;
        g_fake.remote.bytes = Pattern(c.cbFile);
        g_fake.remote.cbChunk = c.cbChunk;
        g_fake.remote.dwFtpSize = (DWORD)c.cbFile;
        Copy copy = RunCopy();

        CHECK(copy.bResult);
        CHECK(copy.local == g_fake.remote.bytes);
        REQUIRE(copy.events.size() == c.cBlocks + 2);
        CHECK(copy.events.front() == CopyEvent{0, (DWORD)c.cbFile, 0});
        CHECK(copy.events[1].dwBytesCopied == std::min((DWORD)c.cbFile, c.cbChunk));
        CHECK(copy.events.back() == CopyEvent{2, (DWORD)c.cbFile, (DWORD)c.cbFile});
        CHECK(Count(copy.lines, szWrite).size() == c.cBlocks);
        CHECK(Count(copy.lines, szRead).back() == std::string(szRead) + "0 ***");
    }
}

TEST_CASE("A read that fails half-way: failed, the part already written is kept")
{
    FakeInternet inet;
    g_fake.remote.bytes = Pattern(100000);
    g_fake.remote.nFailingRead = 1;
    Copy copy = RunCopy();

    CHECK_FALSE(copy.bResult);
    CHECK(copy.local == g_fake.remote.bytes.substr(0, 32768));
    CHECK(copy.events.back() == CopyEvent{3, INVALID_FILE_SIZE, 32768});
    CHECK(Count(copy.lines, szRead).size() == 1);
    CHECK(copy.lines.back() == "*** Internet copy file procedure: end ***");
}

TEST_CASE("A copy that fails part-way gives back what it took and still writes its end")
{
    // A read that breaks, a local file that takes nothing, a callback that stops after a block.
    struct { const char* pszName; int nFailingRead; DWORD dwAccess; int nStopAt; } cases[] = {
        {"read", 1, GENERIC_READ | GENERIC_WRITE, -1},
        {"write", -1, GENERIC_READ, -1},
        {"stop", -1, GENERIC_READ | GENERIC_WRITE, 1},
    };
    for (const auto& c : cases)
    {
        CAPTURE(c.pszName);
        FakeInternet inet;
        g_fake.remote.bytes = Pattern(100000);
        g_fake.remote.nFailingRead = c.nFailingRead;
        HANDLE hHeap = HeapCreate(0, 0, 0);
        REQUIRE(hHeap != NULL);
        g_hBlockHeap = hHeap;
        Copy copy = RunCopy(c.dwAccess, c.nStopAt);
        g_hBlockHeap = NULL;
        int cBusy = 0;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(hHeap, &entry))
            cBusy += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ? 1 : 0;
        HeapDestroy(hHeap);

        CHECK_FALSE(copy.bResult);
        CHECK(cBusy == 0);
        CHECK(g_fake.closed.empty());    // the remote file is the caller's
        CHECK(copy.events.back().nEvent == 3);
        REQUIRE(copy.lines.size() >= 2);
        CHECK(std::vector<std::string>(copy.lines.end() - 2, copy.lines.end()) ==
              std::vector<std::string>{"*** Internet copy file procedure: read file: end ***",
                                       "*** Internet copy file procedure: end ***"});
    }
}

TEST_CASE("A remote end short of the announced size is a failure, whatever announced it")
{
    struct Case
    {
        const char* pszName;
        DWORD dwFtpSize;
        const wchar_t* pszContentLength;    // NULL: no such header
        bool bComplete;
    };
    const Case cases[] = {
        {"FTP size larger", 100000, NULL, false},
        {"Content-Length larger", INVALID_FILE_SIZE, L"100000", false},
        {"Content-Length behind a size of 0", 0, L"100000", false},
        {"Content-Length equal", INVALID_FILE_SIZE, L"50000", true},
        {"Content-Length smaller", INVALID_FILE_SIZE, L"20000", true},
        {"no size at all", INVALID_FILE_SIZE, NULL, true},
        {"a size of 0 and no header", 0, NULL, true},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.pszName);
        FakeInternet inet;
        g_fake.remote.bytes = Pattern(50000);
        g_fake.remote.dwFtpSize = c.dwFtpSize;
        g_fake.remote.bHasContentLength = c.pszContentLength != NULL;
        if (c.pszContentLength != NULL)
            g_fake.remote.contentLength = c.pszContentLength;
        Copy copy = RunCopy();

        CHECK(copy.bResult == c.bComplete);
        CHECK(copy.local == g_fake.remote.bytes);
        CHECK(copy.events.back().nEvent == (c.bComplete ? 2 : 3));
        bool bEarlyLine = std::find(copy.lines.begin(), copy.lines.end(),
            "*** Internet copy file procedure: remote file ended early: 50000 of 100000 bytes ***")
            != copy.lines.end();
        CHECK(bEarlyLine == !c.bComplete);
    }
}

TEST_CASE("A local file that can't be written: failed after the first read")
{
    FakeInternet inet;
    g_fake.remote.bytes = Pattern(1000);
    Copy copy = RunCopy(GENERIC_READ);

    CHECK_FALSE(copy.bResult);
    CHECK(copy.events == std::vector<CopyEvent>{{0, INVALID_FILE_SIZE, 0},
                                               {3, INVALID_FILE_SIZE, 0}});
    CHECK(Count(copy.lines, szRead) == std::vector<std::string>{std::string(szRead) + "1000 ***"});
    CHECK(Count(copy.lines, szWrite).empty());
}

namespace {

struct PipeReader
{
    HANDLE hPipe;
    std::string bytes;
};

// Reads in small pieces until the writer closes its end. The flush at the end of a copy waits
// until the reader has taken everything (Windows does; Wine returns at once). A read this small
// keeps the write short even where a waiting read takes its bytes straight from the write.
DWORD WINAPI DrainPipe(void* pvReader)
{
    PipeReader* pReader = (PipeReader*)pvReader;
    char buffer[512];
    DWORD cbRead = 0;
    while (ReadFile(pReader->hPipe, buffer, sizeof(buffer), &cbRead, NULL))
        pReader->bytes.append(buffer, cbRead);
    return 0;
}

} // namespace

TEST_CASE("A short write counts as a failed write")
{
    // A non-blocking pipe takes only what fits into its buffer and says so.
    const DWORD cbPipe = 4096;
    HANDLE hPipe = CreateNamedPipeW(L"\\\\.\\pipe\\setup-unit-short-write", PIPE_ACCESS_OUTBOUND,
                                    PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, cbPipe, cbPipe, 0, NULL);
    REQUIRE(hPipe != INVALID_HANDLE_VALUE);
    PipeReader reader;
    reader.hPipe = CreateFileW(L"\\\\.\\pipe\\setup-unit-short-write", GENERIC_READ, 0, NULL,
                               OPEN_EXISTING, 0, NULL);
    REQUIRE(reader.hPipe != INVALID_HANDLE_VALUE);
    HANDLE hThread = CreateThread(NULL, 0, DrainPipe, &reader, 0, NULL);
    REQUIRE(hThread != NULL);

    FakeInternet inet;
    g_fake.remote.bytes = Pattern(32768);
    CopyLog log;
    bool bResult;
    std::vector<std::string> lines;
    {
        TraceCapture trace;
        bResult = InternetCopyFile(hFakeRemote, hPipe, RecordCopy, &log);
        lines = trace.Lines();
    }
    CloseHandle(hPipe);
    bool bDrained = WaitForSingleObject(hThread, 10000) == WAIT_OBJECT_0;
    CloseHandle(hThread);
    CloseHandle(reader.hPipe);

    REQUIRE(bDrained);
    // The pipe took less than the block (Wine's takes what a waiting read asks for, which may
    // be nothing).
    CHECK(reader.bytes.size() < g_fake.remote.bytes.size());
    CHECK(g_fake.remote.bytes.compare(0, reader.bytes.size(), reader.bytes) == 0);
    CHECK_FALSE(bResult);
    CHECK(log.events.back().nEvent == 3);
    CHECK(Count(lines, szWrite).empty());
}

TEST_CASE("A flush that fails makes a complete copy a failure")
{
    // Flushing needs write access; the remote file is empty, so nothing else needs it.
    FakeInternet inet;
    Copy copy = RunCopy(GENERIC_READ);

    CHECK_FALSE(copy.bResult);
    CHECK(copy.events.back().nEvent == 3);
    CHECK(Count(copy.lines, szRead) == std::vector<std::string>{std::string(szRead) + "0 ***"});
}

TEST_CASE("Stopping: at the start nothing is read; after the first block it is flushed and fails")
{
    SUBCASE("at the started event")
    {
        FakeInternet inet;
        g_fake.remote.bytes = Pattern(100000);
        Copy copy = RunCopy(GENERIC_READ | GENERIC_WRITE, 0);
        CHECK_FALSE(copy.bResult);
        CHECK(copy.events.size() == 1);
        CHECK(g_fake.nReads == 0);
        CHECK(copy.lines.back() == "*** Internet copy file procedure: started ***");
    }
    SUBCASE("at the first progress event")
    {
        FakeInternet inet;
        g_fake.remote.bytes = Pattern(100000);
        Copy copy = RunCopy(GENERIC_READ | GENERIC_WRITE, 1);
        CHECK_FALSE(copy.bResult);
        CHECK(g_fake.nReads == 1);
        CHECK(copy.local == g_fake.remote.bytes.substr(0, 32768));
        CHECK(copy.events == std::vector<CopyEvent>{{0, INVALID_FILE_SIZE, 0},
                                                   {1, INVALID_FILE_SIZE, 32768},
                                                   {3, INVALID_FILE_SIZE, 32768}});
    }
}

TEST_CASE("Remote size: FTP first, then the leading digits of the Content-Length")
{
    struct Case
    {
        const char* pszName;
        DWORD dwFtpSize;
        const wchar_t* pszContentLength;    // NULL: no such header
        DWORD dwExpected;
        const char* pszTraced;
    };
    const Case cases[] = {
        {"FTP size, high part dropped", 1234, L"99", 1234, "1234"},
        {"FTP size 0 is a size", 0, NULL, 0, "0"},
        {"a size of 0 from an HTTP handle: the Content-Length knows", 0, L"5000", 5000, "5000"},
        {"Content-Length", INVALID_FILE_SIZE, L"5000", 5000, "5000"},
        {"trailing characters", INVALID_FILE_SIZE, L"5000 bytes", 5000, "5000"},
        {"zero length", INVALID_FILE_SIZE, L"0", 0, "0"},
        {"no size at all", INVALID_FILE_SIZE, NULL, INVALID_FILE_SIZE, "-1"},
        {"empty value", INVALID_FILE_SIZE, L"", INVALID_FILE_SIZE, "-1"},
        {"a sign", INVALID_FILE_SIZE, L"-5", INVALID_FILE_SIZE, "-1"},
        {"plus sign", INVALID_FILE_SIZE, L"+5", INVALID_FILE_SIZE, "-1"},
        {"garbage", INVALID_FILE_SIZE, L"abc", INVALID_FILE_SIZE, "-1"},
        {"largest signed value that fits", INVALID_FILE_SIZE, L"2147483646", 2147483646,
         "2147483646"},
        {"past 32 bits", INVALID_FILE_SIZE, L"99999999999999999999", INVALID_FILE_SIZE, "-1"},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.pszName);
        FakeInternet inet;
        g_fake.remote.dwFtpSize = c.dwFtpSize;
        g_fake.remote.bHasContentLength = c.pszContentLength != NULL;
        if (c.pszContentLength != NULL)
            g_fake.remote.contentLength = c.pszContentLength;
        TraceCapture trace;
        CHECK(InternetGetFileSize(hFakeRemote) == c.dwExpected);
        auto lines = trace.Lines();
        CHECK(lines.back() == std::string("*** Internet get file size: end: ") + c.pszTraced +
                              " ***");
        CHECK(lines.front() == "*** Internet get file size: start ***");
    }
}

TEST_CASE("No transfer buffer: failed before the started event")
{
    FakeInternet inet;
    CopyLog log;
    log.events.reserve(8);
    TraceCapture trace;
    int nResult;
    {
        ExhaustedHeap heap(0, 16);
        InternetCopyFileParams* pParams =
            (InternetCopyFileParams*)heap.Alloc(sizeof(InternetCopyFileParams));
        REQUIRE(pParams != NULL);
        pParams->hRemoteFile = hFakeRemote;
        pParams->hLocalFile = GetStdHandle(STD_OUTPUT_HANDLE);
        pParams->pfnCallback = RecordCopy;
        pParams->pCallbackData = &log;
        heap.Fill();
        nResult = InternetCopyFileProc(pParams);
    }
    CHECK(nResult == -1);
    CHECK(log.events.empty());
    CHECK(g_fake.nReads == 0);
    auto lines = trace.Lines();
    REQUIRE(lines.size() == 2);
    CHECK(lines[0] == "*** Internet copy file procedure: start ***");
    CHECK(lines[1].rfind("*** VERIFY API CALL: ptr != NULL (", 0) == 0);
}

TEST_CASE("Missing handles are reported and the copy goes on to fail")
{
    FakeInternet inet;
    TraceCapture trace;
    CHECK_FALSE(InternetCopyFile(NULL, INVALID_HANDLE_VALUE, NULL, NULL));
    auto lines = WithoutLineNumbers(trace.Lines());
    CHECK(std::count(lines.begin(), lines.end(),
          "*** ASSERT: ptrParams.get()->hRemoteFile != NULL (.\\internet_copy_file.cpp, #) ***") == 1);
    CHECK(std::count(lines.begin(), lines.end(),
          "*** ASSERT: ptrParams.get()->hLocalFile != INVALID_HANDLE_VALUE (.\\internet_copy_file.cpp, #) ***")
          == 1);
    CHECK(std::count(lines.begin(), lines.end(),
          "*** ASSERT: hRemoteFile != NULL (.\\internet_copy_file.cpp, #) ***") == 1);
}
