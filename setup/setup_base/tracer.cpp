// The trace file: one 8-bit text file per run, one line per event, written from both threads.
#include "setup_base.h"
#include "files.h"

namespace {

const WCHAR szNameFormatInDir[] = L"%s%s-%04i-%02i-%02i-%02i-%02i-%02i.log";
const WCHAR szNameFormat[] = L"%s\\%s-%04i-%02i-%02i-%02i-%02i-%02i.log";
const WCHAR szFallbackName[] = L"%ALLUSERSPROFILE%\\unknown.log";
const char szLinePrefixFormat[] = "%03i:%04x %02i:%02i:%02i.%03i ";
const int cbLinePrefix = 1024;
const int cchNameStamp = 24;    // "-YYYY-MM-DD-HH-MM-SS.log"
const DWORD dwTraceAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

Tracer* g_pTracer = NULL;

// Copies a message with its CR and LF written as "\r" and "\n": text from a server (a
// response line, a URL) must not be able to start a line of its own in the trace. Returns the
// bytes written, at most cbMax.
int EscapeLineBreaks(char* pDest, const char* pszMessage, int cbMax)
{
    int cb = 0;
    for (const char* p = pszMessage; *p != '\0' && cb + 2 <= cbMax; ++p)
    {
        if (*p == '\r' || *p == '\n')
        {
            pDest[cb++] = '\\';
            pDest[cb++] = *p == '\r' ? 'r' : 'n';
        }
        else
            pDest[cb++] = *p;
    }
    return cb;
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
    : hFile(INVALID_HANDLE_VALUE), bOpened(false)
{
    InitializeCriticalSection(&csLock);

    SYSTEMTIME st;
    GetLocalTime(&st);
    WCHAR szName[cchTraceName];
    if (MakeTraceFileName(szName, pszDirectory, pszPrefix, st))
        Open(szName);
}

Tracer::~Tracer()
{
    Close();
    DeleteCriticalSection(&csLock);
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
    // Append-only: every line lands at the end, even when another run writes the same file.
    // A link or reparse point is not followed: the fallback name lies where any user can
    // create files, and the trace must not be written through it into somebody else's file.
    hFile = CreateFileW(szExpanded, dwTraceAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFile != INVALID_HANDLE_VALUE && !IsPlainFile(hFile))
    {
        // Not CloseFile: its report of a failed close would come back here, with no file
        // opened yet, and open again.
        CloseHandle(hFile);
        hFile = INVALID_HANDLE_VALUE;
    }
    if (hFile != INVALID_HANDLE_VALUE)
        bOpened = true;
}

void Tracer::Lock()
{
    EnterCriticalSection(&csLock);
}

void Tracer::Unlock()
{
    LeaveCriticalSection(&csLock);
}

void Tracer::Print(LPCSTR pszFormat, va_list args)
{
    Lock();
    if (!bOpened)
        Open(szFallbackName);

    if (hFile != INVALID_HANDLE_VALUE)
    {
        // One buffer for the whole line, the message formatted into its last part and escaped
        // forward from there: the escaped text (at most two bytes a byte) never overtakes the
        // message it is read from, and the frame stays well under a page.
        char szLine[cbLinePrefix + 2 * cbTraceMessage + 2];
        LPSTR pszMessage = szLine + cbLinePrefix + cbTraceMessage;
        // The formatter's count is not trusted on a cut line (it may count the terminator).
        pszMessage[0] = '\0';
        wvsprintfA(pszMessage, pszFormat, args);
        pszMessage[cbTraceMessage - 1] = '\0';

        SYSTEMTIME st;
        GetLocalTime(&st);
        // One write per line: appends of whole lines never interleave with another writer's.
        int cbLine = FormatLinePrefix(szLine, GetCurrentProcessId(), GetCurrentThreadId(), st);
        cbLine += EscapeLineBreaks(szLine + cbLine, pszMessage, 2 * cbTraceMessage);
        szLine[cbLine++] = '\r';
        szLine[cbLine++] = '\n';
        DWORD cbWritten = 0;
        // Write errors are ignored: a report would have to go through the tracer itself.
        WriteFile(hFile, szLine, cbLine, &cbWritten, NULL);
    }
    Unlock();
}

void Tracer::Close()
{
    Lock();
    CloseFile(hFile);
    Unlock();
}

Tracer* LockTrace()
{
    Tracer* pTracer = g_pTracer;
    if (pTracer != NULL)
        pTracer->Lock();
    return pTracer;
}

void UnlockTrace(Tracer* pTracer)
{
    if (pTracer != NULL)
        pTracer->Unlock();
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
