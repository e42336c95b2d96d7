// Splitting and interpreting the command line: the cases where the setup's own quoting rules
// differ from what a reader expects.
#include <doctest.h>

#include "command_line.h"

#include <string>
#include <vector>

namespace {

struct Split
{
    int count;
    std::vector<std::wstring> tokens;
};

Split SplitAll(const wchar_t* pszCommandLine)
{
    std::vector<wchar_t> buffer(TokenBufferCapacity(lstrlenW(pszCommandLine)), L'\x7f7f');
    Split split;
    split.count = SplitCommandLine(pszCommandLine, buffer.data());
    TokenCursor cursor = {buffer.data(), split.count};
    for (LPWSTR pszToken = GetNextToken(&cursor); pszToken != NULL;
         pszToken = GetNextToken(&cursor))
        split.tokens.push_back(pszToken);
    return split;
}

std::wstring Text(const wchar_t* psz) { return psz == nullptr ? L"<none>" : psz; }

struct ParseResult
{
    bool bHelp, bNoRoom, bSilent, bAdminInstall, bUninstall;
    std::wstring productCode, logPath, msiexecArgs, properties;
};

ParseResult ParseAll(const wchar_t* pszCommandLine)
{
    DWORD cch = lstrlenW(pszCommandLine);
    std::vector<wchar_t> tokens(TokenBufferCapacity(cch));
    std::vector<wchar_t> properties(PropertiesCapacity(cch), L'\x7f7f');
    SetupOptions options;
    ClearOptions(&options, properties.data(), (DWORD)properties.size());
    TokenCursor cursor = {tokens.data(), SplitCommandLine(pszCommandLine, tokens.data())};
    ParseResult result = {};
    for (LPWSTR pszToken = GetNextToken(&cursor); pszToken != NULL;
         pszToken = GetNextToken(&cursor))
    {
        OptionResult r = InterpretOption(pszToken, &options);
        result.bHelp = r == OptionHelp;
        result.bNoRoom = r == OptionNoRoom;
        if (r != OptionTaken)
            break;
    }
    result.bSilent = options.bSilent;
    result.bAdminInstall = options.bAdminInstall;
    result.bUninstall = options.bUninstall;
    result.productCode = Text(options.pszProductCode);
    result.logPath = Text(options.pszLogPath);
    result.msiexecArgs = Text(options.pszMsiexecArgs);
    result.properties = options.pszProperties;
    return result;
}

struct SplitCase
{
    const char* name;
    const wchar_t* input;
    std::vector<std::wstring> tokens;
};

// Flags: s = silent, a = admin, x = uninstall, h = help.
struct OptionCase
{
    const wchar_t* input;
    const char* flags;
    const wchar_t* productCode;
    const wchar_t* logPath;
    const wchar_t* msiexecArgs;
    const wchar_t* properties;
};

std::string Flags(const ParseResult& r)
{
    std::string flags;
    if (r.bSilent) flags += 's';
    if (r.bAdminInstall) flags += 'a';
    if (r.bUninstall) flags += 'x';
    if (r.bHelp) flags += 'h';
    return flags;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

} // namespace

TEST_CASE("the quoted example: token count 33, the last token empty")
{
    Split split = SplitAll(L"\"C:\\Setup Dir\\setup.exe\" /s /pA=1 ");
    CHECK(split.count == 33);
    CHECK(split.tokens == std::vector<std::wstring>{L"C:\\Setup Dir\\setup.exe", L"/s", L"/pA=1", L""});
}

TEST_CASE("an empty command line is one empty token")
{
    Split split = SplitAll(L"");
    CHECK(split.count == 1);
    CHECK(split.tokens == std::vector<std::wstring>{L""});
}

TEST_CASE("splitting follows the four-state machine")
{
    const SplitCase cases[] = {
        {"quoted and unquoted pieces run together", L"\"a b\"c", {L"a bc"}},
        {"outside quotes a backslash is ordinary", L"a\\\"b c\"", {L"a\\b c"}},
        {"an escaped quote swallows the rest", L"/l\"C:\\Logs\\\" /s", {L"/lC:\\Logs\" /s"}},
        {"two backslashes stay two and do not escape", L"\"a\\\\\" b", {L"a\\\\", L"b"}},
        {"a backslash before another character is kept", L"\"C:\\x y\"", {L"C:\\x y"}},
        {"a trailing backslash in Escape is dropped", L"\"a\\", {L"a"}},
        {"an unclosed quote runs to the end", L"\"a b  c", {L"a b  c"}},
        {"a tab does not separate", L"/s\t/a", {L"/s\t/a"}},
        {"runs of spaces write nothing", L"  a   b", {L"a", L"b"}},
        {"empty quotes and a space give an empty token", L"\"\" x", {L"", L"x"}},
        {"empty quotes at the end are the final token", L"x \"\"", {L"x", L""}},
        {"two trailing spaces give one empty token", L"a  ", {L"a", L""}},
    };
    for (const SplitCase& c : cases)
    {
        INFO(c.name);
        CHECK(SplitAll(c.input).tokens == c.tokens);
    }
}

TEST_CASE("GetNextToken yields nothing once the cursor is used up")
{
    wchar_t buffer[] = L"a\0b\0";
    TokenCursor cursor = {buffer, 4};
    CHECK(std::wstring(GetNextToken(&cursor)) == L"a");
    CHECK(std::wstring(GetNextToken(&cursor)) == L"b");
    CHECK(GetNextToken(&cursor) == NULL);
    CHECK(GetNextToken(&cursor) == NULL);
    CHECK(cursor.cchLeft == 0);
}

TEST_CASE("the option table")
{
    const wchar_t* n = L"<none>";
    const OptionCase cases[] = {
        {L"setup /s /a", "sa", n, n, n, L""},
        {L"SETUP -S -A", "sa", n, n, n, L""},
        {L"setup /silent", "s", n, n, n, L""},
        {L"setup /log", "", n, L"og", n, L""},
        {L"setup /l", "", n, L"", n, L""},
        {L"setup /l\"C:\\My Logs\\i.log\"", "", n, L"C:\\My Logs\\i.log", n, L""},
        {L"setup /l\"C:\\Logs\\\" /s", "", n, L"C:\\Logs\" /s", n, L""},
        {L"setup /la /Lb", "", n, L"b", n, L""},
        {L"setup /x {ABC}", "x", L"", n, n, L""},
        {L"setup /x{A} /X{B}", "x", L"{B}", n, n, L""},
        {L"setup /v", "", n, n, L"", L""},
        {L"setup /v/norestart /Vlast", "", n, n, L"last", L""},
        {L"setup /pNAME", "", n, n, n, L""},
        {L"setup /pA=B=C", "", n, n, n, L" A=\"B=C\""},
        {L"setup /p=1", "", n, n, n, L" =\"1\""},
        {L"setup /pA=", "", n, n, n, L" A=\"\""},
        {L"setup /PA=1 /pA=2", "", n, n, n, L" A=\"1\" A=\"2\""},
        {L"setup /p\"DIR=C:\\a b\"", "", n, n, n, L" DIR=\"C:\\a b\""},
        {L"setup /s\t/a", "s", n, n, n, L""},
        {L"setup x / /z -", "", n, n, n, L""},
        {L"/s", "s", n, n, n, L""},
        {L"-a setup", "a", n, n, n, L""},
        {L"setup /s /? /x{A}", "sh", n, n, n, L""},
        {L"setup /h", "h", n, n, n, L""},
        {L"setup -H /s", "h", n, n, n, L""},
        {L"setup /a /x{A}", "ax", L"{A}", n, n, L""},
    };
    for (const OptionCase& c : cases)
    {
        CAPTURE(Narrow(c.input));
        ParseResult r = ParseAll(c.input);
        CHECK(Flags(r) == c.flags);
        CHECK(r.productCode == c.productCode);
        CHECK(r.logPath == c.logPath);
        CHECK(r.msiexecArgs == c.msiexecArgs);
        CHECK(r.properties == c.properties);
        CHECK_FALSE(r.bNoRoom);
    }
}

TEST_CASE("a command line of property tokens alone fits the properties string")
{
    const wchar_t* lines[] = {L"/pA=1", L"/pA=1 /pB=2", L"/p=", L"/p= /p= /p="};
    for (const wchar_t* line : lines)
    {
        CAPTURE(Narrow(line));
        ParseResult r = ParseAll(line);
        CHECK_FALSE(r.bNoRoom);
        CHECK(r.properties.size() == (size_t)lstrlenW(line) + 1);
    }
}

TEST_CASE("a property that does not fit is refused whole, never cut")
{
    wchar_t properties[8];
    SetupOptions options;
    ClearOptions(&options, properties, 8);
    wchar_t first[] = L"/pA=1";       // ' A="1"': 6 characters and the terminator
    wchar_t second[] = L"/pB=2";
    CHECK(InterpretOption(first, &options) == OptionTaken);
    CHECK(InterpretOption(second, &options) == OptionNoRoom);
    CHECK(std::wstring(properties) == L" A=\"1\"");
}
