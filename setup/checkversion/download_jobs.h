// The two downloads of the update check, the build-information file and the package.
#pragma once

#include "update_check.h"
#include "../setup_base/files.h"
#include "../InetCopy/InetCopy.h"

#include <wininet.h>

// The build-information job: the mirrors of string 2010 into a new temporary file, which is
// left in place, then the line of the own key and major.
struct BuildInfoJob
{
    const BuildInfo* pOwnBuildInfo;
    DWORD dwOwnMajor;
    BuildInfo* pLatestBuildInfo;
    HeapPtr<WCHAR> pszUrlList;
    FileHandle hLocal;              // created new, never opened through a planted link
    HeapPtr<WCHAR> pszLocalPath;
    HeapPtr<WCHAR> pszCopyStatus;
    HeapPtr<WCHAR> pszDescription;
    HINTERNET hSession;             // for the signature, from the mirror that served the file
    CallbackParam* pParam;
    ListSpan opened;                // the node of the list that served it
};

// The package job: the URLs of the latest build into the staging file of the person's choice,
// which the caller owns.
struct PackageJob
{
    const BuildInfo* pLatestBuildInfo;
    HANDLE hLocal;
    LPCWSTR pszLocalPath;
    bool bChecked;                  // the whole package is checked once it is there
    HeapPtr<WCHAR> pszDescription;
};

void InitBuildInfoJob(BuildInfoJob& job, const BuildInfo& own, DWORD dwOwnMajor,
                      BuildInfo& latest);
void InitPackageJob(PackageJob& job, const BuildInfo& latest, HANDLE hLocal,
                    LPCWSTR pszLocalPath, bool bChecked);

// True when the build-information file was downloaded and holds a line for own's key and
// dwOwnMajor, which then fills latest.
bool GetBuildInformation(HINTERNET hInternet, CallbackParam& param, const BuildInfo& own,
                         DWORD dwOwnMajor, BuildInfo& latest);
// True when the package was copied completely into hLocal, a new empty file at pszLocalPath.
// With bChecked (the whole package is checked before it is used) a download that broke off may
// go on from another mirror.
bool DownloadBuild(HINTERNET hInternet, CallbackParam& param, const BuildInfo& latest,
                   HANDLE hLocal, LPCWSTR pszLocalPath, bool bChecked);

bool Download(HINTERNET hInternet, CallbackParam& param, BuildInfoJob& job);
bool Download(HINTERNET hInternet, CallbackParam& param, PackageJob& job);
