// msi.dll bound at run time: a package's properties and a product's installed state.
#include "msi_database.h"
#include "setup_base.h"
#include "system_library.h"

namespace {

const char szEntryPoints[] =
    "MsiOpenDatabaseW\0MsiDatabaseOpenViewW\0MsiViewExecute\0MsiViewFetch\0"
    "MsiRecordGetStringW\0MsiCloseHandle\0MsiQueryProductStateW\0MsiEnumRelatedProductsW\0"
    "MsiGetProductInfoW\0";
const int cEntryPoints = 9;
static_assert(sizeof(MsiLibrary::rgpfnSlots) == cEntryPoints * sizeof(FARPROC), "a slot per name");
const WCHAR szQueryFormat[] = L"SELECT `Value` FROM `Property` WHERE `Property`='%s'";
const DWORD cchQuery = 128;

bool ReadProperty(const MsiApi& api, MSIHANDLE hDatabase, LPCWSTR pszName, LPWSTR pszValue)
{
    WCHAR szQuery[cchQuery];
    if (lstrlenW(szQueryFormat) + lstrlenW(pszName) >= (int)cchQuery)
        return false;
    wsprintfW(szQuery, szQueryFormat, pszName);
    MSIHANDLE hView = 0;
    MSIHANDLE hRecord = 0;
    DWORD cchValue = cchPropertyValue;
    bool bRead = api.MsiDatabaseOpenViewW(hDatabase, szQuery, &hView) == ERROR_SUCCESS
              && api.MsiViewExecute(hView, 0) == ERROR_SUCCESS
              && api.MsiViewFetch(hView, &hRecord) == ERROR_SUCCESS
              && api.MsiRecordGetStringW(hRecord, 1, pszValue, &cchValue) == ERROR_SUCCESS
              && pszValue[0] != L'\0';
    if (hRecord != 0)
        api.MsiCloseHandle(hRecord);
    if (hView != 0)
        api.MsiCloseHandle(hView);
    return bRead;
}

} // namespace

bool LoadMsiLibrary(MsiLibrary& library)
{
    library.hModule = BindSystemLibrary(L"msi.dll", szEntryPoints, library.rgpfnSlots);
    return library.hModule != NULL;
}

void FreeMsiLibrary(MsiLibrary& library)
{
    if (library.hModule != NULL)
        FreeLibrary(library.hModule);
    library.hModule = NULL;
}

bool ReadPackageProperties(const MsiLibrary& library, LPCWSTR pszPackage,
                           const LPCWSTR* rgpszNames, LPWSTR* rgpszValues, int cNames)
{
    const MsiApi& api = library.api;
    MSIHANDLE hDatabase = 0;
    bool bRead = api.MsiOpenDatabaseW(pszPackage, MSIDBOPEN_READONLY, &hDatabase) == ERROR_SUCCESS;
    for (int i = 0; bRead && i < cNames; ++i)
        bRead = ReadProperty(api, hDatabase, rgpszNames[i], rgpszValues[i]);
    if (hDatabase != 0)
        api.MsiCloseHandle(hDatabase);
    return bRead;
}
