// Build versions and the build-information file, parsed from text and read from real files.
#include <doctest.h>

#include "trace_capture.h"
#include "checkversion/build_info.h"

#include <string>

namespace {

// The texts of these cases are ASCII.
std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

std::string TextOf(const BuildVersion& version)
{
    HeapPtr<WCHAR> ptrText(FormatVersion(version));
    return Narrow(ptrText.get());
}

// "false", or the version and the URL list ("-" for none).
std::string Outcome(bool bResult, BuildInfo& info)
{
    LPCWSTR pszList = info.UrlList() != NULL ? info.UrlList() : L"-";
    std::string outcome = bResult ? TextOf(info.version) + " " + Narrow(pszList) : "false";
    ReleaseBuildInfo(info);
    return outcome;
}

// The bytes, then zeros up to cbSize, through a handle whose pointer is left at the end.
std::string ReadFrom(const std::string& bytes, LONGLONG cbSize)
{
    TempDir dir;
    WriteFileBytes(dir.File(L"verinfo.txt"), bytes);
    HANDLE h = CreateFileW(dir.File(L"verinfo.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           NULL, OPEN_EXISTING, 0, NULL);
    LONG lHigh = (LONG)(cbSize >> 32);
    SetFilePointer(h, (LONG)cbSize, &lHigh, FILE_BEGIN);
    SetEndOfFile(h);
    BuildInfo info;
    InitBuildInfo(info);
    std::string outcome = Outcome(ReadBuildInformation(L"VLM-TCH", 9, info, h), info);
    CloseHandle(h);
    return outcome;
}

struct TextCase { const wchar_t* text; const char* outcome; };
struct FileCase { std::string bytes; LONGLONG cbSize; const char* outcome; };

} // namespace

TEST_CASE("ParseBuildInformation takes the first line of the key with the major asked for")
{
    const TextCase cases[] = {
        {L"VLM-ABC 10.0.0.100 http://x/a.msi\nVLM-TCH 8.0.0.999 http://x/8.msi\n"
         L"VLM-TCH\t9.0.0.512 http://x/9.msi;ftp://y/9.msi\r\n",
         "9.0.0.512 http://x/9.msi;ftp://y/9.msi"},
        {L"VLM-TCH 9.0.0.2 b\nVLM-TCH 8.0.0.1 a", "9.0.0.2 b"},
        {L"VLM-TCH\r\n9.0.0.5 u", "9.0.0.5 u"},                 // version on the next line
        {L"VLM-TCH 9.0.0.5\r\nnext line", "9.0.0.5 next line"},  // list from the next line
        {L"VLM-TCH 9.0.0.5 a; b \rc", "9.0.0.5 a; b "},          // CR ends it, spaces stay
        {L"", "0.0.0.0 -"},
        {L"VLM-TCH9.0.0.1 a\nVLM-TCH 9.0.0.2 b", "false"},      // inside a longer word
        {L"other VLM-TCH", "false"},
        {L"VLM-TCH 9.0.0.5", "false"},
        {L"VLM-TCH 9.0 a\nVLM-TCH 9.0.0.2 b", "false"},
        {L"VLM-TCH 0.0.0.0 a", "false"},
        {L"VLM-TCH 8.0.0.1 a", "false"},
    };
    for (const TextCase& c : cases)
    {
        TraceCapture trace;
        BuildInfo info;
        InitBuildInfo(info);
        CHECK(Outcome(ParseBuildInformation(c.text, L"VLM-TCH", 9, info), info) == c.outcome);
        // Only a success writes the end line.
        bool bEnded = trace.Lines().back() == "*** Parse build information: end ***";
        CHECK(bEnded == (std::string(c.outcome) != "false"));
    }
}

TEST_CASE("ParseVersion, and its Version line only for a version")
{
    const TextCase cases[] = {
        {L"9.0.0.463", "9.0.0.463"}, {L"1.2.3.4.5", "1.2.3.4"}, {L"9.0.", "9.0.0.0"},
        {L"9..1.2", "9.0.1.2"}, {L" \t\r\n9.0.0.1", "9.0.0.1"}, {L"9.0", NULL},
    };
    for (const TextCase& c : cases)
    {
        TraceCapture trace;
        CHECK(TextOf(ParseVersion(c.text)) == (c.outcome != NULL ? c.outcome : "0.0.0.0"));
        auto lines = trace.Lines();
        REQUIRE(lines.size() == (c.outcome != NULL ? 3u : 1u));
        if (c.outcome != NULL)
            CHECK(lines[1] == "*** Version: " + std::string(c.outcome) + " ***");
    }
}

TEST_CASE("IsLess is unsigned, part by part; FormatVersion writes parts unsigned")
{
    const BuildVersion v463 = MakeVersion(9, 0, 0, 463);
    CHECK(IsLess(v463, MakeVersion(9, 0, 0, 512)));
    CHECK(IsLess(v463, MakeVersion(9, 1, 0, 0)));
    CHECK_FALSE(IsLess(v463, v463));
    CHECK_FALSE(IsLess(MakeVersion(10, 0, 0, 0), MakeVersion(9, 99, 99, 99)));
    CHECK(IsLess(MakeVersion(9, 0, 0, 0x7FFFFFFF), MakeVersion(9, 0, 0, 0x80000000)));
    CHECK_FALSE(IsLess(MakeVersion(0x80000000, 0, 0, 0), v463));
    CHECK(TextOf(v463) == "9.0.0.463");
    CHECK(TextOf(MakeVersion(0xFFFFFFFF, 0x80000000, 0, 10)) == "4294967295.2147483648.0.10");
}

TEST_CASE("ReadBuildInformation reads the whole file from its start and refuses a large one")
{
    const std::string line = "VLM-TCH 9.0.0.512 http://x/9.msi\r\n";
    const FileCase cases[] = {
        {line, (LONGLONG)line.size(), "9.0.0.512 http://x/9.msi"},
        {"VLM-TCH 8.0.0.1 a" + std::string(1, '\0') + line, 53, "false"},  // NUL ends the text
        {"", cbBuildInformationMax, "0.0.0.0 -"},
        {"", cbBuildInformationMax + 1, "false"},
        {line, 0x100000000LL + (LONGLONG)line.size(), "false"},  // small in its low 32 bits
    };
    const std::string refused = "*** Read build information: file larger than 1048576 bytes ***";
    for (const FileCase& c : cases)
    {
        TraceCapture trace;
        CHECK(ReadFrom(c.bytes, c.cbSize) == c.outcome);
        auto lines = trace.Lines();
        bool bRefused = !lines.empty() && lines.back() == refused;
        CHECK(bRefused == (c.cbSize > cbBuildInformationMax));
    }
}
