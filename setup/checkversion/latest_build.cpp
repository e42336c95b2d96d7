// The latest-build check: the session, the build information, the question, the Save As
// dialog, the package download and its companion files.
#include "latest_build.h"
#include "download_jobs.h"
#include "extra_files.h"
#include "package_check.h"
#include "package_hold.h"
#include "../WinInet/WinInet.h"
#include "../setup_base/paths.h"
#include "../setup_base/system_library.h"
#include "../res/resource.h"

#include <commdlg.h>

namespace {

const DWORD dwTimeoutMs = 12000;
const DWORD dwConnectRetries = 3;
const DWORD cchQuestionText = 1024;
const int cchEngineEscape = 4;      // "[\[]" or "[\]]"
const WCHAR szSaveFilter[] = L"Windows Installer script (*.msi)\0*.msi\0All files (*.*)\0*.*\0";
const DWORD dwSaveFlags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_OVERWRITEPROMPT;
static_assert(dwSaveFlags == 0x80802, "Save As flags");

// A failed option is only reported: the session works with WinInet's own defaults.
void SetSessionOptions(HINTERNET hInternet)
{
    DWORD dwTimeout = dwTimeoutMs;
    DWORD dwRetries = dwConnectRetries;
    BOOL resSO = WinInetApi.InternetSetOptionW(hInternet, INTERNET_OPTION_CONNECT_TIMEOUT,
                                               &dwTimeout, sizeof(dwTimeout));
    VERIFY_WININET_CALL(resSO != FALSE);
    resSO = WinInetApi.InternetSetOptionW(hInternet, INTERNET_OPTION_SEND_TIMEOUT, &dwTimeout,
                                          sizeof(dwTimeout));
    VERIFY_WININET_CALL(resSO != FALSE);
    resSO = WinInetApi.InternetSetOptionW(hInternet, INTERNET_OPTION_RECEIVE_TIMEOUT, &dwTimeout,
                                          sizeof(dwTimeout));
    VERIFY_WININET_CALL(resSO != FALSE);
    resSO = WinInetApi.InternetSetOptionW(hInternet, INTERNET_OPTION_CONNECT_RETRIES, &dwRetries,
                                          sizeof(dwRetries));
    VERIFY_WININET_CALL(resSO != FALSE);
}

bool IsConnected()
{
    TracePrint("*** CheckLatestBuild: Check internet connection state ***");
    DWORD dwFlags = 0;
    BOOL connectedState = WinInetApi.InternetGetConnectedState(&dwFlags, 0);
    VERIFY_WININET_CALL(connectedState != FALSE);
    if (!connectedState)
    {
        TracePrint("*** CheckLatestBuild: Internet connection is not available ***");
        return false;
    }
    TracePrint("*** CheckLatestBuild: Internet connection is available (%d) ***", (int)dwFlags);
    return true;
}

// comdlg32 is loaded for the Save As dialog alone: imported, it would slow down every run,
// silent ones included, for a dialog that only an accepted update shows.
BOOL ShowSaveDialog(OPENFILENAMEW* pofn)
{
    EntryPoint<decltype(::GetSaveFileNameW)> saveDialog;
    HMODULE hComdlg = BindSystemLibrary(L"comdlg32.dll", "GetSaveFileNameW\0",
                                        saveDialog.rgpfnSlots);
    VERIFY_API_CALL(hComdlg != NULL);
    if (hComdlg == NULL)
        return FALSE;
    BOOL bSaved = saveDialog.pfn(pofn);
    FreeLibrary(hComdlg);
    return bSaved;
}

bool AskSavePath(HWND hwndOwner, LPWSTR pszPath)
{
    OPENFILENAMEW ofn;
    ZeroBytes(&ofn, sizeof(ofn));
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
    ofn.hwndOwner = hwndOwner;
    ofn.lpstrFilter = szSaveFilter;
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = pszPath;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrInitialDir = L".";
    ofn.Flags = dwSaveFlags;
    return ShowSaveDialog(&ofn) != FALSE;
}

// The chosen path becomes the own BuildInfo's list, from where the worker hands it on.
bool KeepChosenPath(BuildInfo& own, LPCWSTR pszPath)
{
    DWORD cchPath = (DWORD)lstrlenW(pszPath);
    LPWSTR pszCopy = AllocText(cchPath + 1);
    if (pszCopy == NULL)
        return false;
    CopyChars(pszCopy, pszPath, cchPath);
    SetUrlList(own, pszCopy);
    return true;
}

// The local package's path to check a download against: held from this first use as an anchor
// until msiexec has ended, and then the held file's own path. A missing package anchors
// nothing and is no failure; one that is there but can't be held is.
bool HoldLocalPackage(CallbackParam& param, LPWSTR pszLocal)
{
    if (param.pszMsiPackage == NULL || !GetLocalPackagePath(param.pszMsiPackage, pszLocal))
        return false;
    HANDLE& hLocal = param.pHolds->hLocal;
    if (hLocal == INVALID_HANDLE_VALUE)
        hLocal = HoldFile(pszLocal, false);
    if (hLocal != INVALID_HANDLE_VALUE)
        return GetHeldPath(hLocal, pszLocal, MAX_PATH);
    DWORD dwError = GetLastError();
    if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
        return true;
    TracePrint("*** Hold package: can't hold the local package %S (%d) ***", pszLocal,
               (int)dwError);
    return false;
}

// A download is checked where it was staged, held, against the pins of string 2012 or the
// local package's signer; a refused one is never given the chosen name, and the person is told.
bool IsAcceptedPackage(CallbackParam& param, StagedPackage& staged, BYTE* pbDigest,
                       bool* pbVerified)
{
    WCHAR szLocal[MAX_PATH];
    PackageCheck check = PACKAGE_REFUSED;
    if (HoldLocalPackage(param, szLocal) && HoldStaged(staged))
        check = CheckAside(param, szLocal, staged.szHeld, &staged.written, pbDigest);
    *pbVerified = check == PACKAGE_VERIFIED;
    if (check == PACKAGE_NOT_ANCHORED)
        TracePrint("*** CheckLatestBuild: download installed unverified ***");
    if (check != PACKAGE_REFUSED)
        return true;
    // A Cancel is no refusal to tell the person about.
    if (!IsStopRequested(param))
        ShowStringBox(param.hwndDialog, IDS_SETUP_TITLE, IDS_PACKAGE_NOT_VERIFIED, NULL,
                      MB_OK | MB_ICONWARNING);
    return false;
}

// After a Cancel nothing of the download is used, however soon after it the transfer ended.
bool GoesOn(const CallbackParam& param)
{
    if (!IsStopRequested(param))
        return true;
    TracePrint("*** CheckLatestBuild: cancelled, download not used ***");
    return false;
}

// Whether the download will be checked as a whole before it is used: only then may a download
// that broke off go on from another mirror, whose bytes might belong to another file.
bool WillBeChecked(CallbackParam& param)
{
    LPCWSTR pszPins = NULL;
    if (LoadStringW(GetModuleHandleW(NULL), IDS_PUBLISHER_PINS, (LPWSTR)&pszPins, 0) > 0)
        return true;
    WCHAR szLocal[MAX_PATH];
    return param.pszMsiPackage != NULL && GetLocalPackagePath(param.pszMsiPackage, szLocal)
        && IsSignedPackage(szLocal);
}

// The download must never be written over the local package: a failed or refused one would
// leave nothing sound to install, and the signature check nothing to compare it with.
bool IsLocalPackage(const CallbackParam& param, LPCWSTR pszChosen)
{
    WCHAR szLocal[MAX_PATH];
    if (param.pszMsiPackage == NULL || !GetLocalPackagePath(param.pszMsiPackage, szLocal)
        || !IsSameFile(szLocal, pszChosen))
        return false;
    TracePrint("*** CheckLatestBuild: Save file: the local package is not replaced ***");
    return true;
}

// The chosen name as Windows will use it: a name that path parsing would change ("Data1.cab.",
// "sub\..\Data1.cab", "setup/Data1.cab") would pass the checks below in one spelling and be
// written in another.
bool IsPlainChoice(LPCWSTR pszChosen)
{
    if (IsCanonicalPath(pszChosen))
        return true;
    TracePrint("*** CheckLatestBuild: Save file: %S is no plain path ***", pszChosen);
    return false;
}

// Nor over a companion file beside the setup: the local package may be installed from it.
bool IsCompanionName(LPCWSTR pszChosen)
{
    if (!IsCompanionFile(pszChosen))
        return false;
    TracePrint("*** CheckLatestBuild: Save file: a companion file is not replaced ***");
    return true;
}

// The download is written under a name of its own, checked, and only then takes the chosen
// name; the rules of the chosen name are checked again on the file that now has it.
bool DownloadAndPlace(HINTERNET hInternet, CallbackParam& param, BuildInfo& own,
                      const BuildInfo& latest, LPCWSTR pszPath)
{
    StagedPackage staged;
    InitStaged(staged);
    TracePrint("*** CheckLatestBuild: Download build: start ***");
    bool bResult = BeginStaging(pszPath, staged)
                && DownloadBuild(hInternet, param, latest, staged.hFile, staged.szStaging,
                                 WillBeChecked(param));
    TracePrint("*** CheckLatestBuild: Download build: end ***");
    BYTE rgbDigest[cbPackageDigest];
    bool bVerified = false;
    bResult = bResult && GoesOn(param) && IsAcceptedPackage(param, staged, rgbDigest, &bVerified)
           && GoesOn(param) && PlaceStaged(staged, param, pszPath, bVerified ? rgbDigest : NULL)
           && !IsLocalPackage(param, staged.szHeld) && !IsCompanionName(staged.szHeld)
           && KeepChosenPath(own, staged.szHeld) && GoesOn(param) && CopyExtraFiles(pszPath);
    if (bResult)
        HandOverStaged(staged, *param.pHolds);
    DiscardStaged(staged);
    return bResult;
}

// Steps after a Yes: the default name, the Save As dialog, the download, the companions.
bool SaveLatestBuild(HINTERNET hInternet, CallbackParam& param, BuildInfo& own,
                     const BuildInfo& latest)
{
    TracePrint("*** CheckLatestBuild: Latest build found, suggest one ***");
    WCHAR szPath[MAX_PATH];
    ZeroBytes(szPath, sizeof(szPath));
    SuggestFileName(latest.UrlList(), szPath);

    TracePrint("*** CheckLatestBuild: Save file: start ***");
    bool bResult = AskSavePath(param.hwndDialog, szPath) && IsPlainChoice(szPath)
                && !IsLocalPackage(param, szPath)
                && !IsCompanionName(szPath)
                && DownloadAndPlace(hInternet, param, own, latest, szPath);
    TracePrint("*** CheckLatestBuild: Save file: end: %d ***", bResult ? 1 : 0);
    return bResult;
}

bool CheckWithSession(HINTERNET hInternet, CallbackParam& param, BuildInfo& own,
                      ConfirmCallback* pConfirm)
{
    if (!IsConnected())
        return false;
    TracePrint("*** CheckLatestBuild: Get build information: start ***");
    bool bResult = false;
    BuildInfo latest;
    InitBuildInfo(latest);
    if (GetBuildInformation(hInternet, param, own, own.version.dwMajor, latest))
    {
        TracePrint("*** CheckLatestBuild: Build information successfully received ***");
        TracePrint("*** CheckLatestBuild: Check build version ***");
        bool bNewer = !IsSet(own.version) || IsLess(own.version, latest.version);
        bool bAccepted = bNewer && (pConfirm == NULL || *pConfirm == NULL ||
                                    (*pConfirm)(param.hwndDialog, latest));
        if (bAccepted)
            bResult = SaveLatestBuild(hInternet, param, own, latest);
    }
    TracePrint("*** CheckLatestBuild: Get build information: end ***");
    ReleaseBuildInfo(latest);
    return bResult;
}

// Index of the default name in a cracked path: after the last '/' or '\' that is not the
// path's first character, else after the first character.
DWORD NameStart(LPCWSTR pszPath, DWORD cchPath)
{
    for (DWORD i = cchPath - 1; i >= 1; --i)
    {
        if (pszPath[i] == L'/' || pszPath[i] == L'\\')
            return i + 1;
    }
    return 1;
}

} // namespace

bool GetLocalPackagePath(LPCWSTR pszMsiPackage, LPWSTR pszPath)
{
    WCHAR szDirectory[MAX_PATH];
    return GetExecutableDirectory(szDirectory)
        && MakePackagePath(szDirectory, pszMsiPackage, pszPath, MAX_PATH);
}

// The string row was written with the installer engine's escapes for brackets, which a message
// box shows as they stand: "[\[]" and "[\]]" become "[" and "]", in place.
void RenderEngineEscapes(LPWSTR pszText)
{
    LPWSTR pszOut = pszText;
    for (LPCWSTR psz = pszText; *psz != L'\0'; ++pszOut)
    {
        bool bEscape = psz[0] == L'[' && psz[1] == L'\\' && (psz[2] == L'[' || psz[2] == L']')
                    && psz[3] == L']';
        *pszOut = bEscape ? psz[2] : *psz;
        psz += bEscape ? cchEngineEscape : 1;
    }
    *pszOut = L'\0';
}

LPWSTR ComposeQuestion(LPCWSTR pszMessage, LPCWSTR pszVersion)
{
    LPCWSTR pszPercent = FindChar(pszMessage, L'%');
    if (pszPercent == NULL)
        return NULL;
    DWORD cchMessage = (DWORD)lstrlenW(pszMessage);
    DWORD cchVersion = (DWORD)lstrlenW(pszVersion);
    LPWSTR pszText = AllocText(cchMessage + cchVersion + 1);
    if (pszText == NULL)
        return NULL;
    DWORD cchHead = (DWORD)(pszPercent - pszMessage);
    CopyChars(pszText, pszMessage, cchHead);
    CopyChars(pszText + cchHead, pszVersion, cchVersion);
    CopyChars(pszText + cchHead + cchVersion, pszPercent + 1, cchMessage - cchHead - 1);
    RenderEngineEscapes(pszText);
    return pszText;
}

void SuggestFileName(LPCWSTR pszUrlList, LPWSTR pszName)
{
    if (pszUrlList == NULL)
        return;
    LPCWSTR pEnd = NULL;
    NextListItem(pszUrlList, &pEnd);
    DWORD cchUrl = (DWORD)(pEnd - pszUrlList);
    HeapPtr<WCHAR> path(AllocText(cchUrl + 1));
    LPWSTR pszPath = path.get();
    if (pszPath == NULL)
        return;

    TracePrint("*** CheckLatestBuild: Change internet URL: start ***");
    URL_COMPONENTSW components;
    ZeroBytes(&components, sizeof(components));
    components.dwStructSize = sizeof(components);
    components.lpszUrlPath = pszPath;
    components.dwUrlPathLength = cchUrl;
    if (WinInetApi.InternetCrackUrlW(pszUrlList, cchUrl, ICU_ESCAPE, &components))
    {
        TracePrint("*** CheckLatestBuild: Internet URL is successfully changed ***");
        DWORD cchPath = components.dwUrlPathLength;
        if (cchPath > 0 && cchPath <= cchUrl)
        {
            DWORD iName = NameStart(pszPath, cchPath);
            // A name that does not fit the path buffer is no name: a cut one would save the
            // package under another name than the mirror's.
            if (cchPath - iName < MAX_PATH)
                CopyChars(pszName, pszPath + iName, cchPath - iName);
        }
    }
    TracePrint("*** CheckLatestBuild: Change internet URL: end ***");
}

bool ConfirmNewBuild(HWND hDialog, const BuildInfo& latest)
{
    ASSERT(::IsWindow( hDialog ) != FALSE);
    HeapPtr<WCHAR> message(AllocStringRow(IDS_NEW_BUILD_QUESTION, cchQuestionText));
    ASSERT(message.get() != NULL);
    if (message.get() == NULL)
        return false;
    LONG lExStyle = GetWindowLongW(hDialog, GWL_EXSTYLE);

    UINT uStyle = MB_YESNO | MB_ICONQUESTION;
    HeapPtr<WCHAR> version(FormatVersion(latest.version));
    HeapPtr<WCHAR> question(version.get() != NULL ? ComposeQuestion(message.get(), version.get())
                                                  : NULL);
    LPCWSTR pszShown = message.get();
    if (question.get() != NULL)
    {
        pszShown = question.get();
        if ((lExStyle & WS_EX_LAYOUTRTL) != 0)
            uStyle |= MB_RTLREADING;
    }
    return ShowStringBox(hDialog, IDS_SETUP_TITLE, 0, pszShown, uStyle) == IDYES;
}

bool CheckLatestBuild(CallbackParam& param, HINTERNET& hSession, BuildInfo& own,
                      ConfirmCallback* pConfirm)
{
    bool bResult = false;
    TracePrint("*** CheckLatestBuild: Open internet connection: start ***");
    hSession = WinInetApi.InternetOpenW(NULL, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (hSession != NULL)
    {
        TracePrint("*** CheckLatestBuild: Internet connection successfully opened ***");
        SetSessionOptions(hSession);
        bResult = CheckWithSession(hSession, param, own, pConfirm);
    }
    TracePrint("*** CheckLatestBuild: Open internet connection: end ***");
    return bResult;
}
