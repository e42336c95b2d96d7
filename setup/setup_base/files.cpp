// File identity, new files (private ones too), holds, the paths that name them, and removal
// through a handle confirmed to be the file.
#include "files.h"
#include "setup_base.h"
#include "system_library.h"

namespace {

// GetTempFileNameW takes the low 16 bits of a given number; 0 would make it create the file
// itself, closed, for anyone to replace before it is opened again.
const UINT uUniqueMask = 0xFFFF;
const int nNewFileAttempts = 64;
const DWORD dwHoldShare = FILE_SHARE_READ;
const WCHAR szLongPrefix[] = L"\\\\?\\";
const WCHAR szLongUncPrefix[] = L"\\\\?\\UNC\\";
const DWORD cbTokenUser = 128;      // a TOKEN_USER and the longest SID
const DWORD cchFileSystemName = 16;
const SID sidSystem = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};

struct SecurityApi
{
    decltype(::OpenProcessToken)* OpenProcessToken;
    decltype(::GetTokenInformation)* GetTokenInformation;
    decltype(::InitializeAcl)* InitializeAcl;
    decltype(::AddAccessAllowedAce)* AddAccessAllowedAce;
};

union SecurityLibrary
{
    SecurityApi api;
    FARPROC rgpfnSlots[sizeof(SecurityApi) / sizeof(FARPROC)];
};

// The DACL into security.rgdwAcl: the token's user may do anything, the system may read.
bool MakePrivateAcl(const SecurityApi& api, PrivateSecurity& security)
{
    DWORD rgdwUser[cbTokenUser / sizeof(DWORD)];
    HANDLE hToken = NULL;
    DWORD cbUser = 0;
    bool bOpened = api.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken) != FALSE;
    FileHandle token(bOpened ? hToken : INVALID_HANDLE_VALUE);
    bool bMade = bOpened
              && api.GetTokenInformation(token.get(), TokenUser, rgdwUser, cbTokenUser, &cbUser);
    PACL pAcl = (PACL)security.rgdwAcl;
    return bMade && api.InitializeAcl(pAcl, cbPrivateAcl, ACL_REVISION)
        && api.AddAccessAllowedAce(pAcl, ACL_REVISION, GENERIC_ALL,
                                   ((TOKEN_USER*)rgdwUser)->User.Sid)
        && api.AddAccessAllowedAce(pAcl, ACL_REVISION, GENERIC_READ, (PSID)&sidSystem);
}

bool GetPathIdentity(LPCWSTR pszPath, FileIdentity& identity)
{
    // No access asked: the identity of a file that another process holds open is still read.
    FileHandle file(CreateFileW(pszPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL));
    return file.IsOpen() && GetHandleIdentity(file.get(), identity);
}

bool StartsWith(LPCWSTR pszText, LPCWSTR pszPrefix)
{
    return CompareChars(pszText, pszPrefix, (DWORD)lstrlenW(pszPrefix)) == 0;
}

// The held file by its path: the path hands on exactly what it says and opens that very file.
bool NamesHeldFile(HANDLE hFile, LPCWSTR pszPath)
{
    FileIdentity held;
    FileIdentity named;
    return IsCanonicalPath(pszPath) && GetHandleIdentity(hFile, held)
        && GetPathIdentity(pszPath, named) && IsSameIdentity(held, named);
}

} // namespace

void CloseFile(HANDLE& hFile)
{
    if (hFile == INVALID_HANDLE_VALUE)
        return;
    BOOL res = CloseHandle(hFile);
    VERIFY_API_CALL(res != FALSE);
    hFile = INVALID_HANDLE_VALUE;
}

bool GetHandleIdentity(HANDLE hFile, FileIdentity& identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(hFile, &info))
        return false;
    identity.dwVolume = info.dwVolumeSerialNumber;
    identity.dwIndexHigh = info.nFileIndexHigh;
    identity.dwIndexLow = info.nFileIndexLow;
    return true;
}

bool IsSameIdentity(const FileIdentity& a, const FileIdentity& b)
{
    return a.dwVolume == b.dwVolume && a.dwIndexHigh == b.dwIndexHigh
        && a.dwIndexLow == b.dwIndexLow;
}

bool IsSameFile(LPCWSTR pszPath1, LPCWSTR pszPath2)
{
    FileIdentity identity1;
    FileIdentity identity2;
    return GetPathIdentity(pszPath1, identity1) && GetPathIdentity(pszPath2, identity2)
        && IsSameIdentity(identity1, identity2);
}

bool IsPlainFile(HANDLE hFile)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(hFile, &info))
        return false;
    DWORD dwNotPlain = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    return (info.dwFileAttributes & dwNotPlain) == 0 && info.nNumberOfLinks <= 1;
}

bool MakePrivateSecurity(PrivateSecurity& security)
{
    ZeroBytes(&security, sizeof(security));
    SecurityLibrary library;
    HMODULE hAdvapi = BindSystemLibrary(L"advapi32.dll",
                                        "OpenProcessToken\0GetTokenInformation\0InitializeAcl\0"
                                        "AddAccessAllowedAce\0", library.rgpfnSlots);
    bool bMade = hAdvapi != NULL && MakePrivateAcl(library.api, security);
    DWORD dwError = GetLastError();
    if (hAdvapi != NULL)
        FreeLibrary(hAdvapi);
    if (!bMade)
    {
        TracePrint("*** Create file: no private DACL (%d) ***", (int)dwError);
        return false;
    }
    // Absolute form, the owner left to the system: the one the token makes owner of new files.
    security.descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
    security.descriptor.Control = SE_DACL_PRESENT | SE_DACL_PROTECTED;
    security.descriptor.Dacl = (PACL)security.rgdwAcl;
    security.attributes.nLength = sizeof(security.attributes);
    security.attributes.lpSecurityDescriptor = &security.descriptor;
    return true;
}

HANDLE CreateNewFile(LPCWSTR pszDirectory, LPCWSTR pszPrefix, LPWSTR pszPath,
                     SECURITY_ATTRIBUTES* pSecurity, DWORD dwShare)
{
    UINT uUnique = GetTickCount() ^ GetCurrentThreadId();
    DWORD dwError = ERROR_FILE_EXISTS;
    for (int i = 0; i < nNewFileAttempts && dwError == ERROR_FILE_EXISTS; ++i, ++uUnique)
    {
        if ((uUnique & uUniqueMask) == 0)
            ++uUnique;
        if (GetTempFileNameW(pszDirectory, pszPrefix, uUnique & uUniqueMask, pszPath) == 0)
        {
            dwError = GetLastError();
            break;
        }
        HANDLE hFile = CreateFileW(pszPath, GENERIC_READ | GENERIC_WRITE | DELETE, dwShare,
                                   pSecurity, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (hFile != INVALID_HANDLE_VALUE)
            return hFile;
        dwError = GetLastError();
    }
    TracePrint("*** Create file: can't create a new file in %S (%d) ***", pszDirectory,
               (int)dwError);
    pszPath[0] = L'\0';
    return INVALID_HANDLE_VALUE;
}

HANDLE HoldFile(LPCWSTR pszPath, bool bPlainOnly)
{
    DWORD dwFlags = bPlainOnly ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
    HANDLE hFile = CreateFileW(pszPath, GENERIC_READ, dwHoldShare, NULL, OPEN_EXISTING, dwFlags,
                               NULL);
    if (hFile != INVALID_HANDLE_VALUE && bPlainOnly && !IsPlainFile(hFile))
    {
        CloseFile(hFile);
        SetLastError(ERROR_CANT_ACCESS_FILE);
    }
    return hFile;
}

HANDLE HoldInsteadOfWriter(HANDLE& hWriter)
{
    // A hold shares reading only, which the open writer's own access rules out: a bridge that
    // shares everything keeps the file open while the writer closes, and the hold comes from it.
    FileHandle bridge(ReOpenFile(hWriter, GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
    CloseFile(hWriter);
    return bridge.IsOpen() ? ReOpenFile(bridge.get(), GENERIC_READ, dwHoldShare, 0)
                           : INVALID_HANDLE_VALUE;
}

bool MarkForDeletion(HANDLE hFile)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != FALSE;
}

bool RemoveFileOf(LPCWSTR pszPath, const FileIdentity& identity)
{
    FileHandle file(CreateFileW(pszPath, DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    FileIdentity found;
    return file.IsOpen() && GetHandleIdentity(file.get(), found) && IsSameIdentity(found, identity)
        && MarkForDeletion(file.get());
}

bool KeepsFileIds(HANDLE hFolder)
{
    WCHAR szFileSystem[cchFileSystemName];
    if (!GetVolumeInformationByHandleW(hFolder, NULL, 0, NULL, NULL, NULL, szFileSystem,
                                       cchFileSystemName))
        szFileSystem[0] = L'\0';
    return KeepsFileIds(szFileSystem);
}

bool KeepsFileIds(LPCWSTR pszFileSystem)
{
    return CompareStrings(pszFileSystem, L"NTFS") == 0
        || CompareStrings(pszFileSystem, L"ReFS") == 0;
}

HANDLE HoldDirectory(LPCWSTR pszPath)
{
    // Files may still come and go inside; the directory itself can't be renamed or removed.
    HANDLE hDirectory = CreateFileW(pszPath, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    BY_HANDLE_FILE_INFORMATION info;
    if (hDirectory != INVALID_HANDLE_VALUE
        && (!GetFileInformationByHandle(hDirectory, &info)
            || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0))
    {
        CloseFile(hDirectory);
        SetLastError(ERROR_CANT_ACCESS_FILE);
    }
    return hDirectory;
}

bool GetHeldPath(HANDLE hFile, LPWSTR pszPath, DWORD cchPath)
{
    DWORD cchFinal = GetFinalPathNameByHandleW(hFile, pszPath, cchPath, VOLUME_NAME_DOS);
    if (cchFinal == 0 || cchFinal >= cchPath)
    {
        pszPath[0] = L'\0';
        return false;
    }
    // "\\?\C:\dir" becomes "C:\dir", "\\?\UNC\server\share" becomes "\\server\share".
    DWORD iKeep = 0;
    DWORD iFrom = 0;
    if (StartsWith(pszPath, szLongUncPrefix))
    {
        iKeep = 2;
        iFrom = (DWORD)lstrlenW(szLongUncPrefix);
    }
    else if (StartsWith(pszPath, szLongPrefix))
        iFrom = (DWORD)lstrlenW(szLongPrefix);
    *CopyChars(pszPath + iKeep, pszPath + iFrom, cchFinal) = L'\0';
    if (NamesHeldFile(hFile, pszPath))
        return true;
    // A folder "x." is reached as "x" by every program handed the path: another file, unheld.
    TracePrint("*** Hold file: %S is not the held file ***", pszPath);
    pszPath[0] = L'\0';
    return false;
}

bool IsCanonicalPath(LPCWSTR pszPath)
{
    WCHAR szFull[MAX_PATH];
    DWORD cchFull = GetFullPathNameW(pszPath, MAX_PATH, szFull, NULL);
    if (cchFull == 0 || cchFull >= MAX_PATH || CompareStrings(szFull, pszPath) != 0)
        return false;
    for (LPCWSTR psz = pszPath; *psz != L'\0'; ++psz)
    {
        bool bSegmentEnd = psz[1] == L'\\' || psz[1] == L'\0';
        if ((*psz == L':' && psz != pszPath + 1) || *psz == L'?'
            || (bSegmentEnd && (*psz == L'.' || *psz == L' ')))
            return false;
    }
    return true;
}
