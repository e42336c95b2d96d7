// Staging, holding and placing a downloaded package.
#include "package_hold.h"
#include "package_check.h"
#include "signature_api.h"

namespace {

const WCHAR szStagingPrefix[] = L"vlm";

// The folder of a path; a drive's root keeps its backslash ("E:\").
bool GetFolder(LPCWSTR pszPath, LPWSTR pszFolder)
{
    pszFolder[0] = L'\0';
    LPCWSTR pszSlash = FindLastChar(pszPath, L'\\');
    if (pszSlash == NULL)
        return false;
    DWORD cchFolder = (DWORD)(pszSlash - pszPath);
    if (cchFolder == 2 && pszPath[1] == L':')
        ++cchFolder;
    *CopyChars(pszFolder, pszPath, cchFolder) = L'\0';
    return true;
}

// A file that is not known for the download yet is never removed after a Cancel.
bool HasDigest(CallbackParam& param, LPCWSTR pszPackage, const FileIdentity* pOurs,
               const BYTE* pbChecked)
{
    BYTE rgbDigest[cbPackageDigest];
    if (!DigestAside(param, pszPackage, pOurs, rgbDigest))
        return false;
    if (SameBytes(rgbDigest, pbChecked, cbPackageDigest))
        return true;
    TracePrint("*** Hold package: %S changed after it was checked ***", pszPackage);
    return false;
}

// Holds the placed file for reading, and only if it is the one that was written: by its ID, or,
// where a rename may change that, by its content. *pbOurs tells whether it is the download.
bool HoldPlaced(StagedPackage& staged, CallbackParam& param, LPCWSTR pszPath,
                const BYTE* pbChecked, bool* pbOurs)
{
    FileIdentity held;
    staged.hFile = HoldFile(pszPath, true);
    if (staged.hFile == INVALID_HANDLE_VALUE || !GetHandleIdentity(staged.hFile, held))
    {
        TracePrint("*** Hold package: can't hold %S (%d) ***", pszPath, (int)GetLastError());
        return false;
    }
    *pbOurs = staged.bKeepsIds && IsSameIdentity(held, staged.written);
    if (staged.bKeepsIds && !*pbOurs)
    {
        TracePrint("*** Hold package: %S is not the file that was written ***", pszPath);
        return false;
    }
    if (!GetHeldPath(staged.hFile, staged.szHeld, MAX_PATH))
        return false;
    if (pbChecked != NULL
        && !HasDigest(param, staged.szHeld, *pbOurs ? &staged.written : NULL, pbChecked))
        return false;
    *pbOurs = true;
    staged.written = held;
    TracePrint("*** Hold package: %S ***", staged.szHeld);
    return true;
}

// Through a handle of its own on the file that was written, never by a name alone.
void RemoveWritten(StagedPackage& staged, LPCWSTR pszPath)
{
    CloseFile(staged.hFile);
    if (!RemoveFileOf(pszPath, staged.written))
        TracePrint("*** Stage download: %S not removed (%d) ***", pszPath, (int)GetLastError());
}

} // namespace

void InitStaged(StagedPackage& staged)
{
    ZeroBytes(&staged, sizeof(staged));
    staged.hFolder = INVALID_HANDLE_VALUE;
    staged.hFile = INVALID_HANDLE_VALUE;
}

bool BeginStaging(LPCWSTR pszChosen, StagedPackage& staged)
{
    WCHAR szFolder[MAX_PATH];
    if (GetFolder(pszChosen, szFolder))
        staged.hFolder = HoldDirectory(szFolder);
    if (staged.hFolder == INVALID_HANDLE_VALUE)
    {
        TracePrint("*** Stage download: can't hold the folder of %S (%d) ***", pszChosen,
                   (int)GetLastError());
        return false;
    }
    // Shared for reading: the hold after the download is reopened through this handle.
    PrivateSecurity security;
    if (MakePrivateSecurity(security))
        staged.hFile = CreateNewFile(szFolder, szStagingPrefix, staged.szStaging,
                                     &security.attributes, FILE_SHARE_READ);
    if (staged.hFile == INVALID_HANDLE_VALUE)
        return false;
    staged.bKeepsIds = KeepsFileIds(staged.hFolder);
    TracePrint("*** Stage download: %S ***", staged.szStaging);
    staged.bWriting = true;
    return GetHandleIdentity(staged.hFile, staged.written);
}

bool HoldStaged(StagedPackage& staged)
{
    staged.hFile = HoldInsteadOfWriter(staged.hFile);
    staged.bWriting = false;
    if (staged.hFile == INVALID_HANDLE_VALUE)
    {
        TracePrint("*** Hold package: can't hold %S (%d) ***", staged.szStaging,
                   (int)GetLastError());
        return false;
    }
    if (!GetHeldPath(staged.hFile, staged.szHeld, MAX_PATH))
        return false;
    TracePrint("*** Hold package: %S ***", staged.szHeld);
    return true;
}

bool PlaceStaged(StagedPackage& staged, CallbackParam& param, LPCWSTR pszChosen,
                 const BYTE* pbChecked)
{
    BYTE rgbDigest[cbPackageDigest];
    if (!staged.bKeepsIds && pbChecked == NULL)
    {
        if (!DigestAside(param, staged.szHeld, &staged.written, rgbDigest))
            return false;
        pbChecked = rgbDigest;
    }
    // A rename replaces whatever has the chosen name, a link included, and never writes
    // through it.
    CloseFile(staged.hFile);
    if (!MoveFileExW(staged.szStaging, pszChosen, MOVEFILE_REPLACE_EXISTING))
    {
        TracePrint("*** Place package: can't move %S to %S (%d) ***", staged.szStaging, pszChosen,
                   (int)GetLastError());
        return false;
    }
    staged.szStaging[0] = L'\0';
    bool bOurs = false;
    staged.bPlaced = HoldPlaced(staged, param, pszChosen, pbChecked, &bOurs);
    // A file that can't be told for the download is somebody else's: it stays.
    if (!staged.bPlaced && bOurs)
        RemoveWritten(staged, pszChosen);
    return staged.bPlaced;
}

void HandOverStaged(StagedPackage& staged, PackageHolds& holds)
{
    PackageHolds placed = {INVALID_HANDLE_VALUE, staged.hFile, staged.hFolder};
    MoveHolds(placed, holds);
    staged.hFile = INVALID_HANDLE_VALUE;
    staged.hFolder = INVALID_HANDLE_VALUE;
    staged.bPlaced = false;
}

void DiscardStaged(StagedPackage& staged)
{
    // A transfer left running after a Cancel may still have the file open: it goes once the
    // last handle is closed, at the latest when the process ends.
    if (staged.bWriting && MarkForDeletion(staged.hFile))
        staged.szStaging[0] = L'\0';
    staged.bWriting = false;
    if (staged.szStaging[0] != L'\0')
        RemoveWritten(staged, staged.szStaging);
    else if (staged.bPlaced)
        RemoveWritten(staged, staged.szHeld);
    staged.szStaging[0] = L'\0';
    staged.bPlaced = false;
    CloseFile(staged.hFile);
    CloseFile(staged.hFolder);
}
