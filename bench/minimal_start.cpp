// A Windows program that does nothing, for timing the start of a process under Wine with the
// imports of setup.exe: built once with kernel32 alone, once with user32 too, and once with
// user32 and comdlg32, as setup.exe itself.
#include <windows.h>
#include <commdlg.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR pszCommandLine, int)
{
    // The benchmark starts it without arguments: these calls are there for their imports.
#if defined(WITH_USER32)
    if (pszCommandLine[0] == L'?')
        MessageBoxW(NULL, pszCommandLine, NULL, MB_OK);
#endif
#if defined(WITH_COMDLG32)
    if (pszCommandLine[0] == L'!')
    {
        OPENFILENAMEW ofn;
        ZeroMemory(&ofn, sizeof(ofn));
        ofn.lStructSize = sizeof(ofn);
        GetSaveFileNameW(&ofn);
    }
#endif
    (void)pszCommandLine;
    return 0;
}
