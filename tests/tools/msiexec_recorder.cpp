// Takes the place of msiexec.exe in a throw-away Wine prefix: appends the exact command line it
// was given to the file named by MSIEXEC_RECORD (one UTF-8 line each), then runs the real
// msiexec, kept at MSIEXEC_REAL, with the same command line and ends with its exit code.
//
// With MSIEXEC_TRY_PACKAGE set it first tries, as another program would, to write, delete and
// rename the package of its "/i" and records each attempt's error code (0: it succeeded).
//
// Under 64-bit Wine the file in system32 is run only when Wine's DLL overrides in the registry
// say msiexec.exe = native; otherwise Wine runs its builtin msiexec. With MSIEXEC_OVERRIDDEN set
// the recorder lifts that override while the real msiexec, at the same path, runs, and puts it
// back afterwards. (An environment override would not do: Wine hands a program's WINE variables
// to the programs it starts unchanged.)
#include <windows.h>

namespace {

const WCHAR szOverridesKey[] = L"Software\\Wine\\DllOverrides";
const WCHAR szOverride[] = L"msiexec.exe";
const WCHAR szNative[] = L"native";

void Record(LPCWSTR pszCommand)
{
    WCHAR szRecord[MAX_PATH];
    if (GetEnvironmentVariableW(L"MSIEXEC_RECORD", szRecord, MAX_PATH) == 0)
        return;
    HANDLE hFile = CreateFileW(szRecord, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0,
                               NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return;
    static char szLine[65536];
    int cb = WideCharToMultiByte(CP_UTF8, 0, pszCommand, -1, szLine, sizeof(szLine) - 2, NULL,
                                 NULL);
    if (cb > 0)
    {
        szLine[cb - 1] = '\n';
        DWORD cbWritten = 0;
        WriteFile(hFile, szLine, cb, &cbWritten, NULL);
    }
    CloseHandle(hFile);
}

// The package of '/i "<path>"', relative to the current directory as msiexec takes it.
bool GetPackage(LPCWSTR pszCommand, LPWSTR pszPackage)
{
    LPCWSTR psz = pszCommand;
    while (*psz != L'\0' && !(psz[0] == L'/' && psz[1] == L'i' && psz[2] == L' ' && psz[3] == L'"'))
        ++psz;
    if (*psz == L'\0')
        return false;
    psz += 4;
    int cch = 0;
    while (psz[cch] != L'\0' && psz[cch] != L'"' && cch < MAX_PATH - 16)
        ++cch;
    lstrcpynW(pszPackage, psz, cch + 1);
    return true;
}

DWORD Outcome(BOOL bDone)
{
    return bDone ? 0 : GetLastError();
}

void TryPackage(LPCWSTR pszCommand)
{
    WCHAR szPackage[MAX_PATH];
    if (GetEnvironmentVariableW(L"MSIEXEC_TRY_PACKAGE", NULL, 0) == 0
        || !GetPackage(pszCommand, szPackage))
        return;
    HANDLE hFile = CreateFileW(szPackage, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                               FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
    DWORD dwWrite = Outcome(hFile != INVALID_HANDLE_VALUE);
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    WCHAR szMoved[MAX_PATH];
    lstrcpyW(szMoved, szPackage);
    lstrcatW(szMoved, L".moved");
    DWORD dwDelete = Outcome(DeleteFileW(szPackage));
    DWORD dwRename = Outcome(MoveFileW(szPackage, szMoved));
    WCHAR szLine[128];
    wsprintfW(szLine, L"write %lu delete %lu rename %lu", dwWrite, dwDelete, dwRename);
    Record(szLine);
}

void SetNativeOverride(bool bNative)
{
    HKEY hKey = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, szOverridesKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &hKey,
                        NULL) != ERROR_SUCCESS)
        return;
    if (bNative)
        RegSetValueExW(hKey, szOverride, 0, REG_SZ, (const BYTE*)szNative, sizeof(szNative));
    else
        RegDeleteValueW(hKey, szOverride);
    RegCloseKey(hKey);
}

int Run(LPCWSTR pszProgram, LPWSTR pszCommand)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(pszProgram, pszCommand, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return 1157;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExitCode = 0;
    GetExitCodeProcess(pi.hProcess, &dwExitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return (int)dwExitCode;
}

} // namespace

int wmain()
{
    LPWSTR pszCommand = GetCommandLineW();
    Record(pszCommand);
    TryPackage(pszCommand);
    WCHAR szReal[MAX_PATH];
    if (GetEnvironmentVariableW(L"MSIEXEC_REAL", szReal, MAX_PATH) == 0)
        return 1157;
    bool bOverridden = GetEnvironmentVariableW(L"MSIEXEC_OVERRIDDEN", NULL, 0) != 0;
    if (bOverridden)
        SetNativeOverride(false);
    int nExitCode = Run(szReal, pszCommand);
    if (bOverridden)
        SetNativeOverride(true);
    return nExitCode;
}
