// The check that a downloaded package comes, unchanged, from the maker of the local one, before
// msiexec is given it.
#pragma once

#include "package_digest.h"

enum PackageCheck
{
    PACKAGE_VERIFIED,       // signed, intact, trusted for code signing, by the anchor's signer,
                            // and a later build of the product (package_product.h)
    PACKAGE_NOT_ANCHORED,   // no pins and no signed local package: nothing to check against
    PACKAGE_REFUSED         // must not be installed; the trace says why
};

// What a download is checked against. With pins (the ';'-separated SHA-256 digests of the
// publisher's DER SubjectPublicKeyInfo, 64 hex digits each) only a signer whose key is among
// them passes, local package or not; without, the local package's signer, when it is signed.
// The product rows, where set, hold whatever anchors the signature, and even where nothing does.
struct PackageAnchor
{
    LPCWSTR pszLocalPackage;
    LPCWSTR pszPins;            // empty or NULL: no pins
    LPCWSTR pszUpgradeCode;     // empty or NULL: no product fixed in the image
    LPCWSTR pszLowestVersion;   // empty or NULL: no lowest version
};

// Every step that fails, and the outcome, is traced. When the download is verified, its content
// digest is in pbDigest (cbPackageDigest bytes). One call at a time: the system libraries are
// bound for the call's length in a table of the module's own.
PackageCheck VerifyDownloadedPackage(const PackageAnchor& anchor, LPCWSTR pszDownloadedPackage,
                                     BYTE* pbDigest);

// True when the package carries a signature, which a download is then checked against; false
// when it is missing, unsigned or can't be read.
bool IsSignedPackage(LPCWSTR pszPackage);
