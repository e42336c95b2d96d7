// The system libraries of the package check (crypt32, wintrust, ole32, advapi32), bound from the
// system directory for the length of one check, and what the check's steps share: their failure
// lines and hashing.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <ole2.h>

// Slot types come from the SDK's own declarations, so a wrong signature does not compile.
struct SignatureApiTable
{
    decltype(::CryptQueryObject)* CryptQueryObject;
    decltype(::CryptMsgGetParam)* CryptMsgGetParam;
    decltype(::CryptMsgControl)* CryptMsgControl;
    decltype(::CryptMsgClose)* CryptMsgClose;
    decltype(::CertGetSubjectCertificateFromStore)* CertGetSubjectCertificateFromStore;
    decltype(::CertFreeCertificateContext)* CertFreeCertificateContext;
    decltype(::CertCloseStore)* CertCloseStore;
    decltype(::CertGetCertificateChain)* CertGetCertificateChain;
    decltype(::CertVerifyCertificateChainPolicy)* CertVerifyCertificateChainPolicy;
    decltype(::CertFreeCertificateChain)* CertFreeCertificateChain;
    decltype(::CertCompareCertificateName)* CertCompareCertificateName;
    decltype(::CertGetNameStringW)* CertGetNameStringW;
    decltype(::CryptHashPublicKeyInfo)* CryptHashPublicKeyInfo;
    decltype(::CryptMsgOpenToDecode)* CryptMsgOpenToDecode;
    decltype(::CryptMsgUpdate)* CryptMsgUpdate;
    decltype(::CertOpenStore)* CertOpenStore;
    decltype(::CryptDecodeObject)* CryptDecodeObject;
    decltype(::WinVerifyTrust)* WinVerifyTrust;
    decltype(::StgOpenStorage)* StgOpenStorage;
    decltype(::CoTaskMemFree)* CoTaskMemFree;
    decltype(::CryptAcquireContextW)* CryptAcquireContextW;
    decltype(::CryptReleaseContext)* CryptReleaseContext;
    decltype(::CryptCreateHash)* CryptCreateHash;
    decltype(::CryptHashData)* CryptHashData;
    decltype(::CryptGetHashParam)* CryptGetHashParam;
    decltype(::CryptDestroyHash)* CryptDestroyHash;
};

extern SignatureApiTable& Api;

const DWORD cbSha256 = 32;          // bytes of every hash value written below
extern HCRYPTPROV g_hProvider;     // SHA-256 capable, verification only
extern LPCSTR g_pszSubject;        // what is checked, as the failure lines name it

const DWORD dwEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// The DER of SHA-256's object identifier, tag and length included; the tag of an octet string.
const BYTE rgbSha256Oid[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const BYTE bOctetString = 0x04;
const WCHAR szSignatureStream[] = L"\x05" L"DigitalSignature";
const WCHAR szExtendedSignatureStream[] = L"\x05" L"MsiDigitalSignatureEx";

// The system directory's copies only: a crypt32.dll planted beside a downloaded setup.exe must
// never be the one that judges packages. On failure the caller still unbinds what was bound.
bool BindApi(LPCSTR pszSubject = "package");
void UnbindApi();

// Each writes the step's failure line and gives false.
bool FailStep(LPCSTR pszStep, DWORD dwError);
bool FailToRead(HRESULT hr);
bool FailToHash();
bool FailNotSha256();

bool SameBytes(const BYTE* pb1, const BYTE* pb2, DWORD cb);

// Scoped owner of one COM interface (a storage, a stream, an enumeration), released on its one
// way out.
template <typename T>
class ComPtr
{
public:
    ComPtr() : m_p(NULL) {}
    ~ComPtr()
    {
        if (m_p != NULL)
            m_p->Release();
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T** out() { return &m_p; }      // for the call that fills it, while it holds none

    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

private:
    T* m_p;
};

// SHA-256 through the bound provider; a hash of 0 is none (the failure traced).
HCRYPTHASH BeginHash();

// Scoped owner of one hash, begun at construction and destroyed on its one way out.
class HashHandle
{
public:
    HashHandle() : m_hHash(BeginHash()) {}
    ~HashHandle()
    {
        if (m_hHash != 0)
            Api.CryptDestroyHash(m_hHash);
    }
    HCRYPTHASH get() const { return m_hHash; }

    HashHandle(const HashHandle&) = delete;
    HashHandle& operator=(const HashHandle&) = delete;

private:
    HCRYPTHASH m_hHash;
};
bool HashData(HCRYPTHASH hHash, const BYTE* pb, DWORD cb);
bool GetHashValue(HCRYPTHASH hHash, BYTE* pbDigest);
bool HashBlock(const BYTE* pb, DWORD cb, BYTE* pbDigest);
