// What the dialog shows while a download runs: the callbacks that move its bar and stop a
// transfer the person cancelled, and the texts of its status line.
#pragma once

#include "update_check.h"
#include "../InetCopy/InetCopy.h"

const DWORD cchJobText = 1024;      // every text of a job, terminator included

// A package above 2 GiB is no package: no valid one comes near it.
const DWORD cbPackageMax = 0x80000000;
// A detached signature is a DER message with a certificate or two.
const DWORD cbSignatureMax = 64 * 1024;

// Sets a control of the dialog from a string of the table; false when the text could not be
// allocated (nothing was changed then).
bool SetControlString(HWND hwndDialog, int nControl, UINT uId);

// The copy status of the package job into pszStatus (cchJobText characters): "<1105> VLM
// a.b.c.d (<MiB> <512>)", the size part only when the size is known (not INVALID_FILE_SIZE).
// False only without a status buffer.
bool ComposeDownloadStatus(LPWSTR pszStatus, const BuildVersion& version, DWORD dwSize);

bool TryOpenUrlCallback(int nEvent, void* pProgress, void* pCallbackData);
bool DownloadBuildCallback(int nEvent, void* pProgress, void* pCallbackData);
// DownloadBuildCallback within the bounds of the build-information file.
bool BuildInformationCallback(int nEvent, void* pProgress, void* pCallbackData);
// DownloadBuildCallback within the package's bounds.
bool PackageCallback(int nEvent, void* pProgress, void* pCallbackData);
// DownloadBuildCallback within the bound of a signature.
bool SignatureCallback(int nEvent, void* pProgress, void* pCallbackData);

// The bar's position while mirrors fail, and while a file of dwFileSize bytes is copied; a size
// of 0 or an unknown one sweeps 0 to 100 within every MiB.
DWORD NodesPercent(DWORD dwCurrentNode, DWORD dwNodesTotal);
DWORD CopyPercent(DWORD dwFileSize, DWORD dwBytesCopied);
