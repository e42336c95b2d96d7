// The download jobs of the update check: what each one fetches, where to, and what follows.
#include "download_jobs.h"
#include "info_signature.h"
#include "progress_callbacks.h"
#include "transfer.h"
#include "../setup_base/paths.h"
#include "../res/resource.h"

namespace {

const WCHAR szTempPrefix[] = L"tmp";

// A new empty file named "tmp<n>.tmp" in the temporary directory, named in pszLocalPath.
HANDLE CreateTempFile(LPWSTR pszLocalPath)
{
    HeapPtr<WCHAR> directory(AllocTempDirectory());
    if (directory.get() == NULL || pszLocalPath == NULL)
        return INVALID_HANDLE_VALUE;
    return CreateNewFile(directory.get(), szTempPrefix, pszLocalPath);
}

// What differs between the two jobs; everything else is Download's own sequence.
struct JobVariant
{
    LPCWSTR pszDescription;
    TransferRequest request;
    bool (*pfnAfterCopy)(void* pJob, HANDLE hLocal);
    void* pJob;
};

void ShowDescription(HWND hwndDialog, LPCWSTR pszDescription)
{
    if (pszDescription == NULL)
        return;
    TracePrint("*** DownloadImpl: set description: start ***");
    BOOL resDIT = SetDlgItemTextW(hwndDialog, IDC_DESCRIPTION, pszDescription);
    VERIFY_API_CALL(resDIT != FALSE);
    TracePrint("*** DownloadImpl: set description: end ***");
}

bool DownloadImpl(HINTERNET hInternet, CallbackParam& param, JobVariant& job)
{
    TracePrint("*** Download: start ***");
    ASSERT(hInternet != NULL);
    if (hInternet == NULL)
    {
        TracePrint("*** Download: Invalid internet handle ***");
        return false;
    }
    ASSERT_AS(::IsWindow(param.hwndDialog) != FALSE,
              "::IsWindow( CallbackParam.hwndDialog ) != FALSE");
    if (!::IsWindow(param.hwndDialog))
    {
        TracePrint("*** Download: Invalid dialog handle ***");
        return false;
    }
    ShowDescription(param.hwndDialog, job.pszDescription);

    const TransferRequest& request = job.request;
    bool bResult = request.pszSourceList != NULL && request.hLocal != INVALID_HANDLE_VALUE
                && RunTransfer(hInternet, param, request);
    if (bResult && job.pfnAfterCopy != NULL)
        bResult = job.pfnAfterCopy(job.pJob, request.hLocal);
    if (bResult)
    {
        TracePrint("*** DownloadImpl: set complete status: start ***");
        SetControlString(param.hwndDialog, IDC_STATUS, IDS_REQUEST_COMPLETED);
        TracePrint("*** DownloadImpl: set complete status: end ***");
    }
    TracePrint("*** Download: Download build: end ***");
    return bResult;
}

// Only build information whose signature allows it is parsed, and only the bytes that were
// checked: a mirror must not be able to hide later builds by serving an old file.
bool ParseDownloadedInformation(void* pJob, HANDLE hLocal)
{
    BuildInfoJob& job = *(BuildInfoJob*)pJob;
    DWORD cbText = 0;
    HeapPtr<char> text(ReadLocalFile(hLocal, cbBuildInformationMax, cbText));
    return text.get() != NULL
        && IsBuildInformationSigned(job.hSession, *job.pParam, job.pszUrlList.get(), job.opened,
                                    (const BYTE*)text.get(), cbText)
        && ParseBuildInformationText(text.get(), cbText, job.pOwnBuildInfo->szKey,
                                     job.dwOwnMajor, *job.pLatestBuildInfo);
}

} // namespace

void InitBuildInfoJob(BuildInfoJob& job, const BuildInfo& own, DWORD dwOwnMajor,
                      BuildInfo& latest)
{
    job.pOwnBuildInfo = &own;
    job.dwOwnMajor = dwOwnMajor;
    job.pLatestBuildInfo = &latest;
    job.opened.ichBegin = 0;
    job.opened.cch = 0;
    job.pszUrlList.reset(AllocStringRow(IDS_MIRROR_URLS, cchJobText));
    job.pszLocalPath.reset(AllocText(MAX_PATH));
    job.pszCopyStatus.reset(AllocStringRow(IDS_SEARCHING, cchJobText));
    job.pszDescription.reset(AllocStringRow(IDS_DESCRIPTION_SEARCH, cchJobText));
    job.hLocal.reset(CreateTempFile(job.pszLocalPath.get()));
}

void InitPackageJob(PackageJob& job, const BuildInfo& latest, HANDLE hLocal,
                    LPCWSTR pszLocalPath, bool bChecked)
{
    job.pLatestBuildInfo = &latest;
    job.hLocal = hLocal;
    job.pszLocalPath = pszLocalPath;
    job.bChecked = bChecked;
    job.pszDescription.reset(AllocStringRow(IDS_DESCRIPTION_DOWNLOAD, cchJobText));
}

bool Download(HINTERNET hInternet, CallbackParam& param, BuildInfoJob& job)
{
    job.hSession = hInternet;
    job.pParam = &param;
    JobVariant variant = {
        job.pszDescription.get(),
        {job.pszUrlList.get(), job.hLocal.get(), job.pszLocalPath.get(), job.pszCopyStatus.get(),
         NULL, BuildInformationCallback, &job.opened, resumeNever},
        ParseDownloadedInformation, &job,
    };
    return DownloadImpl(hInternet, param, variant);
}

bool Download(HINTERNET hInternet, CallbackParam& param, PackageJob& job)
{
    JobVariant variant = {
        job.pszDescription.get(),
        {job.pLatestBuildInfo->UrlList(), job.hLocal, job.pszLocalPath, NULL,
         &job.pLatestBuildInfo->version, PackageCallback, NULL,
         job.bChecked ? resumeAnyMirror : resumeSameMirror},
        NULL, &job,
    };
    return DownloadImpl(hInternet, param, variant);
}

bool GetBuildInformation(HINTERNET hInternet, CallbackParam& param, const BuildInfo& own,
                         DWORD dwOwnMajor, BuildInfo& latest)
{
    BuildInfoJob job;
    InitBuildInfoJob(job, own, dwOwnMajor, latest);
    return Download(hInternet, param, job);
}

bool DownloadBuild(HINTERNET hInternet, CallbackParam& param, const BuildInfo& latest,
                   HANDLE hLocal, LPCWSTR pszLocalPath, bool bChecked)
{
    PackageJob job;
    InitPackageJob(job, latest, hLocal, pszLocalPath, bChecked);
    return Download(hInternet, param, job);
}
