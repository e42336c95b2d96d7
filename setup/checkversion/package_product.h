// Whether a checked package is a build of this product that may replace what is there.
#pragma once

#include <windows.h>

// The download's UpgradeCode and ProductVersion, read from its Property table, must be: the
// image's UpgradeCode and at least its lowest accepted version, where those are given (empty or
// NULL: none); the local package's UpgradeCode and a higher version, where a local package is
// given; and a higher version than every build of its UpgradeCode that is installed already.
// Every failure is traced. A download that nothing anchors is read only when a row is set.
bool IsAcceptedProduct(LPCWSTR pszUpgradeCode, LPCWSTR pszLowestVersion, LPCWSTR pszLocalPackage,
                       LPCWSTR pszDownloadedPackage, bool bAnchored);

// Compares two ProductVersion texts of up to four dotted decimal fields (a missing field is 0):
// true when pszLater is higher. A text that is no such version is never higher, nor lower.
bool IsHigherVersion(LPCWSTR pszLater, LPCWSTR pszEarlier);

// The same order as a number below, at or above 0; false when either text is no version.
bool CompareVersions(LPCWSTR psz1, LPCWSTR psz2, int* pnOrder);

// GUIDs as the installer writes them, compared code unit by code unit, letter case aside.
bool IsSameGuid(LPCWSTR psz1, LPCWSTR psz2);
