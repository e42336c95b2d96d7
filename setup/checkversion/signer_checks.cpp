// The signer checks that a package's signature and the build information's share.
#include "signer_checks.h"
#include "package_digest.h"

namespace {

const DWORD cchKeyPin = 2 * cbPackageDigest;
const BYTE bOctetString = 0x04;

const char szNotIntact[] = "signature is not intact";
const char szUntrusted[] = "certificate chain is not trusted for code signing";

WCHAR LowerHexDigit(WCHAR ch)
{
    return ch >= L'A' && ch <= L'F' ? (WCHAR)(ch - L'A' + L'a') : ch;
}

// The signer's key as a pin: the SHA-256 of its DER SubjectPublicKeyInfo in lowercase hex.
bool GetKeyPin(const Signature& sig, LPWSTR pszPin)
{
    BYTE rgbHash[cbPackageDigest];
    DWORD cbHash = sizeof(rgbHash);
    if (!Api.CryptHashPublicKeyInfo(g_hProvider, CALG_SHA_256, 0, X509_ASN_ENCODING,
                                    &sig.pSigner->pCertInfo->SubjectPublicKeyInfo, rgbHash,
                                    &cbHash) || cbHash != cbPackageDigest)
        return FailToHash();
    static const char szHex[] = "0123456789abcdef";
    for (DWORD i = 0; i < cbPackageDigest; ++i)
    {
        pszPin[2 * i] = (WCHAR)szHex[rgbHash[i] >> 4];
        pszPin[2 * i + 1] = (WCHAR)szHex[rgbHash[i] & 0xF];
    }
    pszPin[cchKeyPin] = L'\0';
    return true;
}

// One pin of the list, white space around it left out; the position after it.
LPCWSTR NextPin(LPCWSTR psz, LPCWSTR* ppBegin, DWORD* pcch)
{
    LPCWSTR pEnd = NULL;
    LPCWSTR pNext = NextListItem(psz, &pEnd);
    while (psz < pEnd && IsWhiteSpace(*psz))
        ++psz;
    while (pEnd > psz && IsWhiteSpace(pEnd[-1]))
        --pEnd;
    *ppBegin = psz;
    *pcch = (DWORD)(pEnd - psz);
    return pNext;
}

} // namespace

void CloseSignature(Signature& sig)
{
    if (sig.pSigner != NULL)
        Api.CertFreeCertificateContext(sig.pSigner);
    if (sig.hMsg != NULL)
        Api.CryptMsgClose(sig.hMsg);
    if (sig.hStore != NULL)
        Api.CertCloseStore(sig.hStore, 0);
    if (sig.pInfo != NULL)
        FreeBlock(sig.pInfo);
    if (sig.pbContent != NULL)
        FreeBlock(sig.pbContent);
}

bool FindSigner(Signature& sig, LPCSTR pszFailure)
{
    DWORD cb = 0;
    if (sig.hMsg != NULL && sig.hStore != NULL)
        sig.pInfo = GetMessageParam<CMSG_SIGNER_INFO>(sig.hMsg, CMSG_SIGNER_INFO_PARAM, &cb);
    if (sig.pInfo != NULL)
    {
        CERT_INFO certId;
        ZeroBytes(&certId, sizeof(certId));
        certId.Issuer = sig.pInfo->Issuer;
        certId.SerialNumber = sig.pInfo->SerialNumber;
        sig.pSigner = Api.CertGetSubjectCertificateFromStore(sig.hStore, dwEncoding, &certId);
    }
    return sig.pSigner != NULL || FailStep(pszFailure, GetLastError());
}

const CRYPT_ATTR_BLOB* FindSignedAttribute(const Signature& sig, LPCSTR pszOid)
{
    const CRYPT_ATTRIBUTES& attrs = sig.pInfo->AuthAttrs;
    for (DWORD i = 0; i < attrs.cAttr; ++i)
    {
        if (lstrcmpA(attrs.rgAttr[i].pszObjId, pszOid) == 0 && attrs.rgAttr[i].cValue == 1)
            return attrs.rgAttr[i].rgValue;
    }
    return NULL;
}

bool HoldsUnderSignerKey(const Signature& sig)
{
    if (!Api.CryptMsgControl(sig.hMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE, sig.pSigner->pCertInfo))
        return FailStep(szNotIntact, GetLastError());
    if (lstrcmpA(sig.pInfo->HashAlgorithm.pszObjId, szOID_NIST_sha256) != 0)
        return FailNotSha256();
    return true;
}

bool HasSignedDigest(const Signature& sig, const BYTE* pbDigest)
{
    const CRYPT_ATTR_BLOB* pValue = FindSignedAttribute(sig, szOID_PKCS_9_MESSAGE_DIGEST);
    if (pValue == NULL || pValue->cbData != 2 + cbPackageDigest
        || pValue->pbData[0] != bOctetString || pValue->pbData[1] != cbPackageDigest
        || !SameBytes(pbDigest, pValue->pbData + 2, cbPackageDigest))
        return FailStep(szNotIntact, (DWORD)CRYPT_E_HASH_VALUE);
    return true;
}

bool IsTrustedForCodeSigning(const Signature& sig)
{
    LPSTR rgpszUsage[] = {(LPSTR)szOID_PKIX_KP_CODE_SIGNING};
    CERT_CHAIN_PARA chainPara;
    ZeroBytes(&chainPara, sizeof(chainPara));
    chainPara.cbSize = sizeof(chainPara);
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = rgpszUsage;
    PCCERT_CHAIN_CONTEXT pChain = NULL;
    if (!Api.CertGetCertificateChain(NULL, sig.pSigner, NULL, sig.hStore, &chainPara, 0, NULL,
                                     &pChain))
        return FailStep(szUntrusted, GetLastError());
    CERT_CHAIN_POLICY_PARA policyPara;
    ZeroBytes(&policyPara, sizeof(policyPara));
    policyPara.cbSize = sizeof(policyPara);
    CERT_CHAIN_POLICY_STATUS status;
    ZeroBytes(&status, sizeof(status));
    status.cbSize = sizeof(status);
    BOOL bChecked = Api.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, pChain,
                                                         &policyPara, &status);
    DWORD dwError = bChecked ? status.dwError : GetLastError();
    // Not every system's policy reads the chain's own verdict on the usage it was built for.
    DWORD dwChainStatus = pChain->TrustStatus.dwErrorStatus;
    if (bChecked && dwError == 0 && dwChainStatus != CERT_TRUST_NO_ERROR)
        dwError = dwChainStatus & CERT_TRUST_IS_NOT_VALID_FOR_USAGE ? (DWORD)CERT_E_WRONG_USAGE
                                                                    : (DWORD)CERT_E_CHAINING;
    Api.CertFreeCertificateChain(pChain);
    if (bChecked && dwError == 0)
        return true;
    return FailStep(szUntrusted, dwError != 0 ? dwError : (DWORD)E_FAIL);
}

void GetSignerName(const Signature& sig, LPWSTR pszName)
{
    Api.CertGetNameStringW(sig.pSigner, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, pszName,
                           cchSignerName);
}

bool IsPinned(const Signature& sig, LPCWSTR pszPins)
{
    WCHAR szPin[cchKeyPin + 1];
    WCHAR szSigner[cchSignerName];
    if (!GetKeyPin(sig, szPin))
        return false;
    GetSignerName(sig, szSigner);
    for (LPCWSTR psz = pszPins; psz != NULL; )
    {
        LPCWSTR pBegin = NULL;
        DWORD cch = 0;
        psz = NextPin(psz, &pBegin, &cch);
        bool bSame = cch == cchKeyPin;
        for (DWORD i = 0; bSame && i < cchKeyPin; ++i)
            bSame = LowerHexDigit(pBegin[i]) == szPin[i];
        if (bSame)
        {
            TracePrint("*** Verify %s: signed by %S, whose key is pinned ***", g_pszSubject,
                       szSigner);
            return true;
        }
    }
    TracePrint("*** Verify %s: signed by %S, whose key %S is not pinned ***", g_pszSubject,
               szSigner, szPin);
    return false;
}
