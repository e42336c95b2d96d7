// Companion files: copied from the executable's directory into the downloaded package's one.
// Every failure is traced here; the caller only learns true or false.
#include "extra_files.h"
#include "res/resource.h"
#include "setup_base/setup_base.h"
#include "setup_base/files.h"
#include "setup_base/paths.h"

namespace {

// A directory of at most MAX_PATH characters and its terminator.
const DWORD cchLocation = MAX_PATH + 1;
// A directory, a backslash and a mask or a file name; a longer join is refused, never cut.
const DWORD cchCopyPath = 521;
// The list of string 2011: at most 4,095 characters and the terminator.
const DWORD cchList = 4096;

const WCHAR szCopyPrefix[] = L"vlm";
const DWORD cbCopyBlock = 65536;

// Builds directory, backslash, name into a buffer of cchCopyPath characters. False, with the
// buffer left empty, when that would not fit: a cut path would name another file.
bool JoinPath(LPWSTR pszPath, LPCWSTR pszDirectory, LPCWSTR pszName)
{
    pszPath[0] = L'\0';
    if (AppendBounded(pszPath, cchCopyPath, pszDirectory)
        && AppendPathPart(pszPath, cchCopyPath, pszName))
        return true;
    pszPath[0] = L'\0';
    return false;
}

// A link, a reparse point or a file of several names at the target: replacing it would leave
// what it leads to as it was, but a person who planted it meant it to be written through.
bool IsLinkAt(LPCWSTR pszTarget)
{
    FileHandle target(CreateFileW(pszTarget, 0, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                  FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL));
    BY_HANDLE_FILE_INFORMATION info;
    return target.IsOpen() && GetFileInformationByHandle(target.get(), &info)
        && ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
            || ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0
                && info.nNumberOfLinks > 1));
}

bool CopyData(HANDLE hSource, HANDLE hTarget)
{
    HeapPtr<BYTE> block(AllocItems<BYTE>(cbCopyBlock));
    if (block.get() == NULL)
        return false;
    for (;;)
    {
        DWORD cbRead = 0;
        DWORD cbWritten = 0;
        if (!ReadFile(hSource, block.get(), cbCopyBlock, &cbRead, NULL))
            return false;
        if (cbRead == 0)
            return true;
        if (!WriteFile(hTarget, block.get(), cbRead, &cbWritten, NULL) || cbWritten != cbRead)
            return false;
    }
}

// The copy is made in a new file of its own beside the target and then renamed over it: a
// rename never writes through whatever has the target's name. Fails with the last error set.
bool ReplaceWithCopy(LPCWSTR pszSource, LPCWSTR pszTarget, LPCWSTR pszFolder)
{
    FileHandle source(CreateFileW(pszSource, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, NULL));
    WCHAR szCopy[MAX_PATH];
    FileHandle copy(source.IsOpen() ? CreateNewFile(pszFolder, szCopyPrefix, szCopy)
                                    : INVALID_HANDLE_VALUE);
    if (!copy.IsOpen())
        return false;
    // On the disk before it has the target's name: a crash must not leave a name on a copy
    // whose data never got there.
    bool bCopied = CopyData(source.get(), copy.get()) && FlushFileBuffers(copy.get());
    DWORD dwError = GetLastError();
    copy.reset();
    if (bCopied && MoveFileExW(szCopy, pszTarget, MOVEFILE_REPLACE_EXISTING))
        return true;
    if (bCopied)
        dwError = GetLastError();
    DeleteFileW(szCopy);
    SetLastError(dwError);
    return false;
}

// A failed copy ends the mask: the caller stops its search. Out of line: its paths and the
// search's data in one frame would grow the stack by more than a page at once.
__attribute__((noinline)) bool CopyFoundFile(LPCWSTR oldLocation, LPCWSTR newLocation, LPCWSTR pszName)
{
    WCHAR szSource[cchCopyPath];
    WCHAR szTarget[cchCopyPath];
    if (!JoinPath(szSource, oldLocation, pszName) || !JoinPath(szTarget, newLocation, pszName))
    {
        TracePrint("*** Copy files: %S: path too long ***", pszName);
        return false;
    }
    if (IsLinkAt(szTarget))
    {
        TracePrint("*** Copy files: File %S is a link in %S, not replaced ***", pszName,
                   newLocation);
        return false;
    }
    if (!ReplaceWithCopy(szSource, szTarget, newLocation))
    {
        TracePrint("*** Copy files: File %S is failed to copy to %S (%d) ***", pszName,
                   newLocation, (int)GetLastError());
        return false;
    }
    TracePrint("*** Copy files: File %S is successfully copied to %S ***", pszName, newLocation);
    return true;
}

// A path cut at the capacity, or none at all, would make the copy read some other directory;
// not copying is the lesser harm.
bool GetSourceDirectory(LPWSTR oldLocation)
{
    ZeroBytes(oldLocation, cchLocation * sizeof(WCHAR));
    if (GetExecutableDirectory(oldLocation))
        return true;
    TracePrint("*** Copy extra files: can't get the setup's own path (%d) ***",
               (int)GetLastError());
    return false;
}

// Refused rather than cut: a cut path could end inside a directory name and so name its parent.
bool GetTargetDirectory(LPCWSTR newFileName, LPWSTR newLocation)
{
    ZeroBytes(newLocation, cchLocation * sizeof(WCHAR));
    DWORD cchFileName = (DWORD)lstrlenW(newFileName);
    if (cchFileName >= cchLocation)
    {
        TracePrint("*** Copy extra files: new location too long ***");
        return false;
    }
    CopyChars(newLocation, newFileName, cchFileName);
    CutFileName(newLocation);
    return true;
}

bool IsSameLetter(WCHAR ch1, WCHAR ch2)
{
    return CompareStringOrdinal(&ch1, 1, &ch2, 1, TRUE) == CSTR_EQUAL;
}

// A name against a mask of '*' and '?' that ends at pMaskEnd, letter case aside.
bool MatchesMask(LPCWSTR pszName, LPCWSTR pMask, LPCWSTR pMaskEnd)
{
    LPCWSTR pAfterStar = NULL;
    LPCWSTR pszRetry = NULL;
    while (*pszName != L'\0')
    {
        if (pMask < pMaskEnd && *pMask == L'*')
        {
            pAfterStar = ++pMask;
            pszRetry = pszName;
        }
        else if (pMask < pMaskEnd && (*pMask == L'?' || IsSameLetter(*pMask, *pszName)))
        {
            ++pMask;
            ++pszName;
        }
        else if (pAfterStar != NULL)
        {
            pMask = pAfterStar;
            pszName = ++pszRetry;
        }
        else
            return false;
    }
    while (pMask < pMaskEnd && *pMask == L'*')
        ++pMask;
    return pMask == pMaskEnd;
}

bool MatchesListedMask(LPCWSTR pszName, LPCWSTR pszList)
{
    for (LPCWSTR pMask = pszList; pMask != NULL; )
    {
        LPCWSTR pEnd = NULL;
        LPCWSTR pNext = NextListItem(pMask, &pEnd);
        if (pEnd > pMask && MatchesMask(pszName, pMask, pEnd))
            return true;
        pMask = pNext;
    }
    return false;
}

// The list of string 2011 as a new heap block, or none (traced) when it can't be had.
LPWSTR LoadCompanionList()
{
    LPWSTR pszList = AllocStringRow(IDS_COMPANION_FILES, cchList);
    ASSERT(pszList != NULL);
    return pszList;
}

} // namespace

bool IsCompanionFile(LPCWSTR pszPath)
{
    WCHAR szOwn[cchLocation];
    WCHAR szFolder[cchLocation];
    if (!GetSourceDirectory(szOwn) || !GetTargetDirectory(pszPath, szFolder)
        || !IsSameFile(szOwn, szFolder))
        return false;
    HeapPtr<WCHAR> list(LoadCompanionList());
    return list.get() != NULL
        && MatchesListedMask(FindLastChar(pszPath, L'\\') + 1, list.get());
}

bool CopyExtraFiles(LPCWSTR newFileName)
{
    if (newFileName == NULL)
    {
        ASSERT(newFileName != NULL);
        return false;
    }
    WCHAR oldLocation[cchLocation];
    WCHAR newLocation[cchLocation];
    if (!GetSourceDirectory(oldLocation) || !GetTargetDirectory(newFileName, newLocation))
        return false;
    if (IsSameFile(newLocation, oldLocation))
    {
        TracePrint("*** Copy extra files: nothing to copy (new location is the same as the old one) ***");
        return true;
    }

    HeapPtr<WCHAR> buf(LoadCompanionList());
    if (buf.get() == NULL)
        return false;
    // The list is part of the build, not of the update: without it there is nothing to miss.
    if ((buf.get())[0] == L'\0')
    {
        TracePrint("*** ERROR: Can't get 'Extra files to copy' resource! ***");
        return true;
    }
    return CopyListedFiles(oldLocation, newLocation, buf.get());
}

bool CopyListedFiles(LPCWSTR oldLocation, LPCWSTR newLocation, LPWSTR pszList)
{
    bool bResult = true;
    for (LPWSTR pMask = pszList; pMask != NULL; )
    {
        LPCWSTR pEnd = NULL;
        bool bLast = NextListItem(pMask, &pEnd) == NULL;
        DWORD cchMask = (DWORD)(pEnd - pMask);
        // Two separators in a row, or one at either end, leave an empty mask to pass over.
        // A mask is ended in place and the list restored, so the next item reads as it was.
        if (cchMask > 0)
        {
            WCHAR chSaved = pMask[cchMask];
            pMask[cchMask] = L'\0';
            bResult = CopyFiles(oldLocation, newLocation, pMask) && bResult;
            pMask[cchMask] = chSaved;
        }
        pMask = bLast ? NULL : pMask + cchMask + 1;
    }
    return bResult;
}

bool CopyFiles(LPCWSTR oldLocation, LPCWSTR newLocation, LPCWSTR fileMask)
{
    if (oldLocation == NULL || newLocation == NULL)
    {
        ASSERT(oldLocation != NULL && newLocation != NULL);
        return false;
    }
    if (fileMask == NULL)
    {
        ASSERT(fileMask != NULL);
        return false;
    }
    WCHAR szPattern[cchCopyPath];
    if (!JoinPath(szPattern, oldLocation, fileMask))
    {
        TracePrint("*** Copy files: %S: path too long ***", fileMask);
        return false;
    }

    WIN32_FIND_DATAW findData;
    ZeroBytes(&findData, sizeof(findData));
    HANDLE hFind = FindFirstFileW(szPattern, &findData);
    DWORD dwError = GetLastError();
    if (hFind == INVALID_HANDLE_VALUE && dwError == ERROR_FILE_NOT_FOUND)
    {
        TracePrint("*** Copy files: %S: no file(s) found *** ", fileMask);
        return true;
    }
    // A folder that can't be listed may hold every companion: none copied is no success.
    bool bListed = hFind != INVALID_HANDLE_VALUE;
    bool bResult = bListed;
    while (bResult)
    {
        TracePrint("*** Copy files: %S: file found: %S *** ", fileMask, findData.cFileName);
        bResult = CopyFoundFile(oldLocation, newLocation, findData.cFileName);
        if (bResult && !FindNextFileW(hFind, &findData))
        {
            dwError = GetLastError();
            bListed = bResult = dwError == ERROR_NO_MORE_FILES;
            break;
        }
    }
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
    if (!bListed)
        TracePrint("*** Copy files: %S: can't list (%d) ***", fileMask, (int)dwError);
    return bResult;
}
