// A library planted where setup.exe must never load it from, under the name of one it does
// load from the system directory (wininet.dll, or one that msi.dll loads). Loaded, it leaves
// '<own path>.loaded'; it has none of the exports its name promises.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE hinst, DWORD dwReason, LPVOID)
{
    if (dwReason != DLL_PROCESS_ATTACH)
        return TRUE;
    WCHAR szMarker[MAX_PATH + 8];
    DWORD cch = GetModuleFileNameW(hinst, szMarker, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return TRUE;
    lstrcatW(szMarker, L".loaded");
    HANDLE hFile = CreateFileW(szMarker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return TRUE;
}
