// Binding the package check's system libraries, its failure lines and its hashing.
#include "signature_api.h"
#include "setup_base/setup_base.h"
#include "setup_base/system_library.h"

namespace {

// Each library, then its entry points in the table's order; an empty name ends either list.
const char szEntryPoints[] =
    "crypt32.dll\0CryptQueryObject\0CryptMsgGetParam\0CryptMsgControl\0CryptMsgClose\0"
    "CertGetSubjectCertificateFromStore\0CertFreeCertificateContext\0CertCloseStore\0"
    "CertGetCertificateChain\0CertVerifyCertificateChainPolicy\0CertFreeCertificateChain\0"
    "CertCompareCertificateName\0CertGetNameStringW\0CryptHashPublicKeyInfo\0"
    "CryptMsgOpenToDecode\0CryptMsgUpdate\0CertOpenStore\0CryptDecodeObject\0\0"
    "wintrust.dll\0WinVerifyTrust\0\0"
    "ole32.dll\0StgOpenStorage\0CoTaskMemFree\0\0"
    "advapi32.dll\0CryptAcquireContextW\0CryptReleaseContext\0CryptCreateHash\0"
    "CryptHashData\0CryptGetHashParam\0CryptDestroyHash\0\0";
const int cLibraries = 4;
const int cEntryPoints = 26;
static_assert(sizeof(SignatureApiTable) == cEntryPoints * sizeof(FARPROC), "a slot per name");

union SignatureApiSlots
{
    SignatureApiTable table;
    FARPROC rgpfn[cEntryPoints];
};

SignatureApiSlots g_slots;
HMODULE g_rghLibrary[cLibraries];

const char szReadFailed[] = "can't read its content";

} // namespace

SignatureApiTable& Api = g_slots.table;
HCRYPTPROV g_hProvider;
LPCSTR g_pszSubject;               // set by BindApi

bool FailStep(LPCSTR pszStep, DWORD dwError)
{
    TracePrint("*** Verify %s: %s (0x%08X) ***", g_pszSubject, pszStep, (int)dwError);
    return false;
}

bool FailToRead(HRESULT hr)
{
    return FailStep(szReadFailed, (DWORD)hr);
}

bool FailToHash()
{
    return FailStep("can't hash", GetLastError());
}

bool FailNotSha256()
{
    TracePrint("*** Verify %s: not signed with SHA-256 ***", g_pszSubject);
    return false;
}

bool BindApi(LPCSTR pszSubject)
{
    g_pszSubject = pszSubject;
    WCHAR szPath[MAX_PATH + 16];
    UINT cchSystem = GetSystemDirectoryW(szPath, MAX_PATH);
    if (cchSystem == 0 || cchSystem >= MAX_PATH)
        return FailStep("can't get the system directory", GetLastError());
    LPCSTR psz = szEntryPoints;
    FARPROC* ppfnSlot = g_slots.rgpfn;
    for (int iLibrary = 0; *psz != '\0'; ++iLibrary, ++psz)
    {
        LPWSTR pch = szPath + cchSystem;
        *pch++ = L'\\';
        while (*psz != '\0')
            *pch++ = (WCHAR)*psz++;
        *pch = L'\0';
        g_rghLibrary[iLibrary] = LoadLibraryByPath(szPath);
        if (g_rghLibrary[iLibrary] == NULL)
        {
            TracePrint("*** Verify %s: can't load %S (0x%08X) ***", g_pszSubject, szPath,
                       (int)GetLastError());
            return false;
        }
        LPCSTR pszMissing = BindEntryPoints(g_rghLibrary[iLibrary], ++psz, ppfnSlot);
        if (pszMissing != NULL)
        {
            TracePrint("*** Verify %s: can't find %s in %S ***", g_pszSubject, pszMissing,
                       szPath);
            return false;
        }
        for (; *psz != '\0'; psz += lstrlenA(psz) + 1)
            ++ppfnSlot;
    }
    return Api.CryptAcquireContextW(&g_hProvider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)
        || FailToHash();
}

void UnbindApi()
{
    if (g_hProvider != 0)
    {
        BOOL res = Api.CryptReleaseContext(g_hProvider, 0);
        VERIFY_API_CALL(res != FALSE);
        g_hProvider = 0;
    }
    for (int i = 0; i < cLibraries; ++i)
    {
        if (g_rghLibrary[i] != NULL)
        {
            BOOL res = FreeLibrary(g_rghLibrary[i]);
            VERIFY_API_CALL(res != FALSE);
            g_rghLibrary[i] = NULL;
        }
    }
    ZeroBytes(&g_slots, sizeof(g_slots));
}

bool SameBytes(const BYTE* pb1, const BYTE* pb2, DWORD cb)
{
    for (; cb > 0; --cb)
    {
        if (*pb1++ != *pb2++)
            return false;
    }
    return true;
}

HCRYPTHASH BeginHash()
{
    HCRYPTHASH hHash = 0;
    if (!Api.CryptCreateHash(g_hProvider, CALG_SHA_256, 0, 0, &hHash))
        FailToHash();
    return hHash;
}

bool HashData(HCRYPTHASH hHash, const BYTE* pb, DWORD cb)
{
    return Api.CryptHashData(hHash, pb, cb, 0) || FailToHash();
}

bool GetHashValue(HCRYPTHASH hHash, BYTE* pbDigest)
{
    DWORD cb = cbSha256;
    return Api.CryptGetHashParam(hHash, HP_HASHVAL, pbDigest, &cb, 0) || FailToHash();
}

bool HashBlock(const BYTE* pb, DWORD cb, BYTE* pbDigest)
{
    HashHandle hash;
    return hash.get() != 0 && HashData(hash.get(), pb, cb) && GetHashValue(hash.get(), pbDigest);
}
