// The wide-string and number routines: the cases where a plausible implementation goes wrong.
#include <doctest.h>

#include "trace_capture.h"
#include "res/resource.h"

#include <algorithm>
#include <set>
#include <string>

namespace {

// Position as an index, -1 for none.
int IndexOf(LPCWSTR pszText, LPCWSTR pszFound)
{
    return pszFound == NULL ? -1 : (int)(pszFound - pszText);
}

struct SearchCase { const wchar_t* text; const wchar_t* pattern; int index; };
struct CharCase { const wchar_t* text; wchar_t ch; int index; };
struct CompareCase { const wchar_t* first; const wchar_t* second; int result; };
struct CountedCase { const wchar_t* first; const wchar_t* second; DWORD count; int result; };
struct ParseCase { const wchar_t* text; LONG value; };
struct FormatCase { LONG value; const wchar_t* text; };

} // namespace

TEST_CASE("FindSubstring finds the whole pattern and nothing else")
{
    const SearchCase cases[] = {
        {L"VVLM-TCH 9.0.0.463", L"VLM-TCH", 1},   // a partial match just before must not hide it
        {L"a;b", L";", 1},
        {L"", L"x", -1},
        {L"abc", L"", -1},
        {L"abc", L"abcd", -1},                    // the text ends inside the pattern
        {L"vlm-tch", L"VLM-TCH", -1},             // letter case counts
        {L"abab", L"ab", 0},
    };
    for (const SearchCase& c : cases)
    {
        CAPTURE(std::wstring(c.text).size());
        CHECK(IndexOf(c.text, FindSubstring(c.text, c.pattern)) == c.index);
    }
}

TEST_CASE("FindChar and FindLastChar")
{
    const CharCase first[] = {
        {L"setup.reg", L';', -1},
        {L"setup.reg", L'\0', -1},               // the terminator is never found
        {L"a;b;c", L';', 1},
        {L"", L'a', -1},
    };
    for (const CharCase& c : first)
        CHECK(IndexOf(c.text, FindChar(c.text, c.ch)) == c.index);

    const CharCase last[] = {
        {L"C:\\dir\\file.msi", L'\\', 6},
        {L"file.msi", L'\\', -1},
        {L"", L'\\', -1},
        {L"\\", L'\\', 0},
    };
    for (const CharCase& c : last)
        CHECK(IndexOf(c.text, FindLastChar(c.text, c.ch)) == c.index);
}

TEST_CASE("CompareChars compares a counted prefix")
{
    const CountedCase cases[] = {
        {L"anything", L"else", 0, 0},
        {L"ftp://host", L"ftp://", 6, 0},
        {L"ftps://", L"ftp://", 6, 1},
        {L"f", L"ftp://", 6, 1},
        {L"fxp://", L"ftp://", 6, 1},
        {L"FTP://host", L"ftp://", 6, 1},
        {L"ab", L"ab", 6, 0},                     // both end before the count
    };
    for (const CountedCase& c : cases)
        CHECK(CompareChars(c.first, c.second, c.count) == c.result);
}

TEST_CASE("CompareStrings tells equality, and -1 only for a proper prefix")
{
    const CompareCase cases[] = {
        {L"", L"", 0},
        {L"abc", L"abc", 0},
        {L"abc", L"abd", 1},
        {L"abd", L"abc", 1},                      // 1 is no ordering
        {L"ab", L"abc", -1},
        {L"abc", L"ab", 1},
        {L"", L"a", -1},
        {L"C:\\Setup", L"c:\\setup", 1},
    };
    for (const CompareCase& c : cases)
        CHECK(CompareStrings(c.first, c.second) == c.result);
}

TEST_CASE("CopyChars writes no terminator and stops at the source's")
{
    wchar_t buf[8] = {L'x', L'x', L'x', L'x', L'x', L'x', L'x', 0};
    CHECK(CopyChars(buf, L"abc", 2) == buf + 2);
    CHECK(std::wstring(buf) == L"abxxxxx");
    CHECK(CopyChars(buf, L"abc", 5) == buf + 3);
    CHECK(std::wstring(buf) == L"abcxxxx");
    CHECK(CopyChars(buf, L"abc", 0) == buf);

    // Into a zero-filled block one character longer, the block's own zero terminates.
    LPWSTR pszBlock = (LPWSTR)AllocBlock(3 * sizeof(wchar_t));
    REQUIRE(pszBlock != NULL);
    CopyChars(pszBlock, L"abc", 2);
    CHECK(std::wstring(pszBlock) == L"ab");
    FreeBlock(pszBlock);
}

TEST_CASE("ParseDecimal reads leading digits only and never overflows")
{
    const ParseCase cases[] = {
        {L"123", 123},
        {L"123abc", 123},
        {L"abc", 0},
        {L" 12", 0},
        {L"-5", 0},
        {L"", 0},
        {L"2147483647", 2147483647},
        {L"2147483648", 2147483647},
        {L"4294967296", 2147483647},               // would wrap to 0 in 32 bits
        {L"99999999999999999999", 2147483647},
    };
    for (const ParseCase& c : cases)
        CHECK(ParseDecimal(c.text, NULL, 10) == c.value);
}

TEST_CASE("ParseDecimal reports a wrong end pointer or base and parses decimal anyway")
{
    TraceCapture trace;
    LPWSTR pszEnd = NULL;
    CHECK(ParseDecimal(L"42", &pszEnd, 16) == 42);
    CHECK(pszEnd == NULL);
    auto lines = trace.Lines();
    REQUIRE(lines.size() == 2);
    CHECK(lines[0].rfind("*** ASSERT: endptr == NULL (.\\setup_base.cpp, ", 0) == 0);
    CHECK(lines[1].rfind("*** ASSERT: base == 10 (.\\setup_base.cpp, ", 0) == 0);
}

TEST_CASE("FormatDecimal writes the digits without a terminator")
{
    const FormatCase cases[] = {
        {0, L"0"}, {463, L"463"}, {2009, L"2009"}, {10, L"10"},
        {2147483647, L"2147483647"}, {-5, L"-5"}, {(LONG)0x80000000, L"-2147483648"},
    };
    for (const FormatCase& c : cases)
    {
        wchar_t buf[16];
        for (wchar_t& ch : buf)
            ch = L'#';
        buf[15] = 0;
        CHECK(FormatDecimal(c.value, buf) == buf);
        std::wstring text(buf);
        CHECK(text.substr(0, text.find(L'#')) == c.text);
    }
}

TEST_CASE("IsWhiteSpace")
{
    for (wchar_t ch : {9, 10, 11, 12, 13, 32})
        CHECK(IsWhiteSpace(ch));
    for (wchar_t ch : {0, 8, 14, 31, int('a'), 160})
        CHECK_FALSE(IsWhiteSpace(ch));
}

TEST_CASE("Heap blocks arrive zero-filled; a failed allocation is reported, not fatal")
{
    TraceCapture trace;
    BYTE* pb = (BYTE*)AllocBlock(8192);
    REQUIRE(pb != NULL);
    bool bAllZero = true;
    for (int i = 0; i < 8192; ++i)
        bAllZero = bAllZero && pb[i] == 0;
    CHECK(bAllZero);
    FreeBlock(pb);

    // A heap of fixed size refuses what a 64-bit process heap might well grant.
    HANDLE hSmall = HeapCreate(0, 0, 64 * 1024);
    REQUIRE(hSmall != NULL);
    g_hBlockHeap = hSmall;
    void* pTooLarge = AllocBlock(1024 * 1024);
    g_hBlockHeap = NULL;
    HeapDestroy(hSmall);
    CHECK(pTooLarge == NULL);
    auto lines = trace.Lines();
    REQUIRE(lines.size() == 1);
    CHECK(lines[0].rfind("*** VERIFY API CALL: ptr != NULL (.\\setup_base.h, ", 0) == 0);
    CHECK(lines[0].find("): 8 ***") != std::string::npos);
}

namespace {

// The blocks in use in a heap of the test's own.
std::set<void*> BusyBlocks(HANDLE hHeap)
{
    std::set<void*> busy;
    PROCESS_HEAP_ENTRY entry;
    entry.lpData = NULL;
    while (HeapWalk(hHeap, &entry))
    {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            busy.insert(entry.lpData);
    }
    return busy;
}

} // namespace

TEST_CASE("HeapPtr frees what it holds, once")
{
    HANDLE hHeap = HeapCreate(0, 0, 0);
    REQUIRE(hHeap != NULL);
    TraceCapture trace;
    const std::set<void*> before = BusyBlocks(hHeap);
    g_hBlockHeap = hHeap;
    std::set<void*> held;
    std::set<void*> afterReset;
    void* pFirst = NULL;
    void* pSecond = NULL;
    {
        HeapPtr<void> ptr(AllocBlock(16));
        pFirst = ptr.get();
        pSecond = AllocBlock(32);
        ptr.reset(pSecond);
        afterReset = BusyBlocks(hHeap);
        HeapPtr<void> empty;
        CHECK(empty.get() == NULL);
    }
    std::set<void*> after = BusyBlocks(hHeap);
    g_hBlockHeap = NULL;
    HeapDestroy(hHeap);

    REQUIRE(pFirst != NULL);
    REQUIRE(pSecond != NULL);
    // reset frees the old block and keeps the new one; the end of the scope frees that.
    CHECK(afterReset.count(pFirst) == 0);
    CHECK(afterReset.count(pSecond) == 1);
    CHECK(after == before);
    CHECK(trace.Lines().empty());   // no failed release reported: nothing freed twice
}

TEST_CASE("A list walk gives every item between separators, empty ones included")
{
    struct { const wchar_t* list; const char* items; } cases[] = {
        {L"", "[]"}, {L"a", "[a]"}, {L"ftp://h/a;http://h/b", "[ftp://h/a][http://h/b]"},
        {L"a;;b;", "[a][][b][]"}, {L";", "[][]"},
    };
    for (auto& c : cases)
    {
        std::string items;
        for (LPCWSTR pItem = c.list; pItem != NULL; )
        {
            LPCWSTR pEnd = NULL;
            LPCWSTR pNext = NextListItem(pItem, &pEnd);
            items += "[" + std::string(pItem, pEnd) + "]";
            pItem = pNext;
        }
        CHECK(items == c.items);
    }
}

TEST_CASE("A string row is cut to its buffer and always ended; a missing one leaves it empty")
{
    struct { UINT uId; DWORD cch; const wchar_t* text; } cases[] = {
        {IDS_MSI_PACKAGE, 64, L"vlm.tch.msi"}, {IDS_MSI_PACKAGE, 8, L"vlm.tch"},
        {IDS_MSI_PACKAGE, 1, L""}, {9999, 64, L""},
    };
    for (auto& c : cases)
    {
        wchar_t sz[64];
        std::fill(sz, sz + 64, L'x');
        LoadStringRow(c.uId, sz, c.cch);
        CHECK(std::wstring(sz) == c.text);
        HeapPtr<WCHAR> text(AllocStringRow(c.uId, c.cch));
        CHECK(std::wstring(text.get()) == c.text);
    }
}
