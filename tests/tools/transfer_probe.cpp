// Drives the transfer layer against real servers the way a download job does: binds WinInet,
// opens a session, opens the first reachable URL of a list and copies it into a local file.
//   transfer_probe.exe [--random] [--stop-after-blocks N] <trace dir> <url list> <local file>
// Prints every callback event, writes the trace into <trace dir> (prefix "probe").
// Exit code: 0 copied, 1 no URL opened, 2 copy failed, 3 no WinInet, session or local file,
// 4 misuse.
#include <windows.h>

#include "setup_base/setup_base.h"
#include "WinInet/WinInet.h"
#include "InetCopy/InetCopy.h"

#include <stdio.h>

namespace {

const DWORD dwConnectTimeoutMs = 12000;

struct ProbeState
{
    DWORD dwBlocks;
    DWORD dwStopAfterBlocks;    // 0: never stop
};

bool OpenCallback(int nEvent, void* pProgress, void*)
{
    const OpenUrlProgress* p = (const OpenUrlProgress*)pProgress;
    printf("open event %d nodes %lu current %lu\n", nEvent, p->dwNodesTotal, p->dwCurrentNode);
    return true;
}

// Per-block events are counted, not printed: a large file has thousands of them.
bool CopyCallback(int nEvent, void* pProgress, void* pCallbackData)
{
    const CopyProgress* p = (const CopyProgress*)pProgress;
    ProbeState* pState = (ProbeState*)pCallbackData;
    if (nEvent != PROGRESS_STEP)
    {
        printf("copy event %d size %ld copied %lu blocks %lu\n", nEvent, (long)p->dwFileSize,
               p->dwBytesCopied, pState->dwBlocks);
        return true;
    }
    ++pState->dwBlocks;
    return pState->dwStopAfterBlocks == 0 || pState->dwBlocks < pState->dwStopAfterBlocks;
}

int Transfer(HINTERNET hSession, HWND hwndOwner, LPCWSTR pszList, bool bRandom,
             LPCWSTR pszLocal, ProbeState& state)
{
    HINTERNET hRemote = NULL;
    bool bOpened = TryOpenUrl(hSession, hwndOwner, pszList, bRandom, OpenCallback, NULL, &hRemote);
    printf("opened %d\n", bOpened ? 1 : 0);
    if (!bOpened)
        return 1;

    // The access a download job asks for: read and write data, no sharing.
    HANDLE hLocal = CreateFileW(pszLocal, FILE_READ_DATA | FILE_WRITE_DATA, 0, NULL,
                                CREATE_ALWAYS, 0, NULL);
    int nResult = 3;
    if (hLocal != INVALID_HANDLE_VALUE)
    {
        bool bCopied = InternetCopyFile(hRemote, hLocal, CopyCallback, &state);
        printf("copied %d\n", bCopied ? 1 : 0);
        nResult = bCopied ? 0 : 2;
        CloseHandle(hLocal);
    }
    WinInetApi.InternetCloseHandle(hRemote);
    return nResult;
}

int Run(LPCWSTR pszList, bool bRandom, LPCWSTR pszLocal, ProbeState& state)
{
    if (!InitializeInternet())
        return 3;
    int nResult = 3;
    HINTERNET hSession = WinInetApi.InternetOpenW(L"setup", INTERNET_OPEN_TYPE_PRECONFIG, NULL,
                                                  NULL, 0);
    if (hSession != NULL)
    {
        DWORD dwTimeout = dwConnectTimeoutMs;
        WinInetApi.InternetSetOptionW(hSession, INTERNET_OPTION_CONNECT_TIMEOUT, &dwTimeout,
                                      sizeof(dwTimeout));
        // The proxy log-on dialog needs an owner, as the progress dialog is in the setup.
        HWND hwndOwner = CreateWindowExW(0, L"STATIC", L"transfer probe", WS_POPUP, 0, 0, 10, 10,
                                         NULL, NULL, GetModuleHandleW(NULL), NULL);
        nResult = Transfer(hSession, hwndOwner, pszList, bRandom, pszLocal, state);
        if (hwndOwner != NULL)
            DestroyWindow(hwndOwner);
        WinInetApi.InternetCloseHandle(hSession);
    }
    UninitializeInternet();
    return nResult;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    bool bRandom = false;
    ProbeState state = {0, 0};
    int i = 1;
    for (; i < argc && argv[i][0] == L'-' && argv[i][1] == L'-'; ++i)
    {
        if (lstrcmpW(argv[i], L"--random") == 0)
            bRandom = true;
        else if (lstrcmpW(argv[i], L"--stop-after-blocks") == 0 && i + 1 < argc)
            state.dwStopAfterBlocks = (DWORD)ParseDecimal(argv[++i], NULL, 10);
        else
            return 4;
    }
    if (argc - i != 3)
    {
        fprintf(stderr, "usage: transfer_probe [--random] [--stop-after-blocks N] "
                        "<trace dir> <url list> <local file>\n");
        return 4;
    }

    Tracer tracer(argv[i], L"probe");
    SetTracer(&tracer);
    int nResult = Run(argv[i + 1], bRandom, argv[i + 2], state);
    RemoveTracer(&tracer);
    tracer.Close();
    printf("result %d\n", nResult);
    fflush(stdout);
    // Ends the way setup.exe does after a forced end, without the clean-up of a normal exit.
    // Closing a kept-alive HTTP connection makes Wine's WinInet start its connection collector
    // thread, and an exit a few milliseconds later runs Wine's DLL detach and the C library's
    // exit handlers while that thread is still being started: rarely, the probe then died of
    // SIGSEGV after it had reported its result. WinInet is released, the trace closed and the
    // output written by now; nothing is left for a clean-up to do.
    TerminateProcess(GetCurrentProcess(), (UINT)nResult);
    return nResult;
}
