// The engine check, the redistributable's command line and starting processes by full path.
#include <doctest.h>

#include "msi_engine.h"
#include "setup_base/system_library.h"

#include <string>

namespace {

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

std::wstring SystemFile(const wchar_t* pszName)
{
    wchar_t sz[MAX_PATH];
    REQUIRE(GetSystemFilePath(pszName, sz, MAX_PATH));
    return sz;
}

} // namespace

TEST_CASE("the redistributable is started by its full path, quoted on its command line")
{
    struct { const wchar_t* dir; DWORD platform; const char* application; const char* command; }
    cases[] = {
        {L"C:\\My Setup", VER_PLATFORM_WIN32_NT, "C:\\My Setup\\instmsiw.exe",
         "\"C:\\My Setup\\instmsiw.exe\" /q"},
        {L"C:\\My Setup", VER_PLATFORM_WIN32_WINDOWS, "C:\\My Setup\\instmsia.exe",
         "\"C:\\My Setup\\instmsia.exe\" /q"},
        {L"D:", 0, "D:\\instmsia.exe", "\"D:\\instmsia.exe\" /q"},
        {L"E:\\", VER_PLATFORM_WIN32_NT, "E:\\instmsiw.exe", "\"E:\\instmsiw.exe\" /q"},   // a root
    };
    for (const auto& c : cases)
    {
        wchar_t szApplication[cchEngineCommand];
        wchar_t szCommand[cchEngineCommand];
        REQUIRE(ComposeEngineCommand(c.dir, c.platform, szApplication, szCommand,
                                     cchEngineCommand));
        CHECK(Narrow(szApplication) == c.application);
        CHECK(Narrow(szCommand) == c.command);
    }
}

TEST_CASE("a directory too long for the redistributable's command line refuses the update")
{
    // The quotes, the name and the switch add 18 characters to the directory.
    wchar_t szApplication[cchEngineCommand];
    wchar_t szCommand[cchEngineCommand];
    std::wstring fits = L"C:\\" + std::wstring(241 - 3, L'd');
    CHECK(ComposeEngineCommand(fits.c_str(), VER_PLATFORM_WIN32_NT, szApplication, szCommand,
                               cchEngineCommand));
    CHECK(lstrlenW(szCommand) == (int)cchEngineCommand - 1);

    std::wstring longer = fits + L"d";
    CHECK_FALSE(ComposeEngineCommand(longer.c_str(), VER_PLATFORM_WIN32_NT, szApplication,
                                     szCommand, cchEngineCommand));
    CHECK(szCommand[0] == L'\0');
    CHECK(szApplication[0] == L'\0');
}

TEST_CASE("system file paths are bounded")
{
    wchar_t szSystem[MAX_PATH];
    UINT cchSystem = GetSystemDirectoryW(szSystem, MAX_PATH);
    CHECK(SystemFile(L"msi.dll") == std::wstring(szSystem) + L"\\msi.dll");

    // Exactly room for the directory, the backslash, "msi.dll" and the terminator.
    wchar_t sz[MAX_PATH];
    CHECK(GetSystemFilePath(L"msi.dll", sz, cchSystem + 9));
    CHECK_FALSE(GetSystemFilePath(L"msi.dll", sz, cchSystem + 8));
    CHECK(sz[0] == L'\0');
    CHECK_FALSE(GetSystemFilePath(L"msi.dll", sz, 3));
}

TEST_CASE("Wine's own engine is usable")
{
    CHECK(CheckMsiVersion());
}

TEST_CASE("RunProcess starts the application it is given, whatever the command line says")
{
    std::wstring cmd = SystemFile(L"cmd.exe");
    wchar_t szCommand[] = L"msiexec /c exit 5";
    DWORD dwExitCode = 1;
    CHECK(RunProcess(cmd.c_str(), szCommand, NULL, true, &dwExitCode));
    CHECK(dwExitCode == 5);

    wchar_t szOther[] = L"cmd /c exit 3";
    CHECK_FALSE(RunProcess(L"C:\\no such directory\\cmd.exe", szOther, NULL, true, &dwExitCode));
    CHECK(dwExitCode == 5);
}

TEST_CASE("after RestrictDllSearch a DLL beside the executable is no longer found by name")
{
    // fake_wininet_partial.dll lies beside unit_tests.exe and is found there by default.
    HMODULE hBefore = LoadLibraryW(L"fake_wininet_partial.dll");
    REQUIRE(hBefore != NULL);
    FreeLibrary(hBefore);

    RestrictDllSearch();

    HMODULE hAfter = LoadLibraryW(L"fake_wininet_partial.dll");
    CHECK(hAfter == NULL);
    if (hAfter != NULL)
        FreeLibrary(hAfter);
    HMODULE hSystem = LoadLibraryW(L"msi.dll");
    CHECK(hSystem != NULL);
    if (hSystem != NULL)
        FreeLibrary(hSystem);
}
