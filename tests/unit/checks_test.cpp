// Check reports: exact texts, and the last error read only when a check fails.
#include <doctest.h>

#include "trace_capture.h"
#include "WinInet/WinInet.h"

#include <string>

namespace {

const wchar_t szResponse[] = L"550 No such file or directory.";

BOOL WINAPI FakeResponse(LPDWORD pdwError, LPWSTR pszBuffer, LPDWORD pdwLength)
{
    *pdwError = 550;
    lstrcpyW(pszBuffer, szResponse);
    *pdwLength = lstrlenW(szResponse);
    return TRUE;
}

BOOL WINAPI FailingResponse(LPDWORD, LPWSTR, LPDWORD)
{
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
}

// Swaps the binding table for one test.
struct SavedWinInet
{
    WinInetApiTable saved = WinInetApi;
    SavedWinInet() { ZeroBytes(&WinInetApi, sizeof(WinInetApi)); }
    ~SavedWinInet() { WinInetApi = saved; }
};

std::string Expected(const char* pszFormat, int nLine, int nError = 0)
{
    char sz[512];
    wsprintfA(sz, pszFormat, nLine, nError);
    return sz;
}

} // namespace

TEST_CASE("A true check writes nothing and keeps the last error")
{
    TraceCapture trace;
    int n = 1;
    SetLastError(1234);
    ASSERT(n == 1);
    VERIFY(n == 1);
    VERIFY_API_CALL(n == 1);
    VERIFY_WININET_CALL(n == 1);
    CHECK(GetLastError() == 1234);
    CHECK(trace.Lines().empty());
}

TEST_CASE("Report texts of the four forms")
{
    TraceCapture trace;
    SavedWinInet table;
    WinInetApi.InternetGetLastResponseInfoW = FakeResponse;
    int resLoad = 0;

    ASSERT(resLoad > 0);
    int nAssertLine = __LINE__ - 1;
    VERIFY(resLoad > 0);
    int nVerifyLine = __LINE__ - 1;
    SetLastError(ERROR_ACCESS_DENIED);
    VERIFY_API_CALL(resLoad != 0);
    int nApiLine = __LINE__ - 1;
    SetLastError(12003);
    VERIFY_WININET_CALL(resLoad != 0);
    int nInetLine = __LINE__ - 1;

    auto lines = trace.Lines();
    REQUIRE(lines.size() == 4);
    CHECK(lines[0] == Expected("*** ASSERT: resLoad > 0 (.\\checks_test.cpp, %d) ***", nAssertLine));
    CHECK(lines[1] == Expected("*** VERIFY: resLoad > 0 (.\\checks_test.cpp, %d) ***", nVerifyLine));
    CHECK(lines[2] == Expected("*** VERIFY API CALL: resLoad != 0 (.\\checks_test.cpp, %d): %d ***",
                               nApiLine, 5));
    CHECK(lines[3] == Expected("*** VERIFY WININET CALL: resLoad != 0 (.\\checks_test.cpp, %d): "
                               "%d, 550 No such file or directory., 30 ***", nInetLine, 12003));
}

TEST_CASE("A failing response query adds its own report first and an empty response")
{
    TraceCapture trace;
    SavedWinInet table;
    WinInetApi.InternetGetLastResponseInfoW = FailingResponse;
    SetLastError(12029);
    VERIFY_WININET_CALL(1 == 0);

    auto lines = trace.Lines();
    REQUIRE(lines.size() == 2);
    CHECK(lines[0].rfind("*** VERIFY API CALL: res != FALSE (.\\WinInet.cpp, ", 0) == 0);
    CHECK(lines[0].find("): 122 ***") != std::string::npos);
    CHECK(lines[1].find("): 12029, , 1024 ***") != std::string::npos);
}

TEST_CASE("A WinInet report without a bound table reports instead of crashing")
{
    TraceCapture trace;
    SavedWinInet table;
    SetLastError(12007);
    VERIFY_WININET_CALL(1 == 0);
    auto lines = trace.Lines();
    REQUIRE(lines.size() == 2);
    CHECK(lines[1].find("): 12007, , 1024 ***") != std::string::npos);
}
