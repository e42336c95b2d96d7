// Build versions and the build-information file.
#include "build_info.h"

namespace {

const int cParts = 4;
const DWORD cchVersionText = 1024;    // 2,048 bytes
const DWORD dwLargestSigned = 0x7FFFFFFF;

const WCHAR chPartSeparator = L'.';

LPCWSTR SkipWhiteSpace(LPCWSTR psz)
{
    while (IsWhiteSpace(*psz))
        ++psz;
    return psz;
}

LPCWSTR SkipToken(LPCWSTR psz)
{
    while (*psz != L'\0' && !IsWhiteSpace(*psz))
        ++psz;
    return psz;
}

// A URL list may hold spaces and tabs; only a line end or the end of the text closes it.
LPCWSTR SkipToLineEnd(LPCWSTR psz)
{
    while (*psz != L'\0' && *psz != L'\r' && *psz != L'\n')
        ++psz;
    return psz;
}

// A new terminated block holding the characters from pBegin up to pEnd, or none.
LPWSTR CopyPiece(LPCWSTR pBegin, LPCWSTR pEnd)
{
    size_t cchPiece = (size_t)(pEnd - pBegin);
    // The block's size is a 32-bit byte count; a piece beyond it must not wrap to a small one.
    if (cchPiece >= MAXDWORD / sizeof(WCHAR))
        return NULL;
    LPWSTR pszPiece = AllocText((DWORD)(cchPiece + 1));
    if (pszPiece != NULL)
        CopyChars(pszPiece, pBegin, (DWORD)cchPiece);
    return pszPiece;
}

// The key goes into a fixed field; a longer one is cut there rather than written past it.
void CopyKey(BuildInfo& info, LPCWSTR pszKey)
{
    ZeroBytes(info.szKey, sizeof(info.szKey));
    CopyChars(info.szKey, pszKey, cchBuildKey - 1);
}

// The start of the version token of the key's next occurrence at or after pszFrom, or none
// when there is none or the occurrence is only part of a longer word.
LPCWSTR FindVersionToken(LPCWSTR pszFrom, LPCWSTR pszKey)
{
    LPCWSTR pszFound = FindSubstring(pszFrom, pszKey);
    if (pszFound == NULL)
        return NULL;
    LPCWSTR pszAfter = pszFound + lstrlenW(pszKey);
    if (!IsWhiteSpace(*pszAfter))
        return NULL;
    return SkipWhiteSpace(pszAfter);
}

bool ParseVersionToken(LPCWSTR pBegin, LPCWSTR pEnd, BuildVersion& version)
{
    LPWSTR pszToken = CopyPiece(pBegin, pEnd);
    if (pszToken == NULL)
        return false;
    version = ParseVersion(pszToken);
    FreeBlock(pszToken);
    return IsSet(version);
}

// The URL list follows the version, on the same line or, when that line ends there, the next.
bool TakeUrlList(LPCWSTR pszAfterVersion, BuildInfo& info)
{
    LPCWSTR pBegin = SkipWhiteSpace(pszAfterVersion);
    LPCWSTR pEnd = SkipToLineEnd(pBegin);
    if (pEnd == pBegin)
        return false;
    LPWSTR pszUrlList = CopyPiece(pBegin, pEnd);
    if (pszUrlList == NULL)
        return false;
    SetUrlList(info, pszUrlList);
    return true;
}

// Writes the part's digits at pszDest and returns the position after them. FormatDecimal works
// on signed values, so a part of 2^31 or more is written as its tenth and then its last digit,
// which shows it as the unsigned number it is.
LPWSTR AppendPart(LPWSTR pszDest, DWORD dwPart)
{
    if (dwPart > dwLargestSigned)
    {
        pszDest = AppendPart(pszDest, dwPart / 10);
        *pszDest = (WCHAR)(L'0' + dwPart % 10);
        return pszDest + 1;
    }
    // The destination is zero-filled past the digits, so they are terminated.
    FormatDecimal((LONG)dwPart, pszDest);
    return pszDest + lstrlenW(pszDest);
}

// ---------------------------------------------------------------------------------------------
// Reading the file back

// False for a size that cannot be taken, and, with a line of its own, for a file above the
// bound (the high part counts too, or a 4 GiB file would pass as a small one).
bool GetBoundedSize(HANDLE hLocal, DWORD cbMax, DWORD& cbFile)
{
    DWORD dwSizeHigh = 0;
    cbFile = GetFileSize(hLocal, &dwSizeHigh);
    if (cbFile == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    if (dwSizeHigh != 0 || cbFile > cbMax)
    {
        TracePrint("*** Read build information: file larger than %d bytes ***", (int)cbMax);
        return false;
    }
    return true;
}

// A file that changed size since its size was taken is not the one that was copied, and half a
// line might pass for a whole one; only the whole file is taken.
bool ReadWholeFile(HANDLE hLocal, void* pBuffer, DWORD cbFile)
{
    DWORD cbRead = 0;
    if (!ReadFile(hLocal, pBuffer, cbFile, &cbRead, NULL))
        return false;
    return cbRead == cbFile;
}

// The 8-bit text ends at its first NUL byte, which the block's zero fill supplies at the latest.
bool ConvertAnsiText(LPCSTR pszAnsi, LPWSTR pszWide, DWORD cchWide)
{
    int cchConverted = MultiByteToWideChar(CP_ACP, 0, pszAnsi, -1, pszWide, (int)cchWide);
    VERIFY_API_CALL(cchConverted != 0);
    return cchConverted != 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Versions

BuildVersion MakeVersion(DWORD dwMajor, DWORD dwMinor, DWORD dwRelease, DWORD dwBuild)
{
    BuildVersion version;
    version.dwMajor = dwMajor;
    version.dwMinor = dwMinor;
    version.dwRelease = dwRelease;
    version.dwBuild = dwBuild;
    return version;
}

void ClearVersion(BuildVersion& version)
{
    version = MakeVersion(0, 0, 0, 0);
}

bool IsSet(const BuildVersion& version)
{
    return version.dwMajor != 0 || version.dwMinor != 0 || version.dwRelease != 0 ||
           version.dwBuild != 0;
}

bool IsLess(const BuildVersion& a, const BuildVersion& b)
{
    if (a.dwMajor != b.dwMajor)
        return a.dwMajor < b.dwMajor;
    if (a.dwMinor != b.dwMinor)
        return a.dwMinor < b.dwMinor;
    if (a.dwRelease != b.dwRelease)
        return a.dwRelease < b.dwRelease;
    return a.dwBuild < b.dwBuild;
}

LPWSTR FormatVersion(const BuildVersion& version)
{
    LPWSTR pszText = AllocText(cchVersionText);
    if (pszText == NULL)
        return NULL;
    LPWSTR pszEnd = AppendPart(pszText, version.dwMajor);
    *pszEnd++ = chPartSeparator;
    pszEnd = AppendPart(pszEnd, version.dwMinor);
    *pszEnd++ = chPartSeparator;
    pszEnd = AppendPart(pszEnd, version.dwRelease);
    *pszEnd++ = chPartSeparator;
    AppendPart(pszEnd, version.dwBuild);
    return pszText;
}

// Digits wrap round in 32 bits; the file holds no such parts.
BuildVersion ParseVersion(LPCWSTR pszText)
{
    TracePrint("*** Parse version: start ***");
    DWORD adwParts[cParts] = {0, 0, 0, 0};
    LPCWSTR psz = SkipWhiteSpace(pszText);
    for (int i = 0; i < cParts && *psz != L'\0'; ++i)
    {
        DWORD dwValue = 0;
        for (; *psz >= L'0' && *psz <= L'9'; ++psz)
            dwValue = dwValue * 10 + (DWORD)(*psz - L'0');
        bool bLast = i == cParts - 1;
        if (*psz != chPartSeparator && !bLast)
            return MakeVersion(0, 0, 0, 0);
        adwParts[i] = dwValue;
        if (!bLast)
            ++psz;
    }
    TracePrint("*** Version: %d.%d.%d.%d ***", (int)adwParts[0], (int)adwParts[1],
               (int)adwParts[2], (int)adwParts[3]);
    TracePrint("*** Parse version: end ***");
    return MakeVersion(adwParts[0], adwParts[1], adwParts[2], adwParts[3]);
}

// ---------------------------------------------------------------------------------------------
// Build information

void InitBuildInfo(BuildInfo& info)
{
    ZeroBytes(info.szKey, sizeof(info.szKey));
    ClearVersion(info.version);
    info.pszUrlList.reset();
}

void SetUrlList(BuildInfo& info, LPWSTR pszUrlList)
{
    info.pszUrlList.reset(pszUrlList);
}

void ReleaseBuildInfo(BuildInfo& info)
{
    info.pszUrlList.reset();
}

// A line of the key with another major is passed over: the search goes on from its version.
bool ParseBuildInformation(LPCWSTR pszText, LPCWSTR pszKey, DWORD dwMajor, BuildInfo& info)
{
    TracePrint("*** Parse build information: start ***");
    CopyKey(info, pszKey);
    LPCWSTR pszFrom = pszText;
    LPCWSTR pszVersionEnd = NULL;
    do
    {
        if (*pszFrom == L'\0')
        {
            TracePrint("*** Parse build information: end ***");
            return true;
        }
        LPCWSTR pszVersion = FindVersionToken(pszFrom, pszKey);
        if (pszVersion == NULL)
            return false;
        pszVersionEnd = SkipToken(pszVersion);
        if (!ParseVersionToken(pszVersion, pszVersionEnd, info.version))
            return false;
        pszFrom = pszVersion;
    } while (info.version.dwMajor != dwMajor);

    if (!TakeUrlList(pszVersionEnd, info))
        return false;
    TracePrint("*** Parse build information: end ***");
    return true;
}

char* ReadLocalFile(HANDLE hLocal, DWORD cbMax, DWORD& cbFile)
{
    ASSERT(hLocal != INVALID_HANDLE_VALUE);
    cbFile = 0;
    if (SetFilePointer(hLocal, 0, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER
        || !GetBoundedSize(hLocal, cbMax, cbFile))
        return NULL;
    // The bound keeps size + 1 and its double far from wrapping round.
    HeapPtr<char> ptrAnsi(AllocItems<char>(cbFile + 1));
    if (ptrAnsi.get() == NULL || !ReadWholeFile(hLocal, ptrAnsi.get(), cbFile))
        return NULL;
    return ptrAnsi.release();
}

bool ParseBuildInformationText(LPCSTR pszText, DWORD cbText, LPCWSTR pszKey, DWORD dwMajor,
                               BuildInfo& info)
{
    HeapPtr<WCHAR> ptrWide(AllocText(cbText + 1));
    if (ptrWide.get() == NULL)
        return false;
    if (!ConvertAnsiText(pszText, ptrWide.get(), cbText + 1))
        return false;
    return ParseBuildInformation(ptrWide.get(), pszKey, dwMajor, info);
}

bool ReadBuildInformation(LPCWSTR pszKey, DWORD dwMajor, BuildInfo& info, HANDLE hLocal)
{
    DWORD cbFile = 0;
    HeapPtr<char> ptrAnsi(ReadLocalFile(hLocal, cbBuildInformationMax, cbFile));
    return ptrAnsi.get() != NULL
        && ParseBuildInformationText(ptrAnsi.get(), cbFile, pszKey, dwMajor, info);
}
