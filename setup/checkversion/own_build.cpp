// The running build's own version, read from its version block.
#include "own_build.h"

namespace {

// The block starts with its length, its value's length, its type and its key, the fixed part
// after them on 32 bits.
const DWORD cbVersionHeader = 3 * sizeof(WORD) + sizeof(L"VS_VERSION_INFO");
const DWORD ibFixedInfo = (cbVersionHeader + 3) & ~3;

const VS_FIXEDFILEINFO* FindFixedInfo()
{
    HMODULE hModule = GetModuleHandleW(NULL);
    HRSRC hInfo = FindResourceW(hModule, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    HGLOBAL hData = hInfo != NULL ? LoadResource(hModule, hInfo) : NULL;
    const BYTE* pb = hData != NULL ? (const BYTE*)LockResource(hData) : NULL;
    if (pb == NULL || SizeofResource(hModule, hInfo) < ibFixedInfo + sizeof(VS_FIXEDFILEINFO))
        return NULL;
    const VS_FIXEDFILEINFO* pFixed = (const VS_FIXEDFILEINFO*)(pb + ibFixedInfo);
    return pFixed->dwSignature == VS_FFI_SIGNATURE ? pFixed : NULL;
}

} // namespace

BuildVersion OwnBuildVersion(bool bPackageExists)
{
    BuildVersion version;
    ClearVersion(version);
    const VS_FIXEDFILEINFO* pFixed = FindFixedInfo();
    if (pFixed == NULL)
    {
        TracePrint("*** Own build: no version block ***");
        return version;
    }
    version.dwMajor = HIWORD(pFixed->dwFileVersionMS);
    if (!bPackageExists)
        return version;
    return MakeVersion(version.dwMajor, LOWORD(pFixed->dwFileVersionMS),
                       HIWORD(pFixed->dwFileVersionLS), LOWORD(pFixed->dwFileVersionLS));
}
