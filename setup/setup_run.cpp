// The entry point and the one straight sequence of a run.
#include "setup_base/setup_base.h"

namespace {

WCHAR szExePath[MAX_PATH];
WCHAR szExeDir[MAX_PATH];

const WCHAR szTracePrefix[] = L"tw-setup";

bool GetModulePaths(LPWSTR pszExePath, LPWSTR pszExeDir)
{
    HMODULE hModule = GetModuleHandleW(NULL);
    if (hModule == NULL)
        return false;
    if (GetModuleFileNameW(hModule, pszExePath, MAX_PATH) == 0)
        return false;
    lstrcpyW(pszExeDir, pszExePath);
    LPWSTR pszSlash = (LPWSTR)FindLastChar(pszExeDir, L'\\');
    if (pszSlash != NULL)
        *pszSlash = L'\0';
    return true;
}

// The temporary directory as a heap block, or none: the trace then goes beside the executable.
LPWSTR AllocTempDirectory()
{
    DWORD cchTemp = GetTempPathW(0, NULL);
    if (cchTemp == 0)
        return NULL;
    LPWSTR pszTemp = (LPWSTR)AllocBlock(cchTemp * sizeof(WCHAR));
    if (pszTemp == NULL)
        return NULL;
    DWORD cchWritten = GetTempPathW(cchTemp, pszTemp);
    if (cchWritten == 0 || cchWritten >= cchTemp)
    {
        FreeBlock(pszTemp);
        return NULL;
    }
    return pszTemp;
}

int RunSetup()
{
    if (!GetModulePaths(szExePath, szExeDir))
        return -1;

    LPWSTR pszTempDir = AllocTempDirectory();
    Tracer tracer(pszTempDir != NULL ? pszTempDir : szExeDir, szTracePrefix);
    SetTracer(&tracer);
    TracePrint("*** start ***");

    int nResult = 0;

    TracePrint("*** end ***");
    RemoveTracer(&tracer);
    tracer.Close();
    if (pszTempDir != NULL)
        FreeBlock(pszTempDir);
    return nResult;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    ExitProcess((UINT)RunSetup());
}
