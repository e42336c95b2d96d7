// The product check of a downloaded package: a signature only says who made it, not that it is
// this product or newer than what it replaces. An older build with known holes, or another
// product of the same maker, is refused like a bad signature.
#include "package_product.h"
#include "setup_base/msi_database.h"
#include "setup_base/setup_base.h"

namespace {

const int cVersionFields = 4;
const DWORD dwLargestField = 0xFFFF;
const int cProperties = 2;
const LPCWSTR rgpszProperties[cProperties] = {L"UpgradeCode", L"ProductVersion"};

struct ProductIdentity
{
    WCHAR szUpgradeCode[cchPropertyValue];
    WCHAR szVersion[cchPropertyValue];
};

bool ReadIdentity(const MsiLibrary& msi, LPCWSTR pszPackage, ProductIdentity& identity)
{
    ZeroBytes(&identity, sizeof(identity));
    LPWSTR rgpszValues[cProperties] = {identity.szUpgradeCode, identity.szVersion};
    if (ReadPackageProperties(msi, pszPackage, rgpszProperties, rgpszValues, cProperties))
        return true;
    TracePrint("*** Verify package: can't read UpgradeCode and ProductVersion of %S ***",
               pszPackage);
    return false;
}

// The fields of a version, false for a text that is no version: a field without digits, or
// one past what a field of Windows Installer holds.
bool ParseFields(LPCWSTR psz, DWORD* rgdwFields)
{
    for (int i = 0; i < cVersionFields; ++i)
    {
        rgdwFields[i] = 0;
        if (*psz == L'\0')
            continue;
        if (*psz < L'0' || *psz > L'9')
            return false;
        for (; *psz >= L'0' && *psz <= L'9'; ++psz)
        {
            rgdwFields[i] = rgdwFields[i] * 10 + (DWORD)(*psz - L'0');
            if (rgdwFields[i] > dwLargestField)
                return false;
        }
        if (*psz == L'.' && i < cVersionFields - 1)
            ++psz;
        else if (*psz != L'\0')
            return false;
    }
    return true;
}

} // namespace

bool IsHigherVersion(LPCWSTR pszLater, LPCWSTR pszEarlier)
{
    DWORD rgdwLater[cVersionFields];
    DWORD rgdwEarlier[cVersionFields];
    if (!ParseFields(pszLater, rgdwLater) || !ParseFields(pszEarlier, rgdwEarlier))
        return false;
    for (int i = 0; i < cVersionFields; ++i)
    {
        if (rgdwLater[i] != rgdwEarlier[i])
            return rgdwLater[i] > rgdwEarlier[i];
    }
    return false;
}

bool IsLaterBuildOfProduct(LPCWSTR pszLocalPackage, LPCWSTR pszDownloadedPackage)
{
    MsiLibrary msi;
    if (!LoadMsiLibrary(msi))
    {
        TracePrint("*** Verify package: can't load msi.dll (%d) ***", (int)GetLastError());
        return false;
    }
    ProductIdentity local;
    ProductIdentity downloaded;
    bool bLater = ReadIdentity(msi, pszLocalPackage, local)
               && ReadIdentity(msi, pszDownloadedPackage, downloaded);
    FreeMsiLibrary(msi);
    if (!bLater)
        return false;
    if (lstrcmpiW(local.szUpgradeCode, downloaded.szUpgradeCode) != 0)
    {
        TracePrint("*** Verify package: UpgradeCode %S is not the local package's %S ***",
                   downloaded.szUpgradeCode, local.szUpgradeCode);
        return false;
    }
    if (!IsHigherVersion(downloaded.szVersion, local.szVersion))
    {
        TracePrint("*** Verify package: ProductVersion %S is not higher than the local "
                   "package's %S ***", downloaded.szVersion, local.szVersion);
        return false;
    }
    TracePrint("*** Verify package: same product, ProductVersion %S after %S ***",
               downloaded.szVersion, local.szVersion);
    return true;
}
