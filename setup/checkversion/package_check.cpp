// Reading a whole download on a thread of its own, with the counted record that it shares with
// the worker: whoever lets go of it last releases it.
#include "package_check.h"
#include "transfer.h"
#include "../setup_base/msi_database.h"
#include "../res/resource.h"

namespace {

const DWORD cchPins = 1024;

struct CheckJob
{
    volatile LONG lRefs;            // the worker's and the thread's
    WorkerShare* pShare;            // held until the record is released; none outside a check
    volatile LONG lLeft;            // the worker went on without the outcome
    bool bRemove;                   // left behind, the file of that identity goes at the end
    FileIdentity identity;
    PackageCheck check;
    BYTE rgbDigest[cbPackageDigest];
    WCHAR szPackage[MAX_PATH];
    WCHAR szLocal[MAX_PATH];        // empty: the digest alone, else the whole check
    WCHAR szPins[cchPins];
    WCHAR szUpgradeCode[cchPropertyValue];
    WCHAR szLowestVersion[cchPropertyValue];
};

void ReleaseJob(CheckJob* pJob)
{
    if (InterlockedDecrement(&pJob->lRefs) != 0)
        return;
    // The worker has discarded the download by now, but could not remove it while it was read.
    if (pJob->lLeft != 0 && pJob->bRemove)
        RemoveFileOf(pJob->szPackage, pJob->identity);
    WorkerShare* pShare = pJob->pShare;
    FreeBlock(pJob);
    ReleaseShare(pShare);
}

DWORD WINAPI CheckProc(LPVOID pvJob)
{
    CheckJob& job = *(CheckJob*)pvJob;
    if (job.szLocal[0] != L'\0')
    {
        PackageAnchor anchor = {job.szLocal, job.szPins, job.szUpgradeCode,
                                job.szLowestVersion};
        job.check = VerifyDownloadedPackage(anchor, job.szPackage, job.rgbDigest);
    }
    else if (ComputePackageDigest(job.szPackage, job.rgbDigest))
        job.check = PACKAGE_VERIFIED;
    ReleaseJob(&job);
    return 0;
}

} // namespace

PackageCheck CheckAside(CallbackParam& param, LPCWSTR pszLocal, LPCWSTR pszPackage,
                        const FileIdentity* pRemove, BYTE* pbDigest)
{
    CheckJob* pJob = AllocItems<CheckJob>(1);
    if (pJob == NULL || lstrlenW(pszPackage) >= MAX_PATH)
    {
        if (pJob != NULL)
            FreeBlock(pJob);
        return PACKAGE_REFUSED;
    }
    pJob->lRefs = 2;
    HoldShare(param.pShare);
    pJob->pShare = param.pShare;
    pJob->check = PACKAGE_REFUSED;
    lstrcpyW(pJob->szPackage, pszPackage);
    pJob->bRemove = pRemove != NULL;
    if (pRemove != NULL)
        pJob->identity = *pRemove;
    if (pszLocal != NULL)
    {
        lstrcpynW(pJob->szLocal, pszLocal, MAX_PATH);
        LoadStringRow(IDS_PUBLISHER_PINS, pJob->szPins, cchPins);
        LoadStringRow(IDS_UPGRADE_CODE, pJob->szUpgradeCode, cchPropertyValue);
        LoadStringRow(IDS_LOWEST_VERSION, pJob->szLowestVersion, cchPropertyValue);
    }

    PackageCheck check = PACKAGE_REFUSED;
    HANDLE hThread = CreateThread(NULL, 0, CheckProc, pJob, 0, NULL);
    if (hThread == NULL)
        CheckProc(pJob);        // on the worker, unstoppable but working
    bool bEnded = hThread == NULL || AwaitThread(hThread, param);
    if (hThread != NULL)
        CloseHandle(hThread);
    if (bEnded)
    {
        check = pJob->check;
        CopyMemory(pbDigest, pJob->rgbDigest, cbPackageDigest);
    }
    else
    {
        TracePrint("*** Verify package: left behind after cancel ***");
        InterlockedExchange(&pJob->lLeft, 1);
    }
    ReleaseJob(pJob);
    return check;
}
