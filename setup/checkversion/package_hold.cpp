// Staging, holding and placing a downloaded package.
#include "package_hold.h"
#include "package_signature.h"

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

// Holds the file at pszPath for reading, and only if it is the one that was written.
bool HoldWritten(StagedPackage& staged, LPCWSTR pszPath)
{
    staged.hFile = HoldFile(pszPath, true);
    if (staged.hFile == INVALID_HANDLE_VALUE)
    {
        TracePrint("*** Hold package: can't hold %S (%d) ***", pszPath, (int)GetLastError());
        return false;
    }
    FileIdentity held;
    if (!GetHandleIdentity(staged.hFile, held) || !IsSameIdentity(held, staged.written))
    {
        TracePrint("*** Hold package: %S is not the file that was written ***", pszPath);
        return false;
    }
    if (!GetHeldPath(staged.hFile, staged.szHeld, MAX_PATH))
    {
        TracePrint("*** Hold package: can't resolve %S (%d) ***", pszPath, (int)GetLastError());
        return false;
    }
    TracePrint("*** Hold package: %S ***", staged.szHeld);
    return true;
}

bool HasDigest(LPCWSTR pszPackage, const BYTE* pbChecked)
{
    BYTE rgbDigest[cbPackageDigest];
    if (!ComputePackageDigest(pszPackage, rgbDigest))
        return false;
    for (DWORD i = 0; i < cbPackageDigest; ++i)
    {
        if (rgbDigest[i] != pbChecked[i])
        {
            TracePrint("*** Hold package: %S changed after it was checked ***", pszPackage);
            return false;
        }
    }
    return true;
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
    staged.hFile = CreateNewFile(szFolder, szStagingPrefix, staged.szStaging);
    if (staged.hFile == INVALID_HANDLE_VALUE)
        return false;
    TracePrint("*** Stage download: %S ***", staged.szStaging);
    staged.bWriting = true;
    return GetHandleIdentity(staged.hFile, staged.written);
}

bool HoldStaged(StagedPackage& staged)
{
    CloseFile(staged.hFile);
    staged.bWriting = false;
    return HoldWritten(staged, staged.szStaging);
}

bool PlaceStaged(StagedPackage& staged, LPCWSTR pszChosen, const BYTE* pbChecked)
{
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
    if (HoldWritten(staged, pszChosen) && (pbChecked == NULL || HasDigest(staged.szHeld, pbChecked)))
        return true;
    // Only a name goes: whatever the chosen name leads to by now, its data stays.
    CloseFile(staged.hFile);
    DeleteFileW(pszChosen);
    return false;
}

void HandOverStaged(StagedPackage& staged, PackageHolds& holds)
{
    PackageHolds placed = {INVALID_HANDLE_VALUE, staged.hFile, staged.hFolder};
    MoveHolds(placed, holds);
    staged.hFile = INVALID_HANDLE_VALUE;
    staged.hFolder = INVALID_HANDLE_VALUE;
}

void DiscardStaged(StagedPackage& staged)
{
    // A transfer left running after a Cancel may still have the file open: it goes once the
    // last handle is closed, at the latest when the process ends.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (staged.bWriting && SetFileInformationByHandle(staged.hFile, FileDispositionInfo,
                                                      &disposition, sizeof(disposition)))
        staged.szStaging[0] = L'\0';
    staged.bWriting = false;
    CloseFile(staged.hFile);
    if (staged.szStaging[0] != L'\0')
    {
        BOOL res = DeleteFileW(staged.szStaging);
        VERIFY_API_CALL(res != FALSE);
        staged.szStaging[0] = L'\0';
    }
    CloseFile(staged.hFolder);
}
