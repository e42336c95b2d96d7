// The check that a downloaded package comes, unchanged, from the maker of the local one, before
// msiexec is given it.
#pragma once

#include <windows.h>

enum PackageCheck
{
    PACKAGE_VERIFIED,       // signed, intact, trusted for code signing, by the local signer
    PACKAGE_NOT_ANCHORED,   // the local package is unsigned: nothing to check against
    PACKAGE_REFUSED         // must not be installed; the trace says why
};

// Every step that fails, and the outcome, is traced. One call at a time: the system libraries
// are bound for the call's length in a table of the module's own.
PackageCheck VerifyDownloadedPackage(LPCWSTR pszLocalPackage, LPCWSTR pszDownloadedPackage);

// The SHA-256 digest of a package's content as its signature covers it; false, traced, when it
// can't be computed. Exposed for the tests.
const DWORD cbPackageDigest = 32;
bool ComputePackageDigest(LPCWSTR pszPackage, BYTE* pbDigest);
