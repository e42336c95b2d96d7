// Engine check, engine redistributable and process launch. No trace lines of their own: the
// run brackets the whole engine step.
#include "msi_engine.h"
#include "setup_base/msi_database.h"
#include "setup_base/setup_base.h"
#include "setup_base/paths.h"
#include "setup_base/system_library.h"

#include <msi.h>
#include <shlwapi.h>

namespace {

const DWORD cbDllVersionInfo = 20;
const DWORD dwMinimumMsiMajor = 2;

typedef BOOL WINAPI SetDefaultDllDirectoriesFn(DWORD);
typedef HRESULT CALLBACK DllGetVersionFn(DLLVERSIONINFO*);

} // namespace

void RestrictDllSearch()
{
    // Looked up at run time: systems before the KB2533623 update lack the export, and there
    // the setup runs as before.
    HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
    EntryPoint<SetDefaultDllDirectoriesFn> setDefault;
    if (hKernel != NULL
        && BindEntryPoints(hKernel, "SetDefaultDllDirectories\0", setDefault.rgpfnSlots) == NULL)
        setDefault.pfn(LOAD_LIBRARY_SEARCH_SYSTEM32);
    else
        SetDllDirectoryW(L"");    // at least the current directory leaves the search
}

bool CheckMsiVersion()
{
    EntryPoint<DllGetVersionFn> getVersion;
    HMODULE hMsi = BindSystemLibrary(L"msi.dll", "DllGetVersion\0", getVersion.rgpfnSlots);
    if (hMsi == NULL)
        return false;
    DLLVERSIONINFO dvi;
    ZeroBytes(&dvi, sizeof(dvi));
    dvi.cbSize = cbDllVersionInfo;
    bool bUsable = getVersion.pfn(&dvi) == S_OK && dvi.dwMajorVersion >= dwMinimumMsiMajor;
    FreeLibrary(hMsi);
    return bUsable;
}

bool ComposeEngineCommand(LPCWSTR pszExeDir, DWORD dwPlatformId, LPWSTR pszApplication,
                          LPWSTR pszEngineCommand, DWORD cchBuffers)
{
    LPCWSTR pszName = dwPlatformId == VER_PLATFORM_WIN32_NT ? L"instmsiw.exe" : L"instmsia.exe";
    pszApplication[0] = L'\0';
    pszEngineCommand[0] = L'\0';
    // Quoted: an unquoted 'C:\My Setup\instmsiw.exe' would let C:\My.exe run instead.
    bool bFits = AppendBounded(pszApplication, cchBuffers, pszExeDir) &&
                 AppendPathPart(pszApplication, cchBuffers, pszName) &&
                 AppendBounded(pszEngineCommand, cchBuffers, L"\"") &&
                 AppendBounded(pszEngineCommand, cchBuffers, pszApplication) &&
                 AppendBounded(pszEngineCommand, cchBuffers, L"\" /q");
    if (!bFits)
    {
        pszApplication[0] = L'\0';
        pszEngineCommand[0] = L'\0';
    }
    return bFits;
}

bool UpdateMsiEngine(LPCWSTR pszExeDir, LPWSTR pszEngineCommand, DWORD* pdwExitCode)
{
    OSVERSIONINFOW osvi;
    ZeroBytes(&osvi, sizeof(osvi));
    osvi.dwOSVersionInfoSize = sizeof(osvi);
    GetVersionExW(&osvi);

    WCHAR szApplication[cchEngineCommand];
    *pdwExitCode = 0;
    if (!ComposeEngineCommand(pszExeDir, osvi.dwPlatformId, szApplication, pszEngineCommand,
                              cchEngineCommand))
        return false;
    return RunProcess(szApplication, pszEngineCommand, pszExeDir, true, pdwExitCode);
}

bool RunProcess(LPCWSTR pszApplication, LPWSTR pszCommandLine, LPCWSTR pszDirectory, bool bWait,
                DWORD* pdwExitCode)
{
    STARTUPINFOW si;
    ZeroBytes(&si, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    ZeroBytes(&pi, sizeof(pi));
    if (!CreateProcessW(pszApplication, pszCommandLine, NULL, NULL, FALSE, 0, NULL, pszDirectory,
                        &si, &pi))
        return false;
    if (bWait)
    {
        // A wait or an exit code that fails must not read as success (0): it gives the error.
        bool bEnded = WaitForSingleObject(pi.hProcess, INFINITE) == WAIT_OBJECT_0;
        DWORD dwExitCode = 0;
        if (!bEnded || !GetExitCodeProcess(pi.hProcess, &dwExitCode))
        {
            DWORD dwError = GetLastError();
            dwExitCode = dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
            TracePrint("*** Run process: can't get the exit code: %d ***", (int)dwExitCode);
        }
        if (pdwExitCode != NULL)
            *pdwExitCode = dwExitCode;
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Whether the package's product is installed already, asked of msi.dll.

bool NeedsReinstallTail(LPCWSTR pszExeDir, LPCWSTR pszMsiPackage)
{
    WCHAR szPackagePath[MAX_PATH];
    if (!MakePackagePath(pszExeDir, pszMsiPackage, szPackagePath, MAX_PATH))
        return true;
    MsiLibrary msi;
    if (!LoadMsiLibrary(msi))
        return true;
    WCHAR szProductCode[cchPropertyValue];
    ZeroBytes(szProductCode, sizeof(szProductCode));
    LPCWSTR pszName = L"ProductCode";
    LPWSTR pszValue = szProductCode;
    bool bTail = !ReadPackageProperties(msi, szPackagePath, &pszName, &pszValue, 1)
              || msi.api.MsiQueryProductStateW(szProductCode) != INSTALLSTATE_UNKNOWN;
    FreeMsiLibrary(msi);
    return bTail;
}
