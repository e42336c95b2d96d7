// Stands in for msi.dll in a throw-away prefix: DllGetVersion reports the version that
// FAKE_MSI_VERSION names ("major.minor"), and fails when it names none. A '!' after the version
// makes it fail all the same, the version written: what a failed call leaves is no answer. The
// library has none of msi.dll's other exports.
#include <windows.h>
#include <shlwapi.h>

namespace {

// The decimal number at psz; psz moves past it. False when no digit is there.
bool ReadNumber(LPCSTR& psz, DWORD& dwValue)
{
    dwValue = 0;
    LPCSTR pszStart = psz;
    for (; *psz >= '0' && *psz <= '9'; ++psz)
        dwValue = dwValue * 10 + (DWORD)(*psz - '0');
    return psz != pszStart;
}

} // namespace

extern "C" __declspec(dllexport) HRESULT CALLBACK DllGetVersion(DLLVERSIONINFO* pdvi)
{
    char szVersion[32];
    DWORD cch = GetEnvironmentVariableA("FAKE_MSI_VERSION", szVersion, sizeof(szVersion));
    if (pdvi == NULL || cch == 0 || cch >= sizeof(szVersion))
        return E_FAIL;
    LPCSTR psz = szVersion;
    DWORD dwMajor = 0;
    DWORD dwMinor = 0;
    if (!ReadNumber(psz, dwMajor) || *psz++ != '.' || !ReadNumber(psz, dwMinor)
        || (*psz != '\0' && *psz != '!'))
        return E_FAIL;
    pdvi->dwMajorVersion = dwMajor;
    pdvi->dwMinorVersion = dwMinor;
    pdvi->dwBuildNumber = 0;
    pdvi->dwPlatformID = DLLVER_PLATFORM_NT;
    return *psz == '!' ? E_FAIL : S_OK;
}
