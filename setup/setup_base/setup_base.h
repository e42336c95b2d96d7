// Base layer shared by every part of the setup: the trace file, the checks that report into it,
// heap blocks, the small wide-string routines and the message box of string-table rows. Paths,
// files and system libraries have headers of their own beside this one.
#pragma once

#include <windows.h>
#include <stdarg.h>

// ---------------------------------------------------------------------------------------------
// Tracing

// One trace file per run, written from both threads. The lock is a critical section: it costs
// next to nothing per line. The one thread that is ever ended by force, the update check's
// worker, is ended only while the main thread holds this lock, so no line is left half written
// and the lock is never left owned by a dead thread.
struct Tracer
{
    HANDLE hFile;       // INVALID_HANDLE_VALUE while no file is open
    bool bOpened;       // some open succeeded; never goes back to false
    CRITICAL_SECTION csLock;    // serialises one whole line, including the late fallback open

    Tracer(LPCWSTR pszDirectory, LPCWSTR pszPrefix);
    ~Tracer();
    void Print(LPCSTR pszFormat, va_list args);
    void Close();
    void Lock();
    void Unlock();

    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

private:
    void Open(LPCWSTR pszName);
};

const int cchTraceName = 1024;       // file name buffers, terminator included
const int cbTraceMessage = 1024;     // message of one line, terminator included

// Formats the trace file name; false when it does not fit in cchTraceName characters.
bool MakeTraceFileName(LPWSTR pszName, LPCWSTR pszDirectory, LPCWSTR pszPrefix,
                       const SYSTEMTIME& st);

// Formats the prefix of one line into a buffer of at least 1,024 bytes; returns its length.
int FormatLinePrefix(LPSTR pszPrefix, DWORD dwProcessId, DWORD dwThreadId, const SYSTEMTIME& st);

// Holds the registered tracer's lock, so that no other thread is inside a line meanwhile;
// returns the tracer to hand back to UnlockTrace (none when none is registered).
Tracer* LockTrace();
void UnlockTrace(Tracer* pTracer);

void SetTracer(Tracer* pTracer);
void RemoveTracer(Tracer* pTracer);
void TracePrint(LPCSTR pszFormat, ...);

// ---------------------------------------------------------------------------------------------
// Checks: a false condition writes one report line and nothing else happens.

void ReportAssert(LPCSTR pszCondition, LPCSTR pszFile, long nLine);
void ReportVerify(LPCSTR pszCondition, LPCSTR pszFile, long nLine);
void ReportApiCall(LPCSTR pszCondition, LPCSTR pszFile, long nLine);

// The report routines read the last error themselves, so nothing may run between the
// condition and them; a true condition leaves the last error untouched.
#define ASSERT(cond) \
    do { if (!(cond)) ReportAssert(#cond, __FILE__, __LINE__); } while (0)
#define VERIFY(cond) \
    do { if (!(cond)) ReportVerify(#cond, __FILE__, __LINE__); } while (0)
#define VERIFY_API_CALL(cond) \
    do { if (!(cond)) ReportApiCall(#cond, __FILE__, __LINE__); } while (0)
// An assertion whose report names the condition in the words given, where the code's own
// expression reads differently.
#define ASSERT_AS(cond, text) \
    do { if (!(cond)) ReportAssert(text, __FILE__, __LINE__); } while (0)

// ---------------------------------------------------------------------------------------------
// Heap blocks: zero-filled blocks of the process heap, released with a verified free.

// The heap that blocks come from; NULL means the process heap. Tests set a small heap of their
// own here to make allocations fail on cue.
extern HANDLE g_hBlockHeap;

inline HANDLE BlockHeap()
{
    return g_hBlockHeap != NULL ? g_hBlockHeap : GetProcessHeap();
}

inline void* AllocBlock(DWORD cbSize)
{
    void* ptr = HeapAlloc(BlockHeap(), HEAP_ZERO_MEMORY, cbSize);
    // HeapAlloc does not set the last error itself; give the report something true to say.
    if (ptr == NULL)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    VERIFY_API_CALL(ptr != NULL);
    return ptr;
}

inline void FreeBlock(void* pBlock)
{
    BOOL res = HeapFree(BlockHeap(), 0, pBlock);
    VERIFY_API_CALL(res != FALSE);
}

// A block for cItems items of T, zero-filled; none on failure (reported).
template <typename T>
T* AllocItems(DWORD cItems)
{
    return static_cast<T*>(AllocBlock(cItems * (DWORD)sizeof(T)));
}

// Scoped owner of one handle of a kind that Traits names: its type, its "nothing" value and its
// one release routine. Not copied, so never released twice; release() hands it over.
template <typename Traits>
class Owned
{
public:
    typedef typename Traits::Type Type;

    explicit Owned(Type h = Traits::None()) : m_h(h) {}
    ~Owned() { reset(); }

    Type get() const { return m_h; }
    bool IsOpen() const { return m_h != Traits::None(); }
    Type* out() { return &m_h; }        // for the call that fills it, while it holds none
    void reset(Type h = Traits::None())
    {
        if (m_h != Traits::None())
            Traits::Release(m_h);
        m_h = h;
    }
    Type release()
    {
        Type h = m_h;
        m_h = Traits::None();
        return h;
    }

    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

private:
    Type m_h;
};

// A message box whose caption and text are rows of the executable's string table (the text is
// pszText instead when that is given); the box's answer, or 0 when a text can't be had.
int ShowStringBox(HWND hwndOwner, UINT uCaption, UINT uText, LPCWSTR pszText, UINT uStyle);

// A row of the executable's string table into pszBuffer, cchBuffer characters with the
// terminator, cut to fit and always ended; empty when the row is missing. Its length.
int LoadStringRow(UINT uId, LPWSTR pszBuffer, DWORD cchBuffer);
// The same in a new heap text of cch characters; none when that can't be allocated.
LPWSTR AllocStringRow(UINT uId, DWORD cch);

// A zero-filled text of cch characters, terminator included.
inline LPWSTR AllocText(DWORD cch)
{
    return AllocItems<WCHAR>(cch);
}

// Scoped owner of one heap block (or none), typed as what it holds.
template <typename T>
class HeapPtr
{
public:
    explicit HeapPtr(T* pBlock = NULL) : m_pBlock(pBlock) {}
    ~HeapPtr() { reset(); }

    T* get() const { return m_pBlock; }
    void reset(T* pBlock = NULL)
    {
        if (m_pBlock != NULL)
            FreeBlock(m_pBlock);
        m_pBlock = pBlock;
    }
    // Hands the block over; the owner holds none afterwards.
    T* release()
    {
        T* pBlock = m_pBlock;
        m_pBlock = NULL;
        return pBlock;
    }

    HeapPtr(const HeapPtr&) = delete;
    HeapPtr& operator=(const HeapPtr&) = delete;

private:
    T* m_pBlock;
};

// ---------------------------------------------------------------------------------------------
// Wide-string routines. All compare code units exactly (letter case counts).

// Separates the items of the setup's lists: mirror URLs, companion masks, publisher pins.
const WCHAR chListSeparator = L';';

// The item of a list that starts at pszItem ends at *ppEnd, the separator or the terminator
// after it; returns where the next item starts, or none after the last. Empty items count:
// "a;;b;" holds four, the last of them empty.
LPCWSTR NextListItem(LPCWSTR pszItem, LPCWSTR* ppEnd);

void ZeroBytes(void* pStart, DWORD cb);
LPWSTR CopyChars(LPWSTR pszDest, LPCWSTR pszSource, DWORD cchMax);   // writes no terminator
LPCWSTR FindSubstring(LPCWSTR pszText, LPCWSTR pszPattern);
LPCWSTR FindChar(LPCWSTR pszText, WCHAR ch);
LPCWSTR FindLastChar(LPCWSTR pszText, WCHAR ch);
int CompareChars(LPCWSTR psz1, LPCWSTR psz2, DWORD cch);       // 0 equal, 1 different
int CompareStrings(LPCWSTR psz1, LPCWSTR psz2);                // 0, 1, or -1 for a proper prefix
LONG ParseDecimal(LPCWSTR pszText, LPWSTR* endptr, int base);  // saturates at 0x7FFFFFFF
LPWSTR FormatDecimal(LONG lValue, LPWSTR pszDest);             // writes no terminator
bool IsWhiteSpace(WCHAR ch);
// Appends without ever passing the capacity; false, with the buffer unchanged, if it would.
bool AppendBounded(LPWSTR pszBuffer, DWORD cchBuffer, LPCWSTR pszText);
