// The trace file: one 8-bit text file per run, one line per event, written from both threads.
#include "setup_base.h"

namespace {

const WCHAR szNameFormatInDir[] = L"%s%s-%04i-%02i-%02i-%02i-%02i-%02i.log";
const WCHAR szNameFormat[] = L"%s\\%s-%04i-%02i-%02i-%02i-%02i-%02i.log";
const WCHAR szFallbackName[] = L"%ALLUSERSPROFILE%\\unknown.log";
const char szLinePrefixFormat[] = "%03i:%04x %02i:%02i:%02i.%03i ";
const char szLineEnd[] = "\r\n";
const int cbLinePrefix = 1024;
const int cchNameStamp = 24;    // "-YYYY-MM-DD-HH-MM-SS.log"

Tracer* g_pTracer = NULL;

void WriteBytes(HANDLE hFile, const char* pBytes, int cb)
{
    DWORD cbWritten = 0;
    // Write errors are ignored: a report would have to go through the tracer itself.
    WriteFile(hFile, pBytes, cb, &cbWritten, NULL);
}

} // namespace

bool MakeTraceFileName(LPWSTR pszName, LPCWSTR pszDirectory, LPCWSTR pszPrefix,
                       const SYSTEMTIME& st)
{
    int cchDirectory = lstrlenW(pszDirectory);
    bool bInDir = cchDirectory > 0 && pszDirectory[cchDirectory - 1] == L'\\';
    // wsprintfW would cut a long name silently and the tracer would open the wrong file.
    int cchNeeded = cchDirectory + (bInDir ? 0 : 1) + lstrlenW(pszPrefix) + cchNameStamp;
    if (cchNeeded >= cchTraceName)
    {
        pszName[0] = L'\0';
        return false;
    }
    wsprintfW(pszName, bInDir ? szNameFormatInDir : szNameFormat, pszDirectory, pszPrefix,
              st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
    return true;
}

int FormatLinePrefix(LPSTR pszPrefix, DWORD dwProcessId, DWORD dwThreadId, const SYSTEMTIME& st)
{
    return wsprintfA(pszPrefix, szLinePrefixFormat, (int)dwProcessId, (int)dwThreadId, st.wHour,
                     st.wMinute, st.wSecond, st.wMilliseconds);
}

Tracer::Tracer(LPCWSTR pszDirectory, LPCWSTR pszPrefix)
    : hFile(INVALID_HANDLE_VALUE), bOpened(false), hLock(NULL), bLineOpen(false)
{
    hLock = CreateMutexW(NULL, FALSE, NULL);

    SYSTEMTIME st;
    GetLocalTime(&st);
    WCHAR szName[cchTraceName];
    if (MakeTraceFileName(szName, pszDirectory, pszPrefix, st))
        Open(szName);
}

void Tracer::Open(LPCWSTR pszName)
{
    WCHAR szExpanded[cchTraceName];
    DWORD cchExpanded = ExpandEnvironmentStringsW(pszName, szExpanded, cchTraceName);
    // A name that does not fit after expansion counts as a failed open.
    if (cchExpanded == 0 || cchExpanded > (DWORD)cchTraceName)
    {
        hFile = INVALID_HANDLE_VALUE;
        return;
    }
    hFile = CreateFileW(szExpanded, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile != INVALID_HANDLE_VALUE)
        bOpened = true;
}

// Takes the lock; bRepair is set when its last owner was ended by force half-way through a line.
bool Tracer::Lock(bool& bRepair)
{
    bRepair = false;
    DWORD dwWait = WaitForSingleObject(hLock, INFINITE);
    if (dwWait == WAIT_ABANDONED)
    {
        bRepair = bLineOpen;
        bLineOpen = false;
        return true;
    }
    // Without a usable lock the line is still written rather than lost.
    return dwWait == WAIT_OBJECT_0;
}

void Tracer::Print(LPCSTR pszFormat, va_list args)
{
    bool bRepair = false;
    bool bLocked = Lock(bRepair);

    if (!bOpened)
        Open(szFallbackName);

    if (hFile != INVALID_HANDLE_VALUE)
    {
        char szMessage[cbTraceMessage];
        // The formatter's count is not trusted on a cut line (it may count the terminator).
        szMessage[0] = '\0';
        wvsprintfA(szMessage, pszFormat, args);
        szMessage[cbTraceMessage - 1] = '\0';
        int cbMessage = lstrlenA(szMessage);

        SYSTEMTIME st;
        GetLocalTime(&st);
        char szPrefix[cbLinePrefix];
        int cbPrefix = FormatLinePrefix(szPrefix, GetCurrentProcessId(), GetCurrentThreadId(), st);

        SetFilePointer(hFile, 0, NULL, FILE_END);
        // Close the broken line first, so that this one starts on its own.
        if (bRepair)
            WriteBytes(hFile, szLineEnd, 2);
        bLineOpen = true;
        WriteBytes(hFile, szPrefix, cbPrefix);
        WriteBytes(hFile, szMessage, cbMessage);
        WriteBytes(hFile, szLineEnd, 2);
        bLineOpen = false;
    }

    if (bLocked)
        ReleaseMutex(hLock);
}

void Tracer::Close()
{
    if (hFile != INVALID_HANDLE_VALUE)
    {
        CloseHandle(hFile);
        hFile = INVALID_HANDLE_VALUE;
    }
    if (hLock != NULL)
    {
        CloseHandle(hLock);
        hLock = NULL;
    }
}

Tracer* LockTrace()
{
    Tracer* pTracer = g_pTracer;
    if (pTracer == NULL || pTracer->hLock == NULL)
        return NULL;
    DWORD dwWait = WaitForSingleObject(pTracer->hLock, INFINITE);
    return dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED ? pTracer : NULL;
}

void UnlockTrace(Tracer* pTracer)
{
    if (pTracer != NULL)
        ReleaseMutex(pTracer->hLock);
}

void SetTracer(Tracer* pTracer)
{
    g_pTracer = pTracer;
}

void RemoveTracer(Tracer* pTracer)
{
    if (g_pTracer != pTracer)
        TracePrint("*** ERROR: Can't remove tracer correctly! ***");
    g_pTracer = NULL;
}

void TracePrint(LPCSTR pszFormat, ...)
{
    Tracer* pTracer = g_pTracer;
    if (pTracer == NULL)
        return;
    va_list args;
    va_start(args, pszFormat);
    pTracer->Print(pszFormat, args);
    va_end(args);
}
