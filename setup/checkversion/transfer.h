// The blocking part of a download on a thread of its own, and the one owner of what such a
// transfer shares with the update check's threads.
#pragma once

#include "update_check.h"
#include "../InetCopy/InetCopy.h"

// Who holds what of the update check, and who releases it. A counted record is released by
// whoever lets go of it last; no other code asks whether a transfer was left behind.
//
//   what                                   held by                      released by
//   WorkerShare: the CallbackParam, the    the main thread, the         the last ReleaseShare
//     holds, the package path              worker, every Transfer and
//                                          CheckJob
//   the WinInet session (hSession)         the share                    the share's last release
//   the WinInet binding (bInternetBound)   the share                    the share's last release,
//                                                                       after the session
//   Transfer: its record, its copy of the  the worker and the           the last ReleaseTransfer,
//     job's file handle and of the list    transfer thread              which then lets go of
//                                                                       the share
//   a job's own file and texts             the job, on the worker       the job's end
//   CheckJob (package_check.cpp): its      the worker and the check     the last ReleaseJob, which
//     record and copies of what it reads   thread                       then lets go of the share
//   the dialog                             the main thread              after the worker's wait
//
// A worker ended by force or left suspended never lets go: what it holds stays for good,
// neither read nor freed. A transfer or check left behind after a Cancel lets go when it ends
// by itself, which may be never before the process ends.
struct WorkerShare
{
    volatile LONG lRefs;
    CallbackParam param;
    PackageHolds holds;
    HINTERNET hSession;             // opened by the worker; none before
    bool bInternetBound;            // the worker bound WinInet
    WCHAR szPackage[MAX_PATH];
};

// A share with the main thread's reference, for a check in hwndDialog that starts from
// pszMsiPackage; none when it can't be had.
WorkerShare* NewWorkerShare(HWND hwndDialog, LPCWSTR pszMsiPackage);
void HoldShare(WorkerShare* pShare);
// Lets go of one reference (none: nothing); true when it was the last, and everything the share
// held is released.
bool ReleaseShare(WorkerShare* pShare);

// Where a download that broke off may go on.
enum ResumeScope
{
    resumeNever,            // the build information: small, one pass
    resumeSameMirror,       // a range from another mirror could splice two different files
    resumeAnyMirror,        // the whole file is checked at the end, which catches a splice
};

// What a transfer copies from its job.
struct TransferRequest
{
    LPCWSTR pszSourceList;
    HANDLE hLocal;                  // the job's own new file, empty
    LPCWSTR pszLocalPath;
    LPCWSTR pszCopyStatus;          // none: the package's, composed once its size is known
    const BuildVersion* pVersion;   // the package's
    ProgressCallback pfnCopyCallback;
    ListSpan* pOpened;              // none, or where the node of the list that opened goes
    ResumeScope scope;
};

// Waits for a thread of the update check to end; after a Cancel, for a moment more at most (the
// grace a transfer gets). True when it ended: the thread was not left behind.
bool AwaitThread(HANDLE hThread, const CallbackParam& param);

// True when the transfer ran to its end and copied the whole file into request.hLocal. After
// a Cancel the worker waits for it a moment only, then leaves it to end by itself. The node that
// opened, if any, is noted once the transfer has ended (a length of 0: none).
bool RunTransfer(HINTERNET hSession, CallbackParam& param, const TransferRequest& request);

// A transfer with the worker's and its thread's references, holding param's share; none when
// its copies can't be made. Each side lets go with ReleaseTransfer; exposed for the tests.
struct Transfer;
Transfer* NewTransfer(HINTERNET hSession, CallbackParam& param, const TransferRequest& request);
void ReleaseTransfer(Transfer* pTransfer);
