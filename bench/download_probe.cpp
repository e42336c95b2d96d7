// Times the setup's package download under WinInet and the pieces of it, for the benchmarks:
//   download_probe.exe job <trace dir> <url> <local file>
//       the setup's own package job (DownloadBuild): a registered tracer writing a real trace
//       file into <trace dir> (prefix "bench"), the progress callbacks, and a dialog window with
//       the bar (1000), the status (1001) and the description (1002) on the main thread, which
//       pumps messages while a worker thread downloads, as in the setup
//   download_probe.exe job-sized <trace dir> <url> <local file> <size>
//       the same job where the remote size is known, as on Windows: under Wine FtpGetFileSize
//       is a stub that answers 0, so the bar sweeps and gets a new position for every block;
//       here it answers <size> (at most 2 GiB), and the bar moves once per hundredth
//   download_probe.exe job-untraced <url> <local file>
//       the same job with no tracer registered: the callbacks and the dialog, no trace lines
//   download_probe.exe floor <url> <local file>
//       the bare copy: the same session options, open flags and 32,768-byte buffer, the same
//       local file access and flush, on the same kind of worker thread; no trace, no callbacks
//   download_probe.exe trace-lines <trace dir> <count>
//       writes <count> lines of the copy loop's text through the tracer and times them
//   download_probe.exe post-progress <count>
//       posts <count> positions to the bar from a worker, as the copy callback does per block
//       (no tracer registered), and times them; then, <count> times each, the look-ups that
//       PostProgress makes (IsWindow, GetDlgItem, IsWindow) and the bare PostMessageW, each
//       phase once the dialog has handled what the one before posted
//   download_probe.exe time-command
//       runs the command line in BENCH_COMMAND_LINE, waits for it and times it
// Prints one line of names and values: for a download "bytes <n> seconds <s> reads <n>
// peak_working_set <bytes> dialog_cpu_seconds <s> worker_cpu_seconds <s>" (the time from the
// open to the closed handle; the peak working set of the whole process at the end; the CPU
// time of the dialog's thread and of the worker), for trace-lines "calls <n> seconds <s>", for post-progress
// the same and "lookup_seconds <s> post_seconds <s>", for time-command "exit_code <n>
// seconds <s>". Exit code 0 on success, 1 when the download failed, 2 for misuse.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include "setup_base/setup_base.h"
#include "WinInet/WinInet.h"
#include "InetCopy/InetCopy.h"
#include "checkversion/download_jobs.h"
#include "res/resource.h"

#include <stdio.h>

namespace {

// What the setup's session gets (latest_build.cpp); Wine honours only the connect time-out.
const DWORD dwTimeoutMs = 12000;
const DWORD dwConnectRetries = 3;
// The copy's own buffer and open flags (InetCopy.cpp).
const DWORD cbBuffer = 32768;
const DWORD dwActiveFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION
                          | INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE
                          | INTERNET_FLAG_NEED_FILE;
const DWORD dwPassiveFlags = dwActiveFlags | INTERNET_FLAG_PASSIVE;
const DWORD dwLocalAccess = FILE_READ_DATA | FILE_WRITE_DATA;
const UINT uDrain = WM_APP + 1;    // to the main thread: set hDrained

enum Mode { MODE_JOB, MODE_JOB_SIZED, MODE_JOB_UNTRACED, MODE_FLOOR, MODE_POST_PROGRESS };

// The remote size that job-sized reports, as WinInet on Windows knows it (FTP SIZE, or the
// Content-Length once FtpGetFileSize has failed on an HTTP handle).
DWORD g_dwKnownSize = 0;

DWORD WINAPI KnownFileSize(HINTERNET, LPDWORD pdwSizeHigh)
{
    if (pdwSizeHigh != NULL)
        *pdwSizeHigh = 0;
    return g_dwKnownSize;
}

struct Work
{
    Mode mode;
    LPCWSTR pszUrl;
    LPCWSTR pszLocal;
    HWND hwndDialog;
    DWORD dwMainThread;
    HINTERNET hSession;
    bool bOk;
    double dSeconds;
    DWORD dwReads;
    ULONGLONG cbCopied;
    DWORD dwCalls;          // post-progress only
    volatile LONG lDone;    // set by the worker when it has finished
    HANDLE hDrained;        // post-progress only
    double dPostProgressSeconds;
    double dLookupSeconds;
    double dPostSeconds;
    double dDialogCpuSeconds;   // used by the main thread, which serves the dialog
    double dWorkerCpuSeconds;
};

LARGE_INTEGER g_frequency;

double Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart / (double)g_frequency.QuadPart;
}

// User and kernel time that a thread has used so far.
double CpuSeconds(HANDLE hThread)
{
    FILETIME ftCreation, ftExit, ftKernel, ftUser;
    if (!GetThreadTimes(hThread, &ftCreation, &ftExit, &ftKernel, &ftUser))
        return 0;
    ULONGLONG ullKernel = ((ULONGLONG)ftKernel.dwHighDateTime << 32) | ftKernel.dwLowDateTime;
    ULONGLONG ullUser = ((ULONGLONG)ftUser.dwHighDateTime << 32) | ftUser.dwLowDateTime;
    return (double)(ullKernel + ullUser) / 1e7;
}

void SetSessionOptions(HINTERNET hSession)
{
    DWORD dwTimeout = dwTimeoutMs;
    DWORD dwRetries = dwConnectRetries;
    WinInetApi.InternetSetOptionW(hSession, INTERNET_OPTION_CONNECT_TIMEOUT, &dwTimeout,
                                  sizeof(dwTimeout));
    WinInetApi.InternetSetOptionW(hSession, INTERNET_OPTION_SEND_TIMEOUT, &dwTimeout,
                                  sizeof(dwTimeout));
    WinInetApi.InternetSetOptionW(hSession, INTERNET_OPTION_RECEIVE_TIMEOUT, &dwTimeout,
                                  sizeof(dwTimeout));
    WinInetApi.InternetSetOptionW(hSession, INTERNET_OPTION_CONNECT_RETRIES, &dwRetries,
                                  sizeof(dwRetries));
}

// The bare copy: open, status, read and write until the end, flush, close.
bool CopyBare(Work& work)
{
    bool bFtp = CompareChars(work.pszUrl, L"ftp://", 6) == 0;
    HINTERNET hRemote = WinInetApi.InternetOpenUrlW(work.hSession, work.pszUrl, NULL, 0,
                                                    bFtp ? dwPassiveFlags : dwActiveFlags, 0);
    if (hRemote == NULL)
        return false;
    DWORD dwStatus = 0;
    DWORD cbStatus = sizeof(dwStatus);
    if (WinInetApi.HttpQueryInfoW(hRemote, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                  &dwStatus, &cbStatus, NULL) && dwStatus != HTTP_STATUS_OK)
    {
        WinInetApi.InternetCloseHandle(hRemote);
        return false;
    }
    bool bOk = false;
    HANDLE hLocal = CreateFileW(work.pszLocal, dwLocalAccess, 0, NULL, CREATE_ALWAYS, 0, NULL);
    BYTE* pBuffer = (BYTE*)HeapAlloc(GetProcessHeap(), 0, cbBuffer);
    if (hLocal != INVALID_HANDLE_VALUE && pBuffer != NULL)
    {
        for (;;)
        {
            DWORD cbRead = 0;
            if (!WinInetApi.InternetReadFile(hRemote, pBuffer, cbBuffer, &cbRead))
                break;
            ++work.dwReads;
            if (cbRead == 0)
            {
                bOk = true;
                break;
            }
            DWORD cbWritten = 0;
            if (!WriteFile(hLocal, pBuffer, cbRead, &cbWritten, NULL) || cbWritten < cbRead)
                break;
            work.cbCopied += cbWritten;
        }
        bOk = FlushFileBuffers(hLocal) && bOk;
    }
    if (pBuffer != NULL)
        HeapFree(GetProcessHeap(), 0, pBuffer);
    if (hLocal != INVALID_HANDLE_VALUE)
        CloseHandle(hLocal);
    WinInetApi.InternetCloseHandle(hRemote);
    return bOk;
}

// The package job as the setup's worker runs it, for a build whose only URL is ours.
bool CopyAsJob(Work& work)
{
    CallbackParam param = {work.hwndDialog, stateRunning, NULL, 0, NULL, 0, 0};
    BuildInfo latest;
    InitBuildInfo(latest);
    latest.version = MakeVersion(9, 0, 0, 512);
    DWORD cchUrl = (DWORD)lstrlenW(work.pszUrl);
    LPWSTR pszList = (LPWSTR)AllocBlock((cchUrl + 1) * sizeof(WCHAR));
    if (pszList == NULL)
        return false;
    CopyChars(pszList, work.pszUrl, cchUrl);
    SetUrlList(latest, pszList);
    // The staging file that the setup makes for the job: new, read and write, shared with nobody.
    HANDLE hLocal = CreateFileW(work.pszLocal, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                CREATE_ALWAYS, 0, NULL);
    bool bOk = hLocal != INVALID_HANDLE_VALUE
            && DownloadBuild(work.hSession, param, latest, hLocal, work.pszLocal, false);
    if (hLocal != INVALID_HANDLE_VALUE)
        CloseHandle(hLocal);
    ReleaseBuildInfo(latest);
    if (bOk)
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(work.pszLocal, GetFileExInfoStandard, &data))
            work.cbCopied = ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
        // The job's reads are not counted from outside: full blocks and the empty last one.
        work.dwReads = (DWORD)((work.cbCopied + cbBuffer - 1) / cbBuffer) + 1;
    }
    return bOk;
}

// Waits until the dialog's thread has handled every message posted to it so far, so that one
// timed phase does not pay for the repaints that the last one queued.
void WaitForDrainedQueue(Work& work)
{
    PostThreadMessageW(work.dwMainThread, uDrain, 0, 0);
    WaitForSingleObject(work.hDrained, INFINITE);
}

// What the copy callback does per block once the percentage has changed: a new position for
// the bar, posted to the dialog's thread. Then its pieces on their own: the three look-ups it
// makes before it posts, and the post.
bool PostPositions(Work& work)
{
    double dStart = Now();
    for (DWORD i = 0; i < work.dwCalls; ++i)
        PostProgress(work.hwndDialog, i % 101);
    double dWhole = Now() - dStart;
    WaitForDrainedQueue(work);

    dStart = Now();
    HWND hwndProgress = NULL;
    for (DWORD i = 0; i < work.dwCalls; ++i)
    {
        if (IsWindow(work.hwndDialog))
            hwndProgress = GetDlgItem(work.hwndDialog, IDC_PROGRESS);
        if (!IsWindow(hwndProgress))
            return false;
    }
    work.dLookupSeconds = Now() - dStart;
    WaitForDrainedQueue(work);

    dStart = Now();
    for (DWORD i = 0; i < work.dwCalls; ++i)
        PostMessageW(hwndProgress, PBM_SETPOS, i % 101, 0);
    work.dPostSeconds = Now() - dStart;
    work.dPostProgressSeconds = dWhole;
    return true;
}

DWORD WINAPI WorkerProc(LPVOID pvWork)
{
    Work& work = *(Work*)pvWork;
    double dStart = Now();
    if (work.mode == MODE_POST_PROGRESS)
        work.bOk = PostPositions(work);
    else
        work.bOk = work.mode == MODE_FLOOR ? CopyBare(work) : CopyAsJob(work);
    work.dSeconds = work.mode == MODE_POST_PROGRESS ? work.dPostProgressSeconds
                                                     : Now() - dStart;
    // Read here: Wine no longer knows a thread's times once it has ended.
    work.dWorkerCpuSeconds = CpuSeconds(GetCurrentThread());
    __atomic_store_n(&work.lDone, 1, __ATOMIC_SEQ_CST);
    PostThreadMessageW(work.dwMainThread, WM_NULL, 0, 0);
    return 0;
}

// A dialog stand-in with the controls the job sets and posts to.
HWND CreateDialogWindow()
{
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    HINSTANCE hinst = GetModuleHandleW(NULL);
    HWND hwnd = CreateWindowExW(0, L"STATIC", L"download probe", WS_POPUP | WS_BORDER, 0, 0,
                                400, 120, NULL, NULL, hinst, NULL);
    if (hwnd == NULL)
        return NULL;
    CreateWindowExW(0, L"msctls_progress32", L"", WS_CHILD | WS_VISIBLE, 10, 80, 380, 16, hwnd,
                    (HMENU)(INT_PTR)IDC_PROGRESS, hinst, NULL);
    CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 10, 45, 380, 16, hwnd,
                    (HMENU)(INT_PTR)IDC_STATUS, hinst, NULL);
    CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 10, 10, 380, 30, hwnd,
                    (HMENU)(INT_PTR)IDC_DESCRIPTION, hinst, NULL);
    // Shown, as the setup's dialog is: every new position repaints the bar.
    ShowWindow(hwnd, SW_SHOWNOACTIVATE);
    return hwnd;
}

// The worker downloads while this thread serves the dialog, until the worker says it is done.
bool RunDownload(Work& work)
{
    if (!InitializeInternet())
        return false;
    if (work.mode == MODE_JOB_SIZED)
        WinInetApi.FtpGetFileSize = KnownFileSize;
    work.hSession = WinInetApi.InternetOpenW(NULL, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (work.hSession == NULL)
        return false;
    SetSessionOptions(work.hSession);
    work.hwndDialog = CreateDialogWindow();
    if (work.hwndDialog == NULL)
        return false;
    MSG msg;
    PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);    // the thread's queue, before the worker posts
    work.dwMainThread = GetCurrentThreadId();
    HANDLE hThread = CreateThread(NULL, 0, WorkerProc, &work, 0, NULL);
    if (hThread == NULL)
        return false;
    // Like the setup's dialog loop, this one ends as soon as the worker is done, whatever
    // positions are still queued for the bar.
    while (__atomic_load_n(&work.lDone, __ATOMIC_SEQ_CST) == 0 &&
           GetMessageW(&msg, NULL, 0, 0) > 0)
    {
        if (msg.hwnd == NULL && msg.message == uDrain)
        {
            SetEvent(work.hDrained);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    WaitForSingleObject(hThread, INFINITE);
    work.dDialogCpuSeconds = CpuSeconds(GetCurrentThread());
    CloseHandle(hThread);
    DestroyWindow(work.hwndDialog);
    WinInetApi.InternetCloseHandle(work.hSession);
    UninitializeInternet();
    return work.bOk;
}

SIZE_T PeakWorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters;
    ZeroBytes(&counters, sizeof(counters));
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return 0;
    return counters.PeakWorkingSetSize;
}

int Download(Mode mode, LPCWSTR pszTraceDir, LPCWSTR pszUrl, LPCWSTR pszLocal)
{
    Work work;
    ZeroBytes(&work, sizeof(work));
    work.mode = mode;
    work.pszUrl = pszUrl;
    work.pszLocal = pszLocal;
    Tracer* pTracer = NULL;
    if (pszTraceDir != NULL)
    {
        pTracer = new Tracer(pszTraceDir, L"bench");
        SetTracer(pTracer);
    }
    bool bOk = RunDownload(work);
    if (pTracer != NULL)
    {
        RemoveTracer(pTracer);
        delete pTracer;
    }
    if (!bOk)
    {
        printf("failed\n");
        return 1;
    }
    printf("bytes %llu seconds %.6f reads %lu peak_working_set %llu dialog_cpu_seconds %.3f "
           "worker_cpu_seconds %.3f\n", work.cbCopied, work.dSeconds, work.dwReads,
           (unsigned long long)PeakWorkingSet(), work.dDialogCpuSeconds,
           work.dWorkerCpuSeconds);
    return 0;
}

int Usage()
{
    fprintf(stderr, "usage: download_probe job <trace dir> <url> <local file> | "
                    "job-sized <trace dir> <url> <local file> <size> | "
                    "job-untraced <url> <local file> | floor <url> <local file> | "
                    "trace-lines <trace dir> <count> | post-progress <count> | "
                    "time-command\n");
    return 2;
}

int PostProgressCalls(DWORD dwCount)
{
    Work work;
    ZeroBytes(&work, sizeof(work));
    work.mode = MODE_POST_PROGRESS;
    work.dwCalls = dwCount;
    work.hDrained = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (work.hDrained == NULL || !RunDownload(work))
        return 1;
    CloseHandle(work.hDrained);
    printf("calls %lu seconds %.6f lookup_seconds %.6f post_seconds %.6f\n", dwCount,
           work.dSeconds, work.dLookupSeconds, work.dPostSeconds);
    return 0;
}

// Starts a command line as run_exit_code does and times it to the end of the process.
int TimeCommand()
{
    static WCHAR szCommand[32768];
    if (GetEnvironmentVariableW(L"BENCH_COMMAND_LINE", szCommand, 32768) == 0)
        return Usage();
    STARTUPINFOW si;
    ZeroBytes(&si, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    ZeroBytes(&pi, sizeof(pi));
    double dStart = Now();
    if (!CreateProcessW(NULL, szCommand, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
    {
        printf("not started: %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    double dSeconds = Now() - dStart;
    DWORD dwExitCode = 0;
    GetExitCodeProcess(pi.hProcess, &dwExitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    printf("exit_code %ld seconds %.6f\n", (long)dwExitCode, dSeconds);
    return 0;
}

// The two lines that the copy loop writes for every block, alternately.
int TraceLines(LPCWSTR pszTraceDir, DWORD dwCount)
{
    Tracer tracer(pszTraceDir, L"bench");
    SetTracer(&tracer);
    double dStart = Now();
    for (DWORD i = 0; i < dwCount; ++i)
    {
        if (i % 2 == 0)
            TracePrint("*** Internet copy file procedure: read file: %d ***", (int)cbBuffer);
        else
            TracePrint("*** Internet copy file procedure: write file: %d ***", (int)cbBuffer);
    }
    double dSeconds = Now() - dStart;
    RemoveTracer(&tracer);
    printf("calls %lu seconds %.6f\n", dwCount, dSeconds);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    QueryPerformanceFrequency(&g_frequency);
    if (argc == 5 && lstrcmpW(argv[1], L"job") == 0)
        return Download(MODE_JOB, argv[2], argv[3], argv[4]);
    if (argc == 6 && lstrcmpW(argv[1], L"job-sized") == 0)
    {
        g_dwKnownSize = (DWORD)ParseDecimal(argv[5], NULL, 10);
        return Download(MODE_JOB_SIZED, argv[2], argv[3], argv[4]);
    }
    if (argc == 4 && lstrcmpW(argv[1], L"job-untraced") == 0)
        return Download(MODE_JOB_UNTRACED, NULL, argv[2], argv[3]);
    if (argc == 4 && lstrcmpW(argv[1], L"floor") == 0)
        return Download(MODE_FLOOR, NULL, argv[2], argv[3]);
    if (argc == 4 && lstrcmpW(argv[1], L"trace-lines") == 0)
        return TraceLines(argv[2], (DWORD)ParseDecimal(argv[3], NULL, 10));
    if (argc == 3 && lstrcmpW(argv[1], L"post-progress") == 0)
        return PostProgressCalls((DWORD)ParseDecimal(argv[2], NULL, 10));
    if (argc == 2 && lstrcmpW(argv[1], L"time-command") == 0)
        return TimeCommand();
    return Usage();
}
