// Files the setup writes or relies on: their identity, new files that nothing else can have
// planted, and holds that keep a checked file as it was until msiexec has read it.
#pragma once

#include <windows.h>

#include "setup_base.h"

// Closes a file handle, the close verified, and leaves INVALID_HANDLE_VALUE in its place;
// nothing for a handle that is none already.
void CloseFile(HANDLE& hFile);

struct FileTraits
{
    typedef HANDLE Type;
    static HANDLE None() { return INVALID_HANDLE_VALUE; }
    static void Release(HANDLE hFile) { CloseFile(hFile); }
};

// Scoped owner of a file handle, INVALID_HANDLE_VALUE for none.
typedef Owned<FileTraits> FileHandle;

// Which file a handle is open on, however its names are written.
struct FileIdentity
{
    DWORD dwVolume;
    DWORD dwIndexHigh;
    DWORD dwIndexLow;
};

bool GetHandleIdentity(HANDLE hFile, FileIdentity& identity);
bool IsSameIdentity(const FileIdentity& a, const FileIdentity& b);

// True when both names lead to one existing file or directory, however differently they are
// written (short names, another case, a link); false when either can't be opened.
bool IsSameFile(LPCWSTR pszPath1, LPCWSTR pszPath2);

// A plain file with one name: no directory, no reparse point, no second hard link.
bool IsPlainFile(HANDLE hFile);

// The security of a file that is the setup's alone: a protected DACL, nothing inherited from the
// folder, that lets the current user (the process token's) do anything and the system read
// (the installer service reads a package as the system), and nobody else open it.
const DWORD cbPrivateAcl = 256;
struct PrivateSecurity
{
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    DWORD rgdwAcl[cbPrivateAcl / sizeof(DWORD)];
};

// False, traced, when the user or the DACL can't be had.
bool MakePrivateSecurity(PrivateSecurity& security);

// A new file "<prefix><hex>.tmp" in pszDirectory, created, never opened: a name that exists
// already, a link planted there included, is passed over for the next one. Read, write and
// delete access, shared as dwShare asks, with the security given (none: the folder's). The name
// goes to pszPath (MAX_PATH characters).
HANDLE CreateNewFile(LPCWSTR pszDirectory, LPCWSTR pszPrefix, LPWSTR pszPath,
                     SECURITY_ATTRIBUTES* pSecurity = NULL, DWORD dwShare = 0);

// Closes the writer of a file that shares reading and holds the same file for reading instead,
// reopened through the handle, never by name; INVALID_HANDLE_VALUE when it can't be had.
HANDLE HoldInsteadOfWriter(HANDLE& hWriter);

// The file of a handle opened with delete access goes when its last handle is closed.
bool MarkForDeletion(HANDLE hFile);

// Removes the file at pszPath through a handle of its own, and only when that handle is open on
// the file of that identity: a name that leads to another file by now is left as it is.
bool RemoveFileOf(LPCWSTR pszPath, const FileIdentity& identity);

// Whether a file keeps its ID through a rename on the volume of hFolder's file system: NTFS and
// ReFS do; FAT, FAT32 and exFAT may give a renamed file another one, and an unknown file system
// counts as one of them.
bool KeepsFileIds(HANDLE hFolder);
bool KeepsFileIds(LPCWSTR pszFileSystem);

// Holds a file for reading: while the handle is open no other process can write, delete,
// rename or replace it, and others may still read it (msiexec included). With bPlainOnly a
// link, reparse point or file of several names is refused (ERROR_CANT_ACCESS_FILE).
HANDLE HoldFile(LPCWSTR pszPath, bool bPlainOnly);

// Holds a directory against being renamed, deleted or replaced by a link; a directory that is a
// reparse point itself is refused (ERROR_CANT_ACCESS_FILE).
HANDLE HoldDirectory(LPCWSTR pszPath);

// The path that the system resolved for an open handle, every link and junction followed, in
// the drive form "C:\..." or "\\server\share\..."; false when it does not fit in cchPath, and
// (traced) when that path, handed on, would not open the held file itself.
bool GetHeldPath(HANDLE hFile, LPWSTR pszPath, DWORD cchPath);

// A path that programs handed it open as it is written: its full path is itself, no segment
// ends in a period or a space (Windows drops them, "x." is opened as "x"), no colon but a
// drive's names a stream, and no "\\?\" prefix takes it past the path rules.
bool IsCanonicalPath(LPCWSTR pszPath);
