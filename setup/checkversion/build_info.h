// Build versions and the build-information file: one line per product build, with its key,
// its version a.b.c.d and the ';'-separated URLs of its package.
#pragma once

#include "../setup_base/setup_base.h"

// Four parts a.b.c.d; all zero means not set, which is also what every failed parse yields.
struct BuildVersion
{
    DWORD dwMajor;
    DWORD dwMinor;
    DWORD dwRelease;
    DWORD dwBuild;
};

BuildVersion MakeVersion(DWORD dwMajor, DWORD dwMinor, DWORD dwRelease, DWORD dwBuild);
void ClearVersion(BuildVersion& version);
bool IsSet(const BuildVersion& version);
// Strictly lower, part by part, unsigned.
bool IsLess(const BuildVersion& a, const BuildVersion& b);
// A new heap text a.b.c.d for FreeBlock, or none when it cannot be allocated.
LPWSTR FormatVersion(const BuildVersion& version);
// The version of a text such as "9.0.0.463"; not set when the text is no version.
BuildVersion ParseVersion(LPCWSTR pszText);

const DWORD cchBuildKey = 32;    // terminator included

// What one line of the file says, or what the running build says about itself.
struct BuildInfo
{
    WCHAR szKey[cchBuildKey];
    BuildVersion version;
    HeapPtr<WCHAR> pszUrlList;  // owned ';'-separated URL list, or none

    LPWSTR UrlList() const { return pszUrlList.get(); }
};

// An all-zero key, a version that is not set and no URL list (one held before is freed).
void InitBuildInfo(BuildInfo& info);
// Takes a heap block as the URL list; the list held before is freed.
void SetUrlList(BuildInfo& info, LPWSTR pszUrlList);
void ReleaseBuildInfo(BuildInfo& info);

// Finds the first line of pszKey whose major version is dwMajor in a whole text and fills info
// from it. An empty text is true, with no version and no URL list. After false the contents
// of info are not to be used.
bool ParseBuildInformation(LPCWSTR pszText, LPCWSTR pszKey, DWORD dwMajor, BuildInfo& info);

// The build-information file is a few lines of text. A mirror that sends more is broken or
// hostile: its download is stopped there, and a larger file is never read.
const DWORD cbBuildInformationMax = 1024 * 1024;

// The whole file copied into hLocal, read again from its start, in a new heap block with a zero
// after its cbFile bytes; none for a file larger than cbMax bytes or one that can't be read
// whole.
char* ReadLocalFile(HANDLE hLocal, DWORD cbMax, DWORD& cbFile);
// ParseBuildInformation on cbText bytes of 8-bit text, which end at their first NUL.
bool ParseBuildInformationText(LPCSTR pszText, DWORD cbText, LPCWSTR pszKey, DWORD dwMajor,
                               BuildInfo& info);
// Both, for the file copied into hLocal. False for a file larger than cbBuildInformationMax.
bool ReadBuildInformation(LPCWSTR pszKey, DWORD dwMajor, BuildInfo& info, HANDLE hLocal);
