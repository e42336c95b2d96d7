// Random command lines through splitting, option interpretation and composition, held against
// a small model of the rules written afresh here, with guard regions around every buffer the
// routines write into. SETUP_SWEEP_SEED replays or varies a run.
#include <doctest.h>
#include "sweep_seed.h"

#include "msiexec_command.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

const int cLines = 100000;
const int cchLineMax = 32767;

// A pattern that no input holds, so any character of it that changes was written.
const wchar_t chGuard = L'\xFDD0';
const size_t cchGuard = 16;

class Guarded
{
public:
    explicit Guarded(size_t cch) : m_chars(cch + 2 * cchGuard, chGuard) {}
    wchar_t* get() { return m_chars.data() + cchGuard; }
    bool Intact() const
    {
        for (size_t i = 0; i < cchGuard; ++i)
            if (m_chars[i] != chGuard || m_chars[m_chars.size() - 1 - i] != chGuard)
                return false;
        return true;
    }

private:
    std::vector<wchar_t> m_chars;
};

using Rng = std::mt19937_64;

size_t Pick(Rng& rng, size_t n) { return (size_t)(rng() % n); }
bool Chance(Rng& rng, int percent) { return (int)Pick(rng, 100) < percent; }

// Quotes, backslashes and spaces drive the splitting; the rest is what options are made of.
const wchar_t szAlphabet[] = L"  \"\"\\\\\t=/-?hHsSaAxXpPlLvVzQ{}:.;019\x00e9\x4e2d";
const wchar_t szLetters[] = L"?hHsSaAxXpPlLvVzQ";

wchar_t AnyChar(Rng& rng) { return szAlphabet[Pick(rng, sizeof(szAlphabet) / 2 - 1)]; }

void AppendRandom(Rng& rng, std::wstring& text, size_t cchMax)
{
    for (size_t n = Pick(rng, cchMax + 1); n > 0; --n)
        text += AnyChar(rng);
}

std::wstring RandomText(Rng& rng, size_t cchMax)
{
    std::wstring text;
    AppendRandom(rng, text, cchMax);
    return text;
}

// Most lines are short; some run to the limit of a process command line.
std::wstring RandomLine(Rng& rng)
{
    size_t cchTarget = Chance(rng, 80)   ? Pick(rng, 41)
                       : Chance(rng, 90) ? Pick(rng, 1025)
                       : Chance(rng, 90) ? Pick(rng, cchLineMax + 1) : cchLineMax;
    std::wstring line;
    line.reserve(cchTarget + 320);
    if (Chance(rng, 30))
        line = Chance(rng, 50) ? L"\"C:\\Setup Dir\\setup.exe\" " : L"setup ";
    while (line.size() < cchTarget)
    {
        switch (Pick(rng, 6))
        {
        case 0:
            line += Chance(rng, 50) ? L'/' : L'-';
            line += szLetters[Pick(rng, sizeof(szLetters) / 2 - 1)];
            break;
        case 1:
            line.append(1 + Pick(rng, Chance(rng, 90) ? 4 : 300), AnyChar(rng));
            break;
        case 2:
            line += L"/p";
            AppendRandom(rng, line, 4);
            line += L'=';
            AppendRandom(rng, line, 6);
            line += L' ';
            break;
        case 3:
            line.append(1 + Pick(rng, 3), L'\\');
            line += L'"';
            break;
        default:
            line += AnyChar(rng);
            break;
        }
    }
    line.resize(cchTarget);
    return line;
}

// The splitting rules, read with one character of look-ahead after a backslash in quotes
// instead of an escape state.
std::wstring ModelSplit(const std::wstring& line)
{
    std::wstring out;
    out.reserve(line.size() + 1);
    bool bQuoted = false;
    bool bInToken = false;
    for (size_t i = 0; i < line.size(); ++i)
    {
        wchar_t ch = line[i];
        if (bQuoted)
        {
            if (ch == L'"')
                bQuoted = false;
            else if (ch != L'\\')
                out += ch;
            else if (i + 1 < line.size())
            {
                wchar_t chNext = line[++i];
                if (chNext != L'"')
                    out += L'\\';
                out += chNext;
            }
        }
        else if (ch == L' ')
        {
            if (bInToken)
                out += L'\0';
            bInToken = false;
        }
        else
        {
            bInToken = true;
            if (ch == L'"')
                bQuoted = true;
            else
                out += ch;
        }
    }
    out += L'\0';
    return out;
}

struct ModelOptions
{
    bool bHelp = false, bNoRoom = false, bSilent = false, bAdmin = false, bUninstall = false;
    std::optional<std::wstring> code, log, args;
    std::wstring properties;
};

// The option table over the model's tokens, with a properties string of cchProperties
// characters, terminator included; interpretation ends at help or at a property that
// does not fit whole.
ModelOptions ModelInterpret(const std::vector<std::wstring_view>& tokens, size_t cchProperties)
{
    ModelOptions m;
    for (std::wstring_view token : tokens)
    {
        if (token.size() < 2 || (token[0] != L'-' && token[0] != L'/'))
            continue;
        std::wstring value(token.substr(2));
        wchar_t chLetter = token[1];
        if (chLetter >= L'A' && chLetter <= L'Z')
            chLetter += L'a' - L'A';
        switch (chLetter)
        {
        case L'?': case L'h': m.bHelp = true; return m;
        case L's': m.bSilent = true; break;
        case L'a': m.bAdmin = true; break;
        case L'x': m.bUninstall = true; m.code = value; break;
        case L'l': m.log = value; break;
        case L'v': m.args = value; break;
        case L'p':
        {
            size_t equals = value.find(L'=');
            if (equals == std::wstring::npos)
                break;
            std::wstring property = L" " + value.substr(0, equals) + L"=\"" +
                                    value.substr(equals + 1) + L"\"";
            if (m.properties.size() + property.size() >= cchProperties)
            {
                m.bNoRoom = true;
                return m;
            }
            m.properties += property;
            break;
        }
        }
    }
    return m;
}

std::wstring ModelCommand(const ModelOptions& m, bool bUninstall, const std::wstring& package,
                          bool bTail, const std::optional<std::wstring>& log)
{
    std::wstring line;
    if (bUninstall)
        line = L"msiexec /x" + m.code.value_or(L"");
    else
        line = (m.bAdmin ? L"msiexec /a \"" : L"msiexec /i \"") + package +
               (bTail ? L"\" REINSTALL=\"ALL\" REINSTALLMODE=\"voums\"" : L"\"");
    if (m.bSilent)
        line += L" /qn";
    line += m.properties;
    if (m.args)
        line += L" " + *m.args;
    if (log)
        line += L" /l*v \"" + *log + L"\"";
    return line;
}

std::wstring Digits(unsigned n, int width)
{
    std::wstring digits = std::to_wstring(n);
    digits = std::wstring(width, L'0') + digits;
    return digits.substr(digits.size() - width);
}

std::wstring ModelLogName(const std::wstring& tempPath, bool bUninstall, const SYSTEMTIME& st)
{
    return tempPath + (bUninstall ? L"tw-uninstall-" : L"tw-install-") + Digits(st.wYear, 4) +
           L"-" + Digits(st.wMonth, 2) + L"-" + Digits(st.wDay, 2) + L"-" +
           Digits(st.wHour, 2) + L"-" + Digits(st.wMinute, 2) + L"-" +
           Digits(st.wSecond, 2) + L".log";
}

std::optional<std::wstring> Text(LPCWSTR psz)
{
    return psz != NULL ? std::optional<std::wstring>(psz) : std::nullopt;
}

// Printable, and short enough for a failure message.
std::string Shown(const std::wstring& text)
{
    std::string shown;
    for (size_t i = 0; i < text.size() && i < 300; ++i)
    {
        wchar_t ch = text[i];
        char sz[16];
        wsprintfA(sz, ch >= 32 && ch < 127 && ch != L'\\' ? "%c" : "\\x{%x}", (unsigned)ch);
        shown += sz;
    }
    return text.size() > 300 ? shown + "... (" + std::to_string(text.size()) + " chars)" : shown;
}

// One line through the whole chain; an empty result when everything held, else what did not.
std::string Sweep(Rng& rng, const std::wstring& line)
{
    const std::wstring split = ModelSplit(line);
    const size_t cchTokens = TokenBufferCapacity((DWORD)line.size());
    Guarded tokens(cchTokens);
    int count = SplitCommandLine(line.c_str(), tokens.get());
    if (!tokens.Intact())
        return "the split wrote outside the token buffer";
    if (count != (int)split.size() || std::wstring(tokens.get(), split.size()) != split)
        return "the split wrote " + Shown(std::wstring(tokens.get(), count)) + " instead of " +
               Shown(split);
    if (!std::all_of(tokens.get() + count, tokens.get() + cchTokens,
                     [](wchar_t ch) { return ch == chGuard; }))
        return "the split wrote past its token count";

    // Every terminator closes one token, the final one included.
    std::vector<std::wstring_view> expected;
    std::vector<size_t> starts;
    for (size_t start = 0, end; start < split.size(); start = end + 1)
    {
        end = split.find(L'\0', start);
        starts.push_back(start);
        expected.push_back(std::wstring_view(split).substr(start, end - start));
    }

    const bool bFullProperties = Chance(rng, 85);
    const size_t cchFull = PropertiesCapacity((DWORD)line.size());
    const size_t cchProperties = bFullProperties ? cchFull : 1 + Pick(rng, cchFull);
    Guarded properties(cchProperties);
    SetupOptions options;
    ClearOptions(&options, properties.get(), (DWORD)cchProperties);
    TokenCursor cursor = {tokens.get(), count};
    size_t cYielded = 0;
    OptionResult stop = OptionTaken;
    for (LPWSTR pszToken = GetNextToken(&cursor); pszToken != NULL;
         pszToken = GetNextToken(&cursor), ++cYielded)
    {
        if (cYielded >= starts.size() || pszToken != tokens.get() + starts[cYielded])
            return "token " + std::to_string(cYielded) + " is not where the split put it";
        if (stop != OptionTaken)
            continue;
        stop = InterpretOption(pszToken, &options);
        if (!tokens.Intact() || !properties.Intact())
            return "interpreting token " + std::to_string(cYielded) + " wrote out of bounds";
    }
    if (cYielded != starts.size() || cursor.cchLeft != 0)
        return std::to_string(cYielded) + " tokens yielded instead of " +
               std::to_string(starts.size());

    ModelOptions m = ModelInterpret(expected, cchProperties);
    if (bFullProperties && m.bNoRoom)
        return "the properties string is too small for this line";
    if (options.bSilent != m.bSilent || options.bAdminInstall != m.bAdmin ||
        options.bUninstall != m.bUninstall || Text(options.pszProductCode) != m.code ||
        Text(options.pszLogPath) != m.log || Text(options.pszMsiexecArgs) != m.args ||
        options.pszProperties != m.properties)
        return "options differ; properties " + Shown(options.pszProperties) + " instead of " +
               Shown(m.properties);
    if ((stop == OptionHelp) != m.bHelp || (stop == OptionNoRoom) != m.bNoRoom)
        return "interpretation ended with " + std::to_string(stop) + ", not as the model did";

    // Without /l the run names a default log; its temporary path may be too long for it.
    std::optional<std::wstring> log = m.log;
    Guarded installLog(cchInstallLog);
    if (!log && Chance(rng, 50))
    {
        std::wstring tempPath = Chance(rng, 70) ? L"C:\\users\\a\\Temp\\" : RandomText(rng, 300);
        SYSTEMTIME st = {};
        st.wYear = (WORD)rng(); st.wMonth = (WORD)rng(); st.wDay = (WORD)Pick(rng, 100);
        st.wHour = (WORD)Pick(rng, 100); st.wMinute = (WORD)rng(); st.wSecond = (WORD)rng();
        bool bUninstallLog = Chance(rng, 50);
        std::wstring name = ModelLogName(tempPath, bUninstallLog, st);
        bool bFits = FormatInstallLogPath(installLog.get(), cchInstallLog, tempPath.c_str(),
                                          bUninstallLog, st);
        if (!installLog.Intact())
            return "the log name was written out of bounds";
        if (bFits != (name.size() < cchInstallLog) ||
            installLog.get() != (bFits ? name : std::wstring()))
            return "log name " + Shown(installLog.get()) + " instead of " + Shown(name);
        if (bFits)
        {
            options.pszLogPath = installLog.get();
            log = name;
        }
    }

    std::wstring package = Chance(rng, 70) ? L"vlm.tch.msi" : RandomText(rng, 400);
    bool bTail = Chance(rng, 80);
    DWORD cchCommand = Chance(rng, 90) ? cchMsiexecCommand : (DWORD)Pick(rng, 1100);
    for (bool bUninstall : {false, true})
    {
        Guarded command(cchCommand);
        bool bFits = bUninstall ? ComposeUninstallCommand(options, command.get(), cchCommand)
                                : ComposeInstallCommand(options, package.c_str(), bTail,
                                                        command.get(), cchCommand);
        if (!command.Intact())
            return "the command line was written out of bounds";
        std::wstring model = ModelCommand(m, bUninstall, package, bTail, log);
        if (bFits != (model.size() < cchCommand))
            return "composition says " + std::string(bFits ? "fits" : "does not fit") +
                   " for a line of " + std::to_string(model.size()) + " characters";
        if (bFits ? command.get() != model : (cchCommand > 0 && command.get()[0] != L'\0'))
            return "composed " + Shown(bFits ? command.get() : L"a cut line") + " instead of " +
                   Shown(model);
    }
    return std::string();
}

} // namespace

TEST_CASE("sweep: random command lines hold to the splitting, option and composition rules")
{
    const uint64_t qwSeed = SweepSeed();
    Rng rng(qwSeed);
    int cHeld = 0;
    std::string firstFault;
    for (int i = 0; i < cLines; ++i)
    {
        std::wstring line = RandomLine(rng);
        std::string fault = Sweep(rng, line);
        if (fault.empty())
            ++cHeld;
        else if (firstFault.empty())
            firstFault = "line " + std::to_string(i) + " '" + Shown(line) + "': " + fault;
    }
    MESSAGE("command lines: " << cLines << " tried, " << cHeld << " held (seed " << qwSeed << ")");
    INFO("replay with SETUP_SWEEP_SEED=" << qwSeed << "; first fault: " << firstFault);
    CHECK(cHeld == cLines);
}
