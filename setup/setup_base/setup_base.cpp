// Check reports and the wide-string routines.
#include "setup_base.h"

HANDLE g_hBlockHeap = NULL;

// ---------------------------------------------------------------------------------------------
// Check reports

void ReportAssert(LPCSTR pszCondition, LPCSTR pszFile, long nLine)
{
    TracePrint("*** ASSERT: %s (%s, %ld) ***", pszCondition, pszFile, nLine);
}

void ReportVerify(LPCSTR pszCondition, LPCSTR pszFile, long nLine)
{
    TracePrint("*** VERIFY: %s (%s, %ld) ***", pszCondition, pszFile, nLine);
}

void ReportApiCall(LPCSTR pszCondition, LPCSTR pszFile, long nLine)
{
    int nError = (int)GetLastError();
    TracePrint("*** VERIFY API CALL: %s (%s, %ld): %d ***", pszCondition, pszFile, nLine, nError);
}

// ---------------------------------------------------------------------------------------------
// Wide-string routines

void ZeroBytes(void* pStart, DWORD cb)
{
    // volatile keeps the compiler from turning this into a call to the C library's memset.
    volatile BYTE* pb = (volatile BYTE*)pStart;
    while (cb-- > 0)
        *pb++ = 0;
}

LPWSTR CopyChars(LPWSTR pszDest, LPCWSTR pszSource, DWORD cchMax)
{
    while (cchMax > 0 && *pszSource != L'\0')
    {
        *pszDest++ = *pszSource++;
        --cchMax;
    }
    return pszDest;
}

LPCWSTR FindSubstring(LPCWSTR pszText, LPCWSTR pszPattern)
{
    if (*pszPattern == L'\0')
        return NULL;
    for (; *pszText != L'\0'; ++pszText)
    {
        int i = 0;
        while (pszPattern[i] != L'\0' && pszText[i] == pszPattern[i])
            ++i;
        if (pszPattern[i] == L'\0')
            return pszText;
    }
    return NULL;
}

LPCWSTR FindChar(LPCWSTR pszText, WCHAR ch)
{
    for (; *pszText != L'\0'; ++pszText)
    {
        if (*pszText == ch)
            return pszText;
    }
    return NULL;
}

LPCWSTR FindLastChar(LPCWSTR pszText, WCHAR ch)
{
    for (int i = lstrlenW(pszText) - 1; i >= 0; --i)
    {
        if (pszText[i] == ch)
            return pszText + i;
    }
    return NULL;
}

int CompareChars(LPCWSTR psz1, LPCWSTR psz2, DWORD cch)
{
    for (DWORD i = 0; i < cch; ++i)
    {
        if (psz1[i] != psz2[i])
            return 1;
        if (psz1[i] == L'\0')
            return 0;
    }
    return 0;
}

int CompareStrings(LPCWSTR psz1, LPCWSTR psz2)
{
    for (;; ++psz1, ++psz2)
    {
        if (*psz1 == L'\0')
            return *psz2 == L'\0' ? 0 : -1;
        if (*psz2 == L'\0' || *psz1 != *psz2)
            return 1;
    }
}

LONG ParseDecimal(LPCWSTR pszText, LPWSTR* endptr, int base)
{
    ASSERT(endptr == NULL);
    ASSERT(base == 10);

    const LONG lMax = 0x7FFFFFFF;
    LONG lValue = 0;
    for (; *pszText >= L'0' && *pszText <= L'9'; ++pszText)
    {
        LONG lDigit = *pszText - L'0';
        // A value past 32 bits saturates: a huge length must not wrap round to a small one.
        if (lValue > (lMax - lDigit) / 10)
            lValue = lMax;
        else
            lValue = lValue * 10 + lDigit;
    }
    return lValue;
}

LPWSTR FormatDecimal(LONG lValue, LPWSTR pszDest)
{
    LPWSTR pszDigits = pszDest;
    // Unsigned, so that the smallest value has a magnitude too.
    DWORD dwMagnitude = (DWORD)lValue;
    if (lValue < 0)
    {
        *pszDigits++ = L'-';
        dwMagnitude = 0u - dwMagnitude;
    }
    LPWSTR pszEnd = pszDigits;
    do
    {
        *pszEnd++ = (WCHAR)(L'0' + dwMagnitude % 10);
        dwMagnitude /= 10;
    } while (dwMagnitude != 0);

    for (LPWSTR pszLow = pszDigits, pszHigh = pszEnd - 1; pszLow < pszHigh; ++pszLow, --pszHigh)
    {
        WCHAR ch = *pszLow;
        *pszLow = *pszHigh;
        *pszHigh = ch;
    }
    return pszDest;
}

bool IsWhiteSpace(WCHAR ch)
{
    return (ch >= 9 && ch <= 13) || ch == 32;
}

bool AppendBounded(LPWSTR pszBuffer, DWORD cchBuffer, LPCWSTR pszText)
{
    DWORD cchUsed = (DWORD)lstrlenW(pszBuffer);
    if (cchUsed + (DWORD)lstrlenW(pszText) >= cchBuffer)
        return false;
    lstrcpyW(pszBuffer + cchUsed, pszText);
    return true;
}

LPCWSTR NextListItem(LPCWSTR pszItem, LPCWSTR* ppEnd)
{
    while (*pszItem != L'\0' && *pszItem != chListSeparator)
        ++pszItem;
    *ppEnd = pszItem;
    return *pszItem == chListSeparator ? pszItem + 1 : NULL;
}

int LoadStringRow(UINT uId, LPWSTR pszBuffer, DWORD cchBuffer)
{
    // A missing row writes nothing at all: the buffer is emptied first.
    pszBuffer[0] = L'\0';
    int cchLoaded = LoadStringW(GetModuleHandleW(NULL), uId, pszBuffer, (int)cchBuffer);
    pszBuffer[cchBuffer - 1] = L'\0';
    return cchLoaded;
}

LPWSTR AllocStringRow(UINT uId, DWORD cch)
{
    LPWSTR pszText = AllocText(cch);
    if (pszText != NULL)
        LoadStringRow(uId, pszText, cch);
    return pszText;
}

int ShowStringBox(HWND hwndOwner, UINT uCaption, UINT uText, LPCWSTR pszText, UINT uStyle)
{
    const DWORD cchText = 4096;
    HeapPtr<WCHAR> caption(AllocStringRow(uCaption, cchText));
    HeapPtr<WCHAR> text(pszText == NULL ? AllocStringRow(uText, cchText) : NULL);
    if (caption.get() == NULL || (pszText == NULL && text.get() == NULL))
        return 0;
    return MessageBoxW(hwndOwner, pszText != NULL ? pszText : text.get(), caption.get(), uStyle);
}
