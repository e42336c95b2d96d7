// Random and mutated build-information texts, grown from real build lines, held against a
// small model of the parser written afresh here; some go through a file as well.
// SETUP_SWEEP_SEED replays or varies a run.
#include <doctest.h>
#include "sweep_seed.h"

#include "trace_capture.h"
#include "checkversion/build_info.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

const int cTexts = 20000;
const int nFileEvery = 100;

using Rng = std::mt19937_64;
using Parts = std::array<uint32_t, 4>;

size_t Pick(Rng& rng, size_t n) { return (size_t)(rng() % n); }
bool Chance(Rng& rng, int percent) { return (int)Pick(rng, 100) < percent; }

template <typename T, size_t N>
T OneOf(Rng& rng, const T (&choices)[N])
{
    return choices[Pick(rng, N)];
}

const wchar_t* const aszKeys[] = {L"VLM-TCH", L"VLM-TCH", L"VLM-TCH", L"VLM-ABC", L"XYZ-TCH",
                                  L"VLM-TCHX", L"xVLM-TCH", L"VLM-TCH-9", L"VLM", L"TCH"};
// Keys that are parts of others, hold white space, are empty or too long for their field.
const wchar_t* const aszOddKeys[] = {L"TCH", L"9", L".", L" ", L"", L"VLM-TCH 9",
                                     L"VLM-TCH-and-a-key-too-long-for-its-field"};
const uint32_t adwOddMajors[] = {8, 10, 0, 1};
const wchar_t* const aszVersions[] = {
    L"9.0.0.463", L"9.0.0.512", L"8.0.0.999", L"10.0.0.100", L"9.1.0.0", L"0.0.0.0",
    L"9.0.0.0", L"9.0", L"9.0.", L"9..1.2", L"1.2.3.4.5", L"9.0.0.463x", L"x9.0.0.1", L"9",
    L"4294967305.0.0.1", L"9.4294967295.0.1", L"09.00.00.0463", L"9.0.0.", L"...", L"."};
const wchar_t* const aszUrls[] = {
    L"ftp://mirror1.example.com/pr_dl/vlm.tch.msi;http://mirror2.example.com/pr_dl/vlm.tch.msi",
    L"http://x/9.msi", L"http://x/9.msi;ftp://y/9.msi", L"http://x/a b.msi \t", L";", L"u"};
const wchar_t* const aszSpaces[] = {L" ", L" ", L"\t", L"  ", L"\r\n", L"\n", L"\v", L"\f",
                                    L" \t "};
const wchar_t* const aszLineEnds[] = {L"\r\n", L"\r\n", L"\n", L"\r", L"", L"\n\n"};
// Characters that the parser treats specially, and some it must not.
const wchar_t szAlphabet[] = L" \t\r\n\v\f.0123456789;VLM-TCHx/:\x00a0\x2028";

std::wstring RandomVersion(Rng& rng)
{
    if (Chance(rng, 60))
        return OneOf(rng, aszVersions);
    std::wstring version = std::to_wstring(Chance(rng, 60) ? 9 : Pick(rng, 12));
    for (int i = 0; i < 3; ++i)
        version += L"." + std::to_wstring(Chance(rng, 90) ? Pick(rng, 1000) : (uint32_t)rng());
    return version;
}

std::wstring RandomLine(Rng& rng)
{
    std::wstring line;
    if (Chance(rng, 10))
        line += L"build ";
    line += OneOf(rng, aszKeys);
    line += OneOf(rng, aszSpaces);
    line += RandomVersion(rng);
    if (Chance(rng, 90))
        line += std::wstring(OneOf(rng, aszSpaces)) + OneOf(rng, aszUrls);
    return line + OneOf(rng, aszLineEnds);
}

std::wstring Mutate(Rng& rng, std::wstring text)
{
    for (size_t n = Pick(rng, 6); n > 0; --n)
    {
        size_t at = Pick(rng, text.size() + 1);
        wchar_t ch = szAlphabet[Pick(rng, sizeof(szAlphabet) / 2 - 1)];
        switch (Pick(rng, 5))
        {
        case 0: text.insert(at, 1, ch); break;
        case 1: if (at < text.size()) text.erase(at, 1); break;
        case 2: if (at < text.size()) text[at] = ch; break;
        case 3: text.insert(at, text.substr(Pick(rng, text.size() + 1), Pick(rng, 20))); break;
        default: if (Chance(rng, 30)) text.resize(at); break;
        }
    }
    return text;
}

std::wstring RandomText(Rng& rng)
{
    std::wstring text;
    if (Chance(rng, 3))
        return text;
    for (size_t n = 1 + Pick(rng, 6); n > 0; --n)
        text += RandomLine(rng);
    return Chance(rng, 70) ? Mutate(rng, text) : text;
}

bool IsSpace(wchar_t ch) { return ch == L' ' || (ch >= L'\t' && ch <= L'\r'); }

// A version is four runs of digits joined by dots, each run possibly empty and wrapping round
// in 32 bits; the text may end after any dot, and anything after the fourth run is ignored.
Parts ModelVersion(const std::wstring& text)
{
    Parts parts = {};
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    for (int part = 0; part < 4 && i < text.size(); ++part)
    {
        for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i)
            parts[part] = parts[part] * 10 + (uint32_t)(text[i] - L'0');
        if (part < 3)
        {
            if (i == text.size() || text[i] != L'.')
                return Parts{};
            ++i;
        }
    }
    return parts;
}

struct ModelInfo
{
    bool bFound = false;
    Parts version = {};
    bool bList = false;
    std::wstring list;
};

ModelInfo ModelParse(const std::wstring& text, const std::wstring& key, uint32_t dwMajor)
{
    ModelInfo m;
    size_t from = 0;
    for (;;)
    {
        if (from == text.size())
        {
            m.bFound = true;
            return m;
        }
        size_t at = key.empty() ? std::wstring::npos : text.find(key, from);
        if (at == std::wstring::npos)
            return m;
        size_t begin = at + key.size();
        if (begin == text.size() || !IsSpace(text[begin]))
            return m;
        while (begin < text.size() && IsSpace(text[begin]))
            ++begin;
        size_t end = begin;
        while (end < text.size() && !IsSpace(text[end]))
            ++end;
        m.version = ModelVersion(text.substr(begin, end - begin));
        if (m.version == Parts{})
            return m;
        if (m.version[0] == dwMajor)
        {
            while (end < text.size() && IsSpace(text[end]))
                ++end;
            size_t listEnd = std::min(text.find_first_of(L"\r\n", end), text.size());
            if (listEnd == end)
                return m;
            m.bFound = m.bList = true;
            m.list = text.substr(end, listEnd - end);
            return m;
        }
        from = begin;
    }
}

Parts PartsOf(const BuildVersion& v) { return {v.dwMajor, v.dwMinor, v.dwRelease, v.dwBuild}; }

std::wstring TextOf(const Parts& parts)
{
    return std::to_wstring(parts[0]) + L"." + std::to_wstring(parts[1]) + L"." +
           std::to_wstring(parts[2]) + L"." + std::to_wstring(parts[3]);
}

std::string Shown(const std::wstring& text)
{
    std::string shown;
    for (wchar_t ch : text)
    {
        char sz[16];
        wsprintfA(sz, ch >= 32 && ch < 127 && ch != L'\\' ? "%c" : "\\x{%x}", (unsigned)ch);
        shown += sz;
    }
    return shown;
}

// The key field holds what fits of the key, the rest zero.
bool KeyHeld(const BuildInfo& info, const std::wstring& key)
{
    std::wstring field(info.szKey, cchBuildKey);
    std::wstring expected = key.substr(0, cchBuildKey - 1);
    return field == expected + std::wstring(cchBuildKey - expected.size(), L'\0');
}

std::string Compare(bool bFound, const BuildInfo& info, const ModelInfo& m,
                    const std::wstring& key)
{
    if (!KeyHeld(info, key))
        return "the key field holds " + Shown(std::wstring(info.szKey, cchBuildKey));
    if (bFound != m.bFound)
        return bFound ? "found a build line the model did not" : "missed the build line";
    // After a miss the version is not to be used, but it holds nothing it did not parse.
    if (!bFound && PartsOf(info.version) != Parts{} && PartsOf(info.version) != m.version)
        return "a miss left the version " + Shown(TextOf(PartsOf(info.version)));
    if (!bFound)
        return std::string();
    if (PartsOf(info.version) != m.version)
        return "version " + Shown(TextOf(PartsOf(info.version))) + " instead of " +
               Shown(TextOf(m.version));
    if ((info.UrlList() != NULL) != m.bList || (m.bList && info.UrlList() != m.list))
        return "URL list " + Shown(info.UrlList() != NULL ? info.UrlList() : L"<none>") +
               " instead of " + Shown(m.bList ? m.list : L"<none>");
    return std::string();
}

// The blocks that a heap still holds.
int BusyBlocks(HANDLE hHeap)
{
    int cBusy = 0;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(hHeap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            ++cBusy;
    return cBusy;
}

// Blocks come from a heap of the sweep's own, so that a block left behind shows.
class OwnHeap
{
public:
    OwnHeap() : m_hHeap(HeapCreate(0, 0, 0)), m_hSaved(g_hBlockHeap) { g_hBlockHeap = m_hHeap; }
    ~OwnHeap()
    {
        g_hBlockHeap = m_hSaved;
        HeapDestroy(m_hHeap);
    }
    HANDLE get() const { return m_hHeap; }

private:
    HANDLE m_hHeap;
    HANDLE m_hSaved;
};

std::string SweepText(Rng& rng, const std::wstring& text, const TempDir& dir, bool bFile)
{
    std::wstring key = Chance(rng, 90) ? aszKeys[0] : OneOf(rng, aszOddKeys);
    uint32_t dwMajor = Chance(rng, 80) ? 9 : OneOf(rng, adwOddMajors);
    ModelInfo m = ModelParse(text, key, dwMajor);

    BuildInfo info;
    InitBuildInfo(info);
    std::string fault = Compare(ParseBuildInformation(text.c_str(), key.c_str(), dwMajor, info),
                                info, m, key);
    ReleaseBuildInfo(info);
    if (!fault.empty())
        return "parse: " + fault;

    Parts parts = ModelVersion(text);
    BuildVersion version = ParseVersion(text.c_str());
    if (PartsOf(version) != parts)
        return "ParseVersion gave " + Shown(TextOf(PartsOf(version))) + " instead of " +
               Shown(TextOf(parts));
    for (const Parts& p : {parts, m.version})
    {
        HeapPtr<WCHAR> ptrFormatted(FormatVersion(MakeVersion(p[0], p[1], p[2], p[3])));
        if (ptrFormatted.get() == NULL || ptrFormatted.get() != TextOf(p) ||
            PartsOf(ParseVersion(ptrFormatted.get())) != p)
            return "FormatVersion and ParseVersion did not give back " + Shown(TextOf(p));
    }

    // The file is ANSI text; the characters beyond ASCII stay in the texts parsed directly.
    if (bFile && std::all_of(text.begin(), text.end(), [](wchar_t ch) { return ch < 128; }))
    {
        std::wstring path = dir.File(L"verinfo.txt");
        WriteFileBytes(path, std::string(text.begin(), text.end()));
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                               OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE)
            return "the file could not be opened";
        InitBuildInfo(info);
        fault = Compare(ReadBuildInformation(key.c_str(), dwMajor, info, h), info, m, key);
        ReleaseBuildInfo(info);
        CloseHandle(h);
        if (!fault.empty())
            return "read: " + fault;
    }
    return std::string();
}

} // namespace

TEST_CASE("sweep: random build-information texts hold to the parser's rules")
{
    const uint64_t qwSeed = SweepSeed();
    Rng rng(qwSeed);
    TempDir dir;
    OwnHeap heap;
    int cHeld = 0;
    std::string firstFault;
    for (int i = 0; i < cTexts; ++i)
    {
        std::wstring text = RandomText(rng);
        std::string fault = SweepText(rng, text, dir, i % nFileEvery == 0);
        if (fault.empty())
            ++cHeld;
        else if (firstFault.empty())
            firstFault = "text " + std::to_string(i) + " '" + Shown(text) + "': " + fault;
    }
    int cLeft = BusyBlocks(heap.get());
    MESSAGE("build-information texts: " << cTexts << " tried, " << cHeld << " held (seed "
                                        << qwSeed << ")");
    INFO("replay with SETUP_SWEEP_SEED=" << qwSeed << "; first fault: " << firstFault);
    CHECK(cHeld == cTexts);
    CHECK(cLeft == 0);
}
