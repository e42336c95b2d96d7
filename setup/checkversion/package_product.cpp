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

bool IsSet(LPCWSTR psz)
{
    return psz != NULL && psz[0] != L'\0';
}

// One rule of what the download must be: this UpgradeCode, and a ProductVersion higher than
// the one given (nLeast 1) or at least that one (nLeast 0); an empty or missing part holds any.
bool Satisfies(const ProductIdentity& downloaded, LPCWSTR pszUpgradeCode, LPCWSTR pszVersion,
               int nLeast, LPCSTR pszWhose)
{
    if (IsSet(pszUpgradeCode) && !IsSameGuid(downloaded.szUpgradeCode, pszUpgradeCode))
    {
        TracePrint("*** Verify package: UpgradeCode %S is not %s %S ***",
                   downloaded.szUpgradeCode, pszWhose, pszUpgradeCode);
        return false;
    }
    int nOrder = 0;
    if (!IsSet(pszVersion)
        || (CompareVersions(downloaded.szVersion, pszVersion, &nOrder) && nOrder >= nLeast))
        return true;
    TracePrint("*** Verify package: ProductVersion %S is not %s %s %S ***", downloaded.szVersion,
               nLeast > 0 ? "higher than" : "at least", pszWhose, pszVersion);
    return false;
}

// A repair from an old disc must not install a build older than the one on the machine.
bool IsLaterThanInstalled(const MsiApi& api, const ProductIdentity& downloaded)
{
    WCHAR szProduct[cchPropertyValue];
    UINT uEnum = ERROR_SUCCESS;
    for (DWORD i = 0; uEnum == ERROR_SUCCESS; ++i)
    {
        uEnum = api.MsiEnumRelatedProductsW(downloaded.szUpgradeCode, 0, i, szProduct);
        WCHAR szInstalled[cchPropertyValue];
        DWORD cchInstalled = cchPropertyValue;
        if (uEnum == ERROR_SUCCESS
            && (api.MsiGetProductInfoW(szProduct, INSTALLPROPERTY_VERSIONSTRING, szInstalled,
                                       &cchInstalled) != ERROR_SUCCESS
                || !Satisfies(downloaded, NULL, szInstalled, 1, "the installed")))
            return false;
    }
    if (uEnum == ERROR_NO_MORE_ITEMS)
        return true;
    TracePrint("*** Verify package: can't list installed builds (%d) ***", (int)uEnum);
    return false;
}

} // namespace

bool CompareVersions(LPCWSTR psz1, LPCWSTR psz2, int* pnOrder)
{
    DWORD rgdw1[cVersionFields];
    DWORD rgdw2[cVersionFields];
    *pnOrder = 0;
    if (!ParseFields(psz1, rgdw1) || !ParseFields(psz2, rgdw2))
        return false;
    for (int i = 0; i < cVersionFields && *pnOrder == 0; ++i)
        *pnOrder = rgdw1[i] == rgdw2[i] ? 0 : rgdw1[i] > rgdw2[i] ? 1 : -1;
    return true;
}

bool IsHigherVersion(LPCWSTR pszLater, LPCWSTR pszEarlier)
{
    int nOrder = 0;
    return CompareVersions(pszLater, pszEarlier, &nOrder) && nOrder > 0;
}

bool IsSameGuid(LPCWSTR psz1, LPCWSTR psz2)
{
    return CompareStringOrdinal(psz1, -1, psz2, -1, TRUE) == CSTR_EQUAL;
}

bool IsAcceptedProduct(LPCWSTR pszUpgradeCode, LPCWSTR pszLowestVersion, LPCWSTR pszLocalPackage,
                       LPCWSTR pszDownloadedPackage, bool bAnchored)
{
    // Where nothing vouches for the download, only the rows a maker set make it worth reading.
    if (!bAnchored && !IsSet(pszUpgradeCode) && !IsSet(pszLowestVersion))
        return true;
    MsiLibrary msi;
    if (!LoadMsiLibrary(msi))
    {
        TracePrint("*** Verify package: can't load msi.dll (%d) ***", (int)GetLastError());
        return false;
    }
    ProductIdentity local;
    ProductIdentity downloaded;
    bool bLocal = pszLocalPackage != NULL;
    bool bAccepted = ReadIdentity(msi, pszDownloadedPackage, downloaded)
                  && (!bLocal || ReadIdentity(msi, pszLocalPackage, local))
                  && Satisfies(downloaded, pszUpgradeCode, pszLowestVersion, 0, "the product's")
                  && (!bLocal || Satisfies(downloaded, local.szUpgradeCode, local.szVersion, 1,
                                           "the local package's"))
                  && IsLaterThanInstalled(msi.api, downloaded);
    FreeMsiLibrary(msi);
    if (bAccepted && bLocal)
        TracePrint("*** Verify package: same product, ProductVersion %S after %S ***",
                   downloaded.szVersion, local.szVersion);
    return bAccepted;
}
