// The signature check of a downloaded package: its signature intact, its content the signed
// one, its chain trusted for code signing, its signer the anchor's (the publisher's pins or the
// local package's signer), and a later build of the local package's product. Every failure is
// traced where it is found.
#include "package_signature.h"
#include "package_product.h"
#include "signature_message.h"
#include "setup_base/setup_base.h"

namespace {

// What a package signature signs: its indirect data, which ends with the package digest, the
// algorithm identifier (perhaps with empty parameters) and the digest as an octet string.
bool IsIntact(Signature& sig)
{
    if (!IsSignedContent(sig, SPC_INDIRECT_DATA_OBJID, true))
        return false;
    const BYTE* pb = sig.pbSigned;
    DWORD cb = sig.cbSigned;
    if (cb < sizeof(rgbSha256Oid) + 6 + cbPackageDigest)
        return FailNotSha256();
    const BYTE* pbDigest = pb + cb - cbPackageDigest;
    const BYTE* pbOidEnd = pbDigest - 2;
    if (pbOidEnd[0] != bOctetString || pbOidEnd[1] != cbPackageDigest)
        return FailNotSha256();
    if (pbOidEnd[-2] == 0x05 && pbOidEnd[-1] == 0x00)
        pbOidEnd -= 2;
    if (!SameBytes(pbOidEnd - sizeof(rgbSha256Oid), rgbSha256Oid, sizeof(rgbSha256Oid)))
        return FailNotSha256();
    sig.pbSignedDigest = pbDigest;
    return true;
}

bool MatchesContent(LPCWSTR pszPackage, const Signature& sig, BYTE* pbDigest)
{
    if (!DigestPackage(pszPackage, pbDigest))
        return false;
    if (SameBytes(pbDigest, sig.pbSignedDigest, cbPackageDigest))
        return true;
    TracePrint("*** Verify package: content does not match its signature ***");
    return false;
}

bool HasLocalSigner(const Signature& local, const Signature& downloaded)
{
    WCHAR szLocal[cchSignerName];
    WCHAR szDownloaded[cchSignerName];
    GetSignerName(downloaded, szDownloaded);
    if (Api.CertCompareCertificateName(dwEncoding, &local.pSigner->pCertInfo->Subject,
                                       &downloaded.pSigner->pCertInfo->Subject))
    {
        TracePrint("*** Verify package: signed by %S ***", szDownloaded);
        return true;
    }
    GetSignerName(local, szLocal);
    TracePrint("*** Verify package: signed by %S, not by %S as the local package ***",
               szDownloaded, szLocal);
    return false;
}

// The system's own verdict, which on Windows covers all of the above. Wine's passes changed and
// untrusted packages alike, so it is a gate beside the steps, never instead of them.
bool PassesWinVerifyTrust(LPCWSTR pszPackage)
{
    WINTRUST_FILE_INFO file;
    ZeroBytes(&file, sizeof(file));
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = pszPackage;
    WINTRUST_DATA data;
    ZeroBytes(&data, sizeof(data));
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    // Read only; kept constant so that it costs the image no writable section.
    static const GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG lResult = Api.WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, const_cast<GUID*>(&action),
                                      &data);
    return lResult == 0 || FailStep("WinVerifyTrust refused it", (DWORD)lResult);
}

enum LocalSignature
{
    LOCAL_SIGNED,
    LOCAL_UNSIGNED,
    LOCAL_MISSING,
    LOCAL_UNREADABLE,
};

// Read from the storage itself, so that a signature that is there but can't be parsed is never
// taken for none.
LocalSignature HasSignatureStream(LPCWSTR pszPackage)
{
    ComPtr<IStorage> pRoot;
    ComPtr<IStream> pStream;
    HRESULT hr = Api.StgOpenStorage(pszPackage, NULL, STGM_READ | STGM_SHARE_DENY_WRITE, NULL,
                                    0, pRoot.out());
    if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND)
        return LOCAL_MISSING;
    if (SUCCEEDED(hr))
    {
        hr = pRoot->OpenStream(szSignatureStream, NULL, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                               pStream.out());
        // A missing stream, unlike a missing file, is an unsigned package.
        if (hr == STG_E_FILENOTFOUND)
            return LOCAL_UNSIGNED;
    }
    if (FAILED(hr))
    {
        FailStep("can't read the local package", (DWORD)hr);
        return LOCAL_UNREADABLE;
    }
    return LOCAL_SIGNED;
}

PackageCheck CheckPackages(const PackageAnchor& anchor, LPCWSTR pszDownloadedPackage,
                           Signature& local, Signature& downloaded, BYTE* pbDigest)
{
    LPCWSTR pszLocalPackage = anchor.pszLocalPackage;
    bool bPinned = anchor.pszPins != NULL && anchor.pszPins[0] != L'\0';
    LocalSignature localSignature = HasSignatureStream(pszLocalPackage);
    if (localSignature == LOCAL_UNREADABLE)
        return PACKAGE_REFUSED;
    TracePrint("*** Verify package: anchored by %s ***",
               bPinned ? "the publisher pins"
                       : localSignature == LOCAL_SIGNED ? "the local signer" : "none");
    // No local package anchors nothing either: the download is all there is to install. The
    // image's product rows, where set, still hold.
    if (!bPinned && localSignature != LOCAL_SIGNED)
    {
        TracePrint(localSignature == LOCAL_MISSING
                       ? "*** Verify package: no local package, not verified ***"
                       : "*** Verify package: local package is not signed, not verified ***");
        return IsAcceptedProduct(anchor.pszUpgradeCode, anchor.pszLowestVersion, NULL,
                                 pszDownloadedPackage, false)
                   ? PACKAGE_NOT_ANCHORED : PACKAGE_REFUSED;
    }
    // A signature made while its certificate was valid, as a time stamp vouches, outlives it.
    FILETIME stamped;
    bool bVerified = (bPinned || OpenSignature(CERT_QUERY_OBJECT_FILE, pszLocalPackage, local,
                                               "can't read the local package's signature"))
                  && OpenSignature(CERT_QUERY_OBJECT_FILE, pszDownloadedPackage, downloaded,
                                   "not signed")
                  && IsIntact(downloaded)
                  && MatchesContent(pszDownloadedPackage, downloaded, pbDigest)
                  && IsTrustedFor(downloaded, szOID_PKIX_KP_CODE_SIGNING,
                                  GetStampTime(downloaded, &stamped) ? &stamped : NULL)
                  && (bPinned ? IsPinned(downloaded, anchor.pszPins)
                              : HasLocalSigner(local, downloaded))
                  && PassesWinVerifyTrust(pszDownloadedPackage)
                  && IsAcceptedProduct(anchor.pszUpgradeCode, anchor.pszLowestVersion,
                                       localSignature == LOCAL_MISSING ? NULL : pszLocalPackage,
                                       pszDownloadedPackage, true);
    return bVerified ? PACKAGE_VERIFIED : PACKAGE_REFUSED;
}

} // namespace

PackageCheck VerifyDownloadedPackage(const PackageAnchor& anchor, LPCWSTR pszDownloadedPackage,
                                     BYTE* pbDigest)
{
    static const char* const rgpszOutcome[] = {"verified", "not verified", "refused"};
    TracePrint("*** Verify package: start: %S ***", pszDownloadedPackage);
    PackageCheck check = PACKAGE_REFUSED;
    Signature local;
    Signature downloaded;
    ZeroBytes(&local, sizeof(local));
    ZeroBytes(&downloaded, sizeof(downloaded));
    if (BindApi())
        check = CheckPackages(anchor, pszDownloadedPackage, local, downloaded, pbDigest);
    CloseSignature(local);
    CloseSignature(downloaded);
    UnbindApi();
    TracePrint("*** Verify package: end: %s ***", rgpszOutcome[check]);
    return check;
}

bool IsSignedPackage(LPCWSTR pszPackage)
{
    bool bSigned = BindApi() && HasSignatureStream(pszPackage) == LOCAL_SIGNED;
    UnbindApi();
    return bSigned;
}
