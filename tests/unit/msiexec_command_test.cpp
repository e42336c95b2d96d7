// The composed msiexec lines, letter for letter, their bound, and the install log name.
#include <doctest.h>

#include "msi_engine.h"
#include "msiexec_command.h"
#include "trace_capture.h"

#include <msiquery.h>

#include <string>
#include <vector>

namespace {

const wchar_t* const pszPackage = L"vlm.tch.msi";

struct Options
{
    bool bSilent = false;
    bool bAdminInstall = false;
    bool bUninstall = false;
    const wchar_t* pszProductCode = nullptr;
    const wchar_t* pszLogPath = nullptr;
    const wchar_t* pszMsiexecArgs = nullptr;
    std::wstring properties;
};

SetupOptions Make(Options& o)
{
    SetupOptions options;
    ClearOptions(&options, NULL, 0);
    options.pszProperties = &o.properties[0];
    options.cchProperties = (DWORD)o.properties.size() + 1;
    options.bSilent = o.bSilent;
    options.bAdminInstall = o.bAdminInstall;
    options.bUninstall = o.bUninstall;
    options.pszProductCode = o.pszProductCode;
    options.pszLogPath = o.pszLogPath;
    options.pszMsiexecArgs = o.pszMsiexecArgs;
    return options;
}

std::wstring Compose(Options o, bool bTail = true)
{
    SetupOptions options = Make(o);
    wchar_t sz[cchMsiexecCommand];
    bool bFits = o.bUninstall ? ComposeUninstallCommand(options, sz, cchMsiexecCommand)
                              : ComposeInstallCommand(options, pszPackage, bTail, sz,
                                                      cchMsiexecCommand);
    return bFits ? std::wstring(sz) : std::wstring(L"<does not fit>");
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

struct ComposeCase
{
    const char* name;
    Options options;
    bool bTail;
    const wchar_t* line;
};

Options With(bool bSilent, bool bAdmin, bool bUninstall, const wchar_t* pszCode,
             const wchar_t* pszLog, const wchar_t* pszArgs, const wchar_t* pszProperties)
{
    Options o;
    o.bSilent = bSilent;
    o.bAdminInstall = bAdmin;
    o.bUninstall = bUninstall;
    o.pszProductCode = pszCode;
    o.pszLogPath = pszLog;
    o.pszMsiexecArgs = pszArgs;
    o.properties = pszProperties;
    return o;
}

} // namespace

TEST_CASE("composed command lines")
{
    const wchar_t* log = L"C:\\T\\tw-install-2009-08-05-14-03-09.log";
    const ComposeCase cases[] = {
        {"no options", With(false, false, false, nullptr, log, nullptr, L""), true,
         L"msiexec /i \"vlm.tch.msi\" REINSTALL=\"ALL\" REINSTALLMODE=\"voums\" /l*v "
         L"\"C:\\T\\tw-install-2009-08-05-14-03-09.log\""},
        {"silent, property, arguments, log in this order",
         With(true, false, false, nullptr, L"C:\\i.log", L"/norestart", L" A=\"1\""), true,
         L"msiexec /i \"vlm.tch.msi\" REINSTALL=\"ALL\" REINSTALLMODE=\"voums\" /qn A=\"1\" "
         L"/norestart /l*v \"C:\\i.log\""},
        {"administrative install", With(false, true, false, nullptr, log, nullptr, L""), true,
         L"msiexec /a \"vlm.tch.msi\" REINSTALL=\"ALL\" REINSTALLMODE=\"voums\" /l*v "
         L"\"C:\\T\\tw-install-2009-08-05-14-03-09.log\""},
        {"uninstall", With(true, false, true, L"{ABC}", L"u.log", nullptr, L""), true,
         L"msiexec /x{ABC} /qn /l*v \"u.log\""},
        {"uninstall with an empty code",
         With(true, false, true, L"", L"", L"/q", L" A=\"1\""), true,
         L"msiexec /x /qn A=\"1\" /q /l*v \"\""},
        {"admin flag has no effect on an uninstall",
         With(false, true, true, L"{A}", nullptr, nullptr, L""), true, L"msiexec /x{A}"},
        {"an empty log path is still a log option",
         With(false, false, false, nullptr, L"", nullptr, L""), true,
         L"msiexec /i \"vlm.tch.msi\" REINSTALL=\"ALL\" REINSTALLMODE=\"voums\" /l*v \"\""},
        {"empty arguments leave one trailing space",
         With(false, false, false, nullptr, nullptr, L"", L""), true,
         L"msiexec /i \"vlm.tch.msi\" REINSTALL=\"ALL\" REINSTALLMODE=\"voums\" "},
        {"no log option when none could be made",
         With(true, false, false, nullptr, nullptr, nullptr, L""), true,
         L"msiexec /i \"vlm.tch.msi\" REINSTALL=\"ALL\" REINSTALLMODE=\"voums\" /qn"},
        {"a first install closes the quote without REINSTALL",
         With(true, false, false, nullptr, L"C:\\i.log", L"/norestart", L" A=\"1\""), false,
         L"msiexec /i \"vlm.tch.msi\" /qn A=\"1\" /norestart /l*v \"C:\\i.log\""},
    };
    for (const ComposeCase& c : cases)
    {
        INFO(c.name);
        CHECK(Narrow(Compose(c.options, c.bTail)) == Narrow(c.line));
    }
}

TEST_CASE("the longest line that fits is composed; one character more is refused")
{
    // Head (12), package (11), tail (39) and the separator of the arguments take 63 characters.
    std::wstring args(cchMsiexecCommand - 1 - 63, L'x');
    Options o = With(false, false, false, nullptr, nullptr, args.c_str(), L"");
    std::wstring line = Compose(o);
    CHECK(line.size() == cchMsiexecCommand - 1);

    std::wstring longer = args + L"x";
    o.pszMsiexecArgs = longer.c_str();
    CHECK(Narrow(Compose(o)) == "<does not fit>");

    std::wstring log(cchMsiexecCommand, L'l');
    Options u = With(false, false, true, L"{A}", log.c_str(), nullptr, L"");
    CHECK(Narrow(Compose(u)) == "<does not fit>");
}

TEST_CASE("a refused line leaves an empty buffer, not half a line")
{
    wchar_t sz[16];
    Options o = With(false, false, false, nullptr, nullptr, nullptr, L"");
    SetupOptions options = Make(o);
    CHECK_FALSE(ComposeInstallCommand(options, pszPackage, true, sz, 16));
    CHECK(sz[0] == L'\0');
}

TEST_CASE("FormatDigits keeps the last digits, zero-padded")
{
    struct { DWORD n; int width; const wchar_t* text; } cases[] = {
        {2009, 4, L"2009"}, {5, 2, L"05"}, {0, 3, L"000"}, {7, 1, L"7"},
        {12345, 4, L"2345"}, {123, 2, L"23"}, {7, 0, L""}, {7, 5, L""}, {7, -1, L""},
    };
    for (const auto& c : cases)
    {
        wchar_t sz[5];
        CAPTURE(c.n);
        CAPTURE(c.width);
        CHECK(Narrow(FormatDigits(c.n, c.width, sz)) == Narrow(c.text));
    }
}

TEST_CASE("install log names")
{
    SYSTEMTIME st = {};
    st.wYear = 2009; st.wMonth = 8; st.wDay = 5; st.wHour = 4; st.wMinute = 3; st.wSecond = 9;
    wchar_t sz[cchInstallLog];
    REQUIRE(FormatInstallLogPath(sz, cchInstallLog, L"C:\\T\\", false, st));
    CHECK(Narrow(sz) == "C:\\T\\tw-install-2009-08-05-04-03-09.log");
    REQUIRE(FormatInstallLogPath(sz, cchInstallLog, L"C:\\T\\", true, st));
    CHECK(Narrow(sz) == "C:\\T\\tw-uninstall-2009-08-05-04-03-09.log");

    // The name adds 34 characters (36 for an uninstall) to the temporary path.
    struct { size_t cchTemp; bool bUninstall; bool bFits; } bounds[] = {
        {225, false, true}, {226, false, false}, {223, true, true}, {224, true, false},
    };
    for (const auto& b : bounds)
    {
        CAPTURE(b.cchTemp);
        std::wstring temp(b.cchTemp - 1, L't');
        temp += L"\\";
        CHECK(FormatInstallLogPath(sz, cchInstallLog, temp.c_str(), b.bUninstall, st) == b.bFits);
        CHECK((b.bFits ? lstrlenW(sz) > 0 : sz[0] == L'\0'));
    }
}

TEST_CASE("the default log lies in the temporary directory")
{
    wchar_t szTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    wchar_t sz[cchInstallLog];
    REQUIRE(MakeInstallLogPath(sz, true) == sz);
    std::wstring log = sz;
    CHECK(log.rfind(std::wstring(szTemp) + L"tw-uninstall-", 0) == 0);
    CHECK(log.size() == (size_t)lstrlenW(szTemp) + 36);
}

namespace {

// Writes a package that holds nothing but a Property table with the given rows, through the
// system's own msi.dll: enough for the product code to be read from it.
bool MakePackage(const std::wstring& path, const std::vector<std::wstring>& inserts)
{
    typedef UINT (WINAPI *OpenDatabase)(LPCWSTR, LPCWSTR, MSIHANDLE*);
    typedef UINT (WINAPI *DatabaseOpenView)(MSIHANDLE, LPCWSTR, MSIHANDLE*);
    typedef UINT (WINAPI *ViewExecute)(MSIHANDLE, MSIHANDLE);
    typedef UINT (WINAPI *DatabaseCommit)(MSIHANDLE);
    typedef UINT (WINAPI *CloseHandle)(MSIHANDLE);
    HMODULE hMsi = LoadLibraryW(L"msi.dll");
    if (hMsi == NULL)
        return false;
    auto pfnOpen = (OpenDatabase)(void*)GetProcAddress(hMsi, "MsiOpenDatabaseW");
    auto pfnView = (DatabaseOpenView)(void*)GetProcAddress(hMsi, "MsiDatabaseOpenViewW");
    auto pfnExecute = (ViewExecute)(void*)GetProcAddress(hMsi, "MsiViewExecute");
    auto pfnCommit = (DatabaseCommit)(void*)GetProcAddress(hMsi, "MsiDatabaseCommit");
    auto pfnClose = (CloseHandle)(void*)GetProcAddress(hMsi, "MsiCloseHandle");
    bool bMade = false;
    MSIHANDLE hDatabase = 0;
    if (pfnOpen && pfnView && pfnExecute && pfnCommit && pfnClose &&
        pfnOpen(path.c_str(), MSIDBOPEN_CREATE, &hDatabase) == ERROR_SUCCESS)
    {
        std::vector<std::wstring> queries = {
            L"CREATE TABLE `Property` (`Property` CHAR(72) NOT NULL, "
            L"`Value` LONGCHAR NOT NULL PRIMARY KEY `Property`)"};
        queries.insert(queries.end(), inserts.begin(), inserts.end());
        bMade = true;
        for (const std::wstring& query : queries)
        {
            MSIHANDLE hView = 0;
            bMade = bMade && pfnView(hDatabase, query.c_str(), &hView) == ERROR_SUCCESS &&
                    pfnExecute(hView, 0) == ERROR_SUCCESS;
            if (hView != 0)
                pfnClose(hView);
        }
        bMade = bMade && pfnCommit(hDatabase) == ERROR_SUCCESS;
        pfnClose(hDatabase);
    }
    FreeLibrary(hMsi);
    return bMade;
}

std::wstring PropertyRow(const wchar_t* pszName, const wchar_t* pszValue)
{
    return std::wstring(L"INSERT INTO `Property` (`Property`, `Value`) VALUES ('") + pszName +
           L"', '" + pszValue + L"')";
}

} // namespace

TEST_CASE("the reinstall tail: not for a product that is not installed, kept where that can't "
          "be found out")
{
    // A product code that nothing on this machine installed. That an installed product gets the
    // tail is seen end to end, where a real package is installed first.
    const wchar_t* pszNotInstalled = L"{0E7C5B1D-2F3A-4C8E-9B6D-7A1F3E5C9D20}";
    TempDir dir;
    REQUIRE(MakePackage(dir.File(L"absent.msi"), {PropertyRow(L"ProductCode", pszNotInstalled)}));
    REQUIRE(MakePackage(dir.File(L"nocode.msi"), {PropertyRow(L"ProductName", L"Velmora")}));
    WriteFileBytes(dir.File(L"notapackage.msi"), "not a package");
    std::wstring absolute = dir.File(L"absent.msi");
    std::wstring longName(MAX_PATH, L'n');

    struct Case
    {
        const char* pszName;
        std::wstring exeDir;
        std::wstring package;
        bool bTail;
    };
    const Case cases[] = {
        {"product not installed, package beside the exe", dir.Path(), L"absent.msi", false},
        {"product not installed, package by full path", L"C:\\no such directory", absolute,
         false},
        {"no product code in the package", dir.Path(), L"nocode.msi", true},
        {"a file that is no package", dir.Path(), L"notapackage.msi", true},
        {"no package there", L"C:\\no such directory", L"vlm.tch.msi", true},
        {"no package at the full path", dir.Path(), L"C:\\no such directory\\vlm.tch.msi", true},
        {"a path too long", L"C:\\", longName, true},
    };
    for (const Case& c : cases)
    {
        INFO(c.pszName);
        CHECK(NeedsReinstallTail(c.exeDir.c_str(), c.package.c_str()) == c.bTail);
    }
}
