// The checks that read a whole held download, on a thread of their own: a large package takes
// long to read, and a Cancel must neither wait for that nor find the worker inside the system's
// libraries when it is ended by force.
#pragma once

#include "package_signature.h"
#include "update_check.h"
#include "../setup_base/files.h"

// The signature and product checks of the held download at pszPackage (package_signature.h),
// against the local package's path pszLocal (the package may be missing) and the rows of the image: the publisher
// pins and the product. When the worker goes on after a Cancel the checks are left to end by
// themselves, owning what they use, and then remove the file of that identity: REFUSED.
PackageCheck CheckAside(CallbackParam& param, LPCWSTR pszLocal, LPCWSTR pszPackage,
                        const FileIdentity& identity, BYTE* pbDigest);

// The package digest the same way; false when it can't be had or was left behind. Left behind,
// the file is removed afterwards only if pRemove gives its identity.
bool DigestAside(CallbackParam& param, LPCWSTR pszPackage, const FileIdentity* pRemove,
                 BYTE* pbDigest);
