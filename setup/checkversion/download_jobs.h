// The two downloads of the update check, the build-information file and the package, with the
// progress callbacks that move the dialog's bar and stop a transfer the person cancelled.
#pragma once

#include "update_check.h"
#include "../InetCopy/InetCopy.h"
#include "../setup_base/files.h"

const DWORD cchJobText = 1024;      // every text of a job, terminator included

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
};

// The package job: the URLs of the latest build into the staging file of the person's choice,
// which the caller owns.
struct PackageJob
{
    const BuildInfo* pLatestBuildInfo;
    HANDLE hLocal;
    LPCWSTR pszLocalPath;
    HeapPtr<WCHAR> pszDescription;
};

void InitBuildInfoJob(BuildInfoJob& job, const BuildInfo& own, DWORD dwOwnMajor,
                      BuildInfo& latest);
void InitPackageJob(PackageJob& job, const BuildInfo& latest, HANDLE hLocal,
                    LPCWSTR pszLocalPath);

// True when the build-information file was downloaded and holds a line for own's key and
// dwOwnMajor, which then fills latest.
bool GetBuildInformation(HINTERNET hInternet, CallbackParam& param, const BuildInfo& own,
                         DWORD dwOwnMajor, BuildInfo& latest);
// True when the package was copied completely into hLocal, a new empty file at pszLocalPath.
bool DownloadBuild(HINTERNET hInternet, CallbackParam& param, const BuildInfo& latest,
                   HANDLE hLocal, LPCWSTR pszLocalPath);

// A package above 2 GiB is no package: no valid one comes near it.
const DWORD cbPackageMax = 0x80000000;

bool Download(HINTERNET hInternet, CallbackParam& param, BuildInfoJob& job);
bool Download(HINTERNET hInternet, CallbackParam& param, PackageJob& job);

// The copy status of the package job into pszStatus (cchJobText characters): "<1105> VLM
// a.b.c.d (<MiB> <512>)", the size part only when the remote size is known. False only without
// a status buffer.
bool ComposeDownloadStatus(LPWSTR pszStatus, const BuildVersion& version, HINTERNET hRemote);

// True once a transfer was left to end by itself after a Cancel: its thread may still be inside
// WinInet, so the process must end without the libraries' clean-up.
bool TransferLeftRunning();

bool TryOpenUrlCallback(int nEvent, void* pProgress, void* pCallbackData);
bool DownloadBuildCallback(int nEvent, void* pProgress, void* pCallbackData);
// DownloadBuildCallback within the package's bounds.
bool PackageCallback(int nEvent, void* pProgress, void* pCallbackData);

// The bar's position while mirrors fail, and while a file of dwFileSize bytes is copied; a size
// of 0 or an unknown one sweeps 0 to 100 within every MiB.
DWORD NodesPercent(DWORD dwCurrentNode, DWORD dwNodesTotal);
DWORD CopyPercent(DWORD dwFileSize, DWORD dwBytesCopied);
