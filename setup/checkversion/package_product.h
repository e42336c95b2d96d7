// Whether a checked package is a later build of the local package's product.
#pragma once

#include <windows.h>

// The same UpgradeCode and a higher ProductVersion than the local package's, both read from
// the packages' Property tables; every failure is traced.
bool IsLaterBuildOfProduct(LPCWSTR pszLocalPackage, LPCWSTR pszDownloadedPackage);

// Compares two ProductVersion texts of up to four dotted decimal fields (a missing field is 0):
// true when pszLater is higher. A text that is no such version is never higher, nor lower.
bool IsHigherVersion(LPCWSTR pszLater, LPCWSTR pszEarlier);
