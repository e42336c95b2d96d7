// The SHA-256 digest of a package's content as its Authenticode signature covers it.
#pragma once

#include <windows.h>

const DWORD cbPackageDigest = 32;

// With the signature libraries bound (signature_api.h); false, traced, when it can't be
// computed, or when the file's storages would make the walk read more than the file holds.
bool DigestPackage(LPCWSTR pszPackage, BYTE* pbDigest);

// The same, binding the libraries for the call.
bool ComputePackageDigest(LPCWSTR pszPackage, BYTE* pbDigest);
