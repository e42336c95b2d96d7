// The checks that read a whole held download, on a thread of their own: a large package takes
// long to read, and a Cancel must neither wait for that nor find the worker inside the system's
// libraries when it is ended by force.
#pragma once

#include "package_signature.h"
#include "update_check.h"
#include "../setup_base/files.h"

// The signature and product checks of the held download at pszPackage (package_signature.h),
// against the local package's path pszLocal (the package may be missing) and the rows of the
// image: the publisher pins and the product. Without pszLocal, the package digest alone
// (VERIFIED when it was had). When the worker goes on after a Cancel, the thread is left to
// end by itself, owning what it uses (REFUSED), and then removes the file if pRemove gives its
// identity.
PackageCheck CheckAside(CallbackParam& param, LPCWSTR pszLocal, LPCWSTR pszPackage,
                        const FileIdentity* pRemove, BYTE* pbDigest);

inline bool DigestAside(CallbackParam& param, LPCWSTR pszPackage, const FileIdentity* pRemove,
                        BYTE* pbDigest)
{
    return CheckAside(param, NULL, pszPackage, pRemove, pbDigest) == PACKAGE_VERIFIED;
}
