// Fetching and checking the build information's detached signature.
#include "info_signature.h"
#include "package_digest.h"
#include "progress_callbacks.h"
#include "signature_message.h"
#include "transfer.h"
#include "../setup_base/files.h"
#include "../setup_base/paths.h"
#include "../res/resource.h"

namespace {

const WCHAR szSignatureSuffix[] = L".p7s";
const DWORD cchSignatureSuffix = 4;
const WCHAR szSignaturePrefix[] = L"sig";

const ULONGLONG ullTicksPerDay = 864000000000ULL;      // of a FILETIME's 100 ns
// The person's clock and the maker's need not agree to the minute.
const ULONGLONG ullClockSkew = 36000000000ULL;          // an hour
// Past this many days the count stops growing: its ticks, ten days more at most, and a signing
// time still fit 64 bits, and 2,700 years are no limit in practice anyway.
const DWORD dwValidityDaysMax = 1000000;
// Longer texts are cut, so that ten digits and more count as no limit, and words still fail.
const DWORD cchValidity = 16;

ULONGLONG Ticks(const FILETIME& ft)
{
    return ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

void Note(LPCSTR pszWhat)
{
    TracePrint("*** Verify build information: %s ***", pszWhat);
}

bool Refuse(LPCSTR pszWhy)
{
    Note(pszWhy);
    return false;
}

// The signature, decoded with the build information as its detached content, and its signer.
bool OpenDetached(Signature& sig, const BYTE* pbInfo, DWORD cbInfo, const BYTE* pbSignature,
                  DWORD cbSignature)
{
    sig.hMsg = Api.CryptMsgOpenToDecode(dwEncoding, CMSG_DETACHED_FLAG, 0, 0, NULL, NULL);
    if (sig.hMsg != NULL && Api.CryptMsgUpdate(sig.hMsg, pbSignature, cbSignature, TRUE)
        && Api.CryptMsgUpdate(sig.hMsg, pbInfo, cbInfo, TRUE))
        sig.hStore = Api.CertOpenStore(CERT_STORE_PROV_MSG, dwEncoding, 0, 0, sig.hMsg);
    return FindSigner(sig, "not a signature");
}

bool IsSignedInTime(const Signature& sig, LPCWSTR pszValidityDays)
{
    const CRYPT_ATTR_BLOB* pValue = FindAttribute(sig.pInfo->AuthAttrs,
                                                  szOID_RSA_signingTime);
    FILETIME ftSigned;
    DWORD cb = sizeof(ftSigned);
    if (pValue == NULL || !Api.CryptDecodeObject(dwEncoding, szOID_RSA_signingTime,
                                                 pValue->pbData, pValue->cbData, 0, &ftSigned,
                                                 &cb))
        return Refuse("no signing time");
    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    switch (CheckSigningTime(ftSigned, ftNow, pszValidityDays))
    {
    case SIGNED_IN_FUTURE:
        return Refuse("signed in the future");
    case SIGNED_TOO_LONG_AGO:
        return Refuse("signed longer ago than the validity");
    case VALIDITY_UNREADABLE:
        return Refuse("validity is no number of days");
    default:
        return true;
    }
}

bool VerifySignature(const BYTE* pbInfo, DWORD cbInfo, const BYTE* pbSignature,
                     DWORD cbSignature, LPCWSTR pszPins, LPCWSTR pszValidityDays)
{
    Signature sig;
    ZeroBytes(&sig, sizeof(sig));
    BYTE rgbDigest[cbPackageDigest];
    bool bVerified = BindApi("build information")
                  && OpenDetached(sig, pbInfo, cbInfo, pbSignature, cbSignature)
                  && HoldsUnderSignerKey(sig) && HashBlock(pbInfo, cbInfo, rgbDigest)
                  && HasSignedDigest(sig, rgbDigest) && IsSignedInTime(sig, pszValidityDays)
                  && IsTrustedFor(sig, szOID_PKIX_KP_CODE_SIGNING, NULL)
                  && (pszPins[0] == L'\0' || IsPinned(sig, pszPins));
    CloseSignature(sig);
    UnbindApi();
    return bVerified;
}

// A new file in the temporary directory that goes with its last handle, a transfer's that was
// left behind included.
HANDLE CreateSignatureFile(LPWSTR pszPath)
{
    HeapPtr<WCHAR> directory(AllocTempDirectory());
    if (directory.get() == NULL)
        return INVALID_HANDLE_VALUE;
    HANDLE hFile = CreateNewFile(directory.get(), szSignaturePrefix, pszPath);
    // One that can't be marked is left behind, as the build information's own file is.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (hFile != INVALID_HANDLE_VALUE
        && !SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition,
                                       sizeof(disposition)))
        Note("signature file kept");
    return hFile;
}

// The signature's bytes and whether the mirror had one: a node that opened has it, whether or
// not it then came whole.
struct FetchedSignature
{
    HeapPtr<char> bytes;
    DWORD cb;
    bool bPresent;
};

// False only when the check was stopped meanwhile.
bool FetchSignature(HINTERNET hSession, CallbackParam& param, LPCWSTR pszUrl,
                    FetchedSignature& fetched)
{
    WCHAR szPath[MAX_PATH];
    FileHandle file(CreateSignatureFile(szPath));
    ListSpan opened = {0, 0};
    TransferRequest request = {pszUrl, file.get(), szPath, NULL, NULL, SignatureCallback,
                               &opened, resumeNever};
    bool bCopied = file.get() != INVALID_HANDLE_VALUE && RunTransfer(hSession, param, request);
    if (LoadState(param) != stateRunning || IsCancelled(param))
        return false;
    fetched.bPresent = opened.cch != 0;
    if (bCopied)
        fetched.bytes.reset(ReadLocalFile(file.get(), cbSignatureMax, fetched.cb));
    return true;
}

bool CheckFetched(const FetchedSignature& fetched, const BYTE* pbInfo, DWORD cbInfo,
                  LPCWSTR pszPins, LPCWSTR pszValidityDays)
{
    if (!fetched.bPresent && pszPins[0] == L'\0')
    {
        Note("not signed, not verified");
        return true;
    }
    if (!fetched.bPresent)
        return Refuse("not signed, but keys are pinned");
    if (fetched.bytes.get() == NULL)
        return Refuse("signature cut short or unreadable");
    return VerifySignature(pbInfo, cbInfo, (const BYTE*)fetched.bytes.get(), fetched.cb, pszPins,
                           pszValidityDays);
}

} // namespace

SigningTime CheckSigningTime(const FILETIME& ftSigned, const FILETIME& ftNow,
                             LPCWSTR pszValidityDays)
{
    if (pszValidityDays[0] == L'\0')
        return SIGNED_IN_TIME;
    DWORD dwDays = 0;
    for (LPCWSTR psz = pszValidityDays; *psz != L'\0'; ++psz)
    {
        if (*psz < L'0' || *psz > L'9')
            return VALIDITY_UNREADABLE;
        if (dwDays < dwValidityDaysMax)
            dwDays = dwDays * 10 + (DWORD)(*psz - L'0');
    }
    ULONGLONG ullSigned = Ticks(ftSigned);
    ULONGLONG ullNow = Ticks(ftNow);
    if (ullSigned > ullNow + ullClockSkew)
        return SIGNED_IN_FUTURE;
    if (ullNow > ullSigned + dwDays * ullTicksPerDay)
        return SIGNED_TOO_LONG_AGO;
    return SIGNED_IN_TIME;
}

bool IsBuildInformationSigned(HINTERNET hSession, CallbackParam& param, LPCWSTR pszList,
                              const ListSpan& opened, const BYTE* pbInfo, DWORD cbInfo)
{
    HeapPtr<WCHAR> url(AllocText(opened.cch + cchSignatureSuffix + 1));
    HeapPtr<WCHAR> pins(AllocStringRow(IDS_PUBLISHER_PINS, cchJobText));
    WCHAR szValidity[cchValidity];
    if (url.get() == NULL || pins.get() == NULL)
        return false;
    lstrcpyW(CopyChars(url.get(), pszList + opened.ichBegin, opened.cch), szSignatureSuffix);
    LoadStringRow(IDS_INFO_VALIDITY, szValidity, cchValidity);
    TracePrint("*** Verify build information: start: %S ***", url.get());
    FetchedSignature fetched;
    fetched.cb = 0;
    fetched.bPresent = false;
    bool bCounts = FetchSignature(hSession, param, url.get(), fetched)
                && CheckFetched(fetched, pbInfo, cbInfo, pins.get(), szValidity);
    if (bCounts)
        Note("counts");
    return bCounts;
}
