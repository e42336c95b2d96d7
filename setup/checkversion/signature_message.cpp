// Reading a signature: its message and signer, the content it signs, its signer's chain, its
// time stamp and its signer's key among the pins. Every failure is traced where it is found.
#include "signature_message.h"
#include "package_digest.h"
#include "setup_base/setup_base.h"

namespace {

const char szNotIntact[] = "signature is not intact";
const char szUntrusted[] = "certificate chain is not trusted for code signing";
const BYTE bSequence = 0x30;
const BYTE bInteger = 0x02;
const BYTE bObjectId = 0x06;
const BYTE bGeneralizedTime = 0x18;
const int cTimePairs = 7;
const int cStampFields = 5;
const int iImprint = 2;
const int iTime = 4;

// A parameter of the message in a heap block of its own; NULL when it can't be had.
template <typename T>
T* GetMessageParam(HCRYPTMSG hMsg, DWORD dwType, DWORD* pcb)
{
    *pcb = 0;
    void* pBlock = NULL;
    if (Api.CryptMsgGetParam(hMsg, dwType, 0, NULL, pcb))
        pBlock = AllocBlock(*pcb);
    if (pBlock != NULL && !Api.CryptMsgGetParam(hMsg, dwType, 0, pBlock, pcb))
    {
        FreeBlock(pBlock);
        pBlock = NULL;
    }
    return static_cast<T*>(pBlock);
}

// The value of the DER element at p, of tag bTag and within pEnd; p moves past it. None when
// the element is another or does not fit.
const BYTE* TakeElement(const BYTE*& p, const BYTE* pEnd, BYTE bTag, DWORD* pcb)
{
    if (p == NULL || pEnd - p < 2 || p[0] != bTag)
        return NULL;
    DWORD cb = p[1];
    const BYTE* pValue = p + 2;
    if (cb & 0x80)
    {
        DWORD cbLength = cb & 0x7F;
        if (cbLength > 2 || (DWORD)(pEnd - pValue) < cbLength)
            return NULL;
        for (cb = 0; cbLength > 0; --cbLength)
            cb = cb << 8 | *pValue++;
    }
    if ((DWORD)(pEnd - pValue) < cb)
        return NULL;
    p = pValue + cb;
    *pcb = cb;
    return pValue;
}

// A time stamp's TSTInfo: its imprint must be the SHA-256 of the signature's own value, and its
// GeneralizedTime is when the authority saw it.
bool ReadStampInfo(const Signature& stamp, const Signature& sig, FILETIME* pTime)
{
    // Its version, policy, imprint, serial number and time, in this order.
    static const BYTE rgbTags[cStampFields] = {bInteger, bObjectId, bSequence, bInteger,
                                               bGeneralizedTime};
    const BYTE* p = stamp.pbSigned;
    DWORD cb = 0;
    const BYTE* pInfo = TakeElement(p, p + stamp.cbSigned, bSequence, &cb);
    const BYTE* pEnd = pInfo + cb;
    const BYTE* rgpValue[cStampFields];
    DWORD rgcbValue[cStampFields];
    p = pInfo;
    for (int i = 0; i < cStampFields; ++i)
    {
        rgpValue[i] = TakeElement(p, pEnd, rgbTags[i], &rgcbValue[i]);
        if (rgpValue[i] == NULL)
            return false;
    }
    // The imprint: the algorithm's identifier first, the digest as an octet string last.
    const BYTE* pImprint = rgpValue[iImprint];
    DWORD cbImprint = rgcbValue[iImprint];
    const BYTE* pbImprinted = pImprint + cbImprint - cbPackageDigest;
    const BYTE* pTimeText = rgpValue[iTime];
    BYTE rgbDigest[cbPackageDigest];
    if (rgcbValue[iTime] < 2 * cTimePairs
        || cbImprint < 2 + sizeof(rgbSha256Oid) + 2 + cbPackageDigest
        || !SameBytes(pImprint + 2, rgbSha256Oid, sizeof(rgbSha256Oid))
        || pbImprinted[-2] != bOctetString || pbImprinted[-1] != cbPackageDigest
        || !HashBlock(sig.pInfo->EncryptedHash.pbData, sig.pInfo->EncryptedHash.cbData,
                      rgbDigest)
        || !SameBytes(rgbDigest, pbImprinted, cbPackageDigest))
        return false;
    // "YYYYMMDDhhmmss" as seven pairs of digits.
    WORD rgwPair[cTimePairs];
    for (int i = 0; i < cTimePairs; ++i, pTimeText += 2)
    {
        if (pTimeText[0] < '0' || pTimeText[0] > '9' || pTimeText[1] < '0' || pTimeText[1] > '9')
            return false;
        rgwPair[i] = (WORD)((pTimeText[0] - '0') * 10 + pTimeText[1] - '0');
    }
    SYSTEMTIME st = {(WORD)(rgwPair[0] * 100 + rgwPair[1]), rgwPair[2], 0, rgwPair[3],
                     rgwPair[4], rgwPair[5], rgwPair[6], 0};
    return SystemTimeToFileTime(&st, pTime) != FALSE;
}

const DWORD cchKeyPin = 2 * cbPackageDigest;

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

// The one value of the attribute pszObjId; none when it is missing or has several.
const CRYPT_ATTR_BLOB* FindAttribute(const CRYPT_ATTRIBUTES& attrs, LPCSTR pszObjId)
{
    for (DWORD i = 0; i < attrs.cAttr; ++i)
    {
        if (lstrcmpA(attrs.rgAttr[i].pszObjId, pszObjId) == 0 && attrs.rgAttr[i].cValue == 1)
            return attrs.rgAttr[i].rgValue;
    }
    return NULL;
}

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

bool OpenSignature(DWORD dwObjectType, const void* pvObject, Signature& sig, LPCSTR pszFailure)
{
    DWORD dwContent = dwObjectType == CERT_QUERY_OBJECT_FILE
                          ? CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED
                          : CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED;
    Api.CryptQueryObject(dwObjectType, pvObject, dwContent, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                         NULL, NULL, NULL, &sig.hStore, &sig.hMsg, NULL);
    return FindSigner(sig, pszFailure);
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
    const CRYPT_ATTR_BLOB* pValue = FindAttribute(sig.pInfo->AuthAttrs,
                                                  szOID_PKCS_9_MESSAGE_DIGEST);
    if (pValue == NULL || pValue->cbData != 2 + cbPackageDigest
        || pValue->pbData[0] != bOctetString || pValue->pbData[1] != cbPackageDigest
        || !SameBytes(pbDigest, pValue->pbData + 2, cbPackageDigest))
        return FailStep(szNotIntact, (DWORD)CRYPT_E_HASH_VALUE);
    return true;
}

// The message digest must be that of the content: not every system's verification compares the
// two, and a forger who swaps in the digest of a changed package passes every other step.
bool IsSignedContent(Signature& sig, LPCSTR pszContentType, bool bIndirect)
{
    if (!HoldsUnderSignerKey(sig))
        return false;
    // What was signed must be what the caller reads, not some other content of the same
    // signer's that happens to end the same way.
    DWORD cb = 0;
    HeapPtr<char> type(GetMessageParam<char>(sig.hMsg, CMSG_INNER_CONTENT_TYPE_PARAM, &cb));
    if (type.get() == NULL || cb == 0 || type.get()[cb - 1] != '\0'
        || lstrcmpA(type.get(), pszContentType) != 0)
        return FailStep(szNotIntact, (DWORD)CRYPT_E_UNEXPECTED_MSG_TYPE);
    sig.pbContent = GetMessageParam<BYTE>(sig.hMsg, CMSG_CONTENT_PARAM, &cb);
    const BYTE* pb = sig.pbContent;
    if (pb == NULL)
        return FailStep(szNotIntact, GetLastError());
    // Authenticode's content is digested without its tag and length. Other content is wrapped
    // in an octet string, which some systems hand over as it stands: its value is digested.
    DWORD cbHeader = !bIndirect ? 0 : cb > 2 ? 2 + (pb[1] & 0x80 ? pb[1] & 0x7F : 0) : cb;
    sig.pbSigned = pb + cbHeader;
    sig.cbSigned = cb - cbHeader;
    const BYTE* pbWrapped = TakeElement(pb, pb + cb, bOctetString, &cb);
    if (!bIndirect && pbWrapped != NULL)
    {
        sig.pbSigned = pbWrapped;
        sig.cbSigned = cb;
    }
    BYTE rgbDigest[cbPackageDigest];
    return HashBlock(sig.pbSigned, sig.cbSigned, rgbDigest) && HasSignedDigest(sig, rgbDigest);
}

DWORD JudgeChain(DWORD dwPolicyError, DWORD dwChainStatus)
{
    // Not every system's policy reads the chain's own verdict on the usage it was built for.
    dwChainStatus &= ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (dwPolicyError != 0 || dwChainStatus == CERT_TRUST_NO_ERROR)
        return dwPolicyError;
    return dwChainStatus & CERT_TRUST_IS_REVOKED ? (DWORD)CRYPT_E_REVOKED
         : dwChainStatus & CERT_TRUST_IS_NOT_VALID_FOR_USAGE ? (DWORD)CERT_E_WRONG_USAGE
         : dwChainStatus & CERT_TRUST_IS_NOT_TIME_VALID ? (DWORD)CERT_E_EXPIRED
                                                        : (DWORD)CERT_E_CHAINING;
}

bool IsTrustedFor(const Signature& sig, LPCSTR pszUsage, const FILETIME* pTime)
{
    LPSTR rgpszUsage[] = {(LPSTR)pszUsage};
    CERT_CHAIN_PARA chainPara;
    ZeroBytes(&chainPara, sizeof(chainPara));
    chainPara.cbSize = sizeof(chainPara);
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = rgpszUsage;
    // An offline machine must not wait on revocation lists: what the system has cached counts.
    PCCERT_CHAIN_CONTEXT pChain = NULL;
    if (!Api.CertGetCertificateChain(NULL, sig.pSigner, (LPFILETIME)pTime, sig.hStore,
                                     &chainPara, CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT
                                                 | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL,
                                     NULL, &pChain))
        return FailStep(szUntrusted, GetLastError());
    CERT_CHAIN_POLICY_PARA policyPara;
    ZeroBytes(&policyPara, sizeof(policyPara));
    policyPara.cbSize = sizeof(policyPara);
    policyPara.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    CERT_CHAIN_POLICY_STATUS status;
    ZeroBytes(&status, sizeof(status));
    status.cbSize = sizeof(status);
    BOOL bChecked = Api.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, pChain,
                                                         &policyPara, &status);
    DWORD dwError = bChecked ? JudgeChain(status.dwError, pChain->TrustStatus.dwErrorStatus)
                             : GetLastError();
    Api.CertFreeCertificateChain(pChain);
    if (bChecked && dwError == 0)
        return true;
    return FailStep(szUntrusted, dwError != 0 ? dwError : (DWORD)E_FAIL);
}

bool GetStampTime(const Signature& sig, FILETIME* pTime)
{
    const CRYPT_ATTR_BLOB* pToken = FindAttribute(sig.pInfo->UnauthAttrs,
                                                  szOID_RFC3161_counterSign);
    if (pToken == NULL)
        return false;
    Signature stamp;
    ZeroBytes(&stamp, sizeof(stamp));
    CRYPT_DATA_BLOB token = {pToken->cbData, pToken->pbData};
    bool bValid = OpenSignature(CERT_QUERY_OBJECT_BLOB, &token, stamp, szNotIntact)
               && IsSignedContent(stamp, szOID_TIMESTAMP_TOKEN, false)
               && ReadStampInfo(stamp, sig, pTime)
               && IsTrustedFor(stamp, szOID_PKIX_KP_TIMESTAMP_SIGNING, pTime);
    CloseSignature(stamp);
    if (bValid)
        TracePrint("*** Verify %s: judged at its time stamp ***", g_pszSubject);
    else
        TracePrint("*** Verify %s: time stamp not valid ***", g_pszSubject);
    return bValid;
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
