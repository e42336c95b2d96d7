// Companion files: copied from the executable's directory into the downloaded package's one.
// Every failure is traced here; the caller only learns true or false.
#include "extra_files.h"
#include "res/resource.h"
#include "setup_base/setup_base.h"

namespace {

// A directory of at most MAX_PATH characters and its terminator.
const DWORD cchLocation = MAX_PATH + 1;
// What GetModuleFileNameW may fill; a result that reaches it means the path was cut.
const DWORD cchModulePath = MAX_PATH;
// A directory, a backslash and a mask or a file name; a longer join is refused, never cut.
const DWORD cchCopyPath = 521;
// The list of string 2011: at most 4,095 characters and the terminator.
const DWORD cchList = 4096;
const DWORD cbList = cchList * sizeof(WCHAR);

const WCHAR chListSeparator = L';';
const WCHAR chPathSeparator = L'\\';

// Builds directory, backslash, name into a buffer of cchCopyPath characters. False, with the
// buffer left empty, when that would not fit: a cut path would name another file.
bool JoinPath(LPWSTR pszPath, LPCWSTR pszDirectory, LPCWSTR pszName)
{
    ZeroBytes(pszPath, cchCopyPath * sizeof(WCHAR));
    DWORD cchDirectory = (DWORD)lstrlenW(pszDirectory);
    DWORD cchName = (DWORD)lstrlenW(pszName);
    if (cchDirectory + 1 + cchName >= cchCopyPath)
        return false;
    LPWSTR pEnd = CopyChars(pszPath, pszDirectory, cchDirectory);
    *pEnd++ = chPathSeparator;
    CopyChars(pEnd, pszName, cchName);
    return true;
}

// A failed copy ends the mask: the caller stops its search.
bool CopyFoundFile(LPCWSTR oldLocation, LPCWSTR newLocation, LPCWSTR pszName)
{
    WCHAR szSource[cchCopyPath];
    WCHAR szTarget[cchCopyPath];
    if (!JoinPath(szSource, oldLocation, pszName) || !JoinPath(szTarget, newLocation, pszName))
    {
        TracePrint("*** Copy files: %S: path too long ***", pszName);
        return false;
    }
    if (!CopyFileW(szSource, szTarget, FALSE))
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
    DWORD cchPath = GetModuleFileNameW(NULL, oldLocation, cchModulePath);
    if (cchPath == 0 || cchPath >= cchModulePath)
    {
        TracePrint("*** Copy extra files: can't get the setup's own path (%d) ***",
                   (int)GetLastError());
        return false;
    }
    StripFileName(oldLocation);
    return true;
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
    StripFileName(newLocation);
    return true;
}

} // namespace

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
    if (CompareStrings(newLocation, oldLocation) == 0)
    {
        TracePrint("*** Copy extra files: nothing to copy (new location is the same as the old one) ***");
        return true;
    }

    HeapPtr buf(AllocBlock(cbList));
    if (buf.get() == NULL)
    {
        ASSERT(buf.get() != NULL);
        return false;
    }
    int resLoad = LoadStringW(GetModuleHandleW(NULL), IDS_COMPANION_FILES, (LPWSTR)buf.get(),
                              cchList);
    ASSERT(resLoad > 0);
    // The list is part of the build, not of the update: without it there is nothing to miss.
    if (resLoad == 0)
    {
        TracePrint("*** ERROR: Can't get 'Extra files to copy' resource! ***");
        return true;
    }
    return CopyListedFiles(oldLocation, newLocation, (LPWSTR)buf.get());
}

bool CopyListedFiles(LPCWSTR oldLocation, LPCWSTR newLocation, LPWSTR pszList)
{
    int len = lstrlenW(pszList);
    if (len == 0)
        return true;

    bool bResult = true;
    int startOffset = 0;
    int endOffset = -1;
    do
    {
        startOffset = endOffset + 1;
        LPCWSTR pSeparator = FindChar(pszList + startOffset, chListSeparator);
        endOffset = pSeparator != NULL ? (int)(pSeparator - pszList) : len;
        ASSERT(startOffset >= 0 && startOffset < len);
        ASSERT(endOffset >= 0 && endOffset <= len);
        // Two separators in a row, or one at either end, leave an empty mask to pass over.
        if (startOffset < endOffset)
        {
            // The mask is cut out in place and the list restored, so the next search sees
            // the text unchanged.
            WCHAR chSaved = pszList[endOffset];
            pszList[endOffset] = L'\0';
            if (!CopyFiles(oldLocation, newLocation, pszList + startOffset))
                bResult = false;
            pszList[endOffset] = chSaved;
        }
    } while (endOffset < len);
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
    if (hFind == INVALID_HANDLE_VALUE)
    {
        TracePrint("*** Copy files: %S: no file(s) found *** ", fileMask);
        return true;
    }
    bool bResult = true;
    for (;;)
    {
        TracePrint("*** Copy files: %S: file found: %S *** ", fileMask, findData.cFileName);
        if (!CopyFoundFile(oldLocation, newLocation, findData.cFileName))
        {
            bResult = false;
            break;
        }
        if (!FindNextFileW(hFind, &findData))
        {
            ASSERT(GetLastError() == ERROR_NO_MORE_FILES);
            break;
        }
    }
    FindClose(hFind);
    return bResult;
}

void StripFileName(LPWSTR fullFileName)
{
    LPCWSTR pBackslash = FindLastChar(fullFileName, chPathSeparator);
    DWORD dwEnd = pBackslash != NULL ? (DWORD)(pBackslash - fullFileName) : 0;
    fullFileName[dwEnd] = L'\0';
}
