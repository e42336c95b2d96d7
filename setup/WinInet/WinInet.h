// Run-time binding of WinInet: every internet call of the setup goes through this table.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "../setup_base/setup_base.h"

// Slot types come from the SDK's own declarations, so a wrong signature does not compile.
// Tests fill the slots with fake entry points to drive the transfer layer without a network.
const int cWinInetEntryPoints = 16;

struct WinInetApiTable
{
    union
    {
        struct
        {
            decltype(::InternetOpenW)* InternetOpenW;
            decltype(::FtpGetFileSize)* FtpGetFileSize;
            decltype(::InternetReadFile)* InternetReadFile;
            decltype(::HttpQueryInfoW)* HttpQueryInfoW;
            decltype(::InternetOpenUrlW)* InternetOpenUrlW;
            decltype(::InternetCrackUrlW)* InternetCrackUrlW;
            decltype(::InternetCloseHandle)* InternetCloseHandle;
            decltype(::InternetGetLastResponseInfoW)* InternetGetLastResponseInfoW;
            decltype(::HttpSendRequestW)* HttpSendRequestW;
            decltype(::InternetGetConnectedState)* InternetGetConnectedState;
            decltype(::InternetErrorDlg)* InternetErrorDlg;
            decltype(::InternetSetOptionW)* InternetSetOptionW;
            decltype(::InternetQueryOptionW)* InternetQueryOptionW;   // is a proxy in use?
            // An FTP download that broke off continues on a connection of its own.
            decltype(::InternetConnectW)* InternetConnectW;
            decltype(::FtpCommandW)* FtpCommandW;
            decltype(::FtpOpenFileW)* FtpOpenFileW;
        };
        FARPROC rgpfnSlots[cWinInetEntryPoints];
    };

    HMODULE hWinInet;
};

extern WinInetApiTable WinInetApi;

// A failed WinInet call's check report, with the server's last response when there is one.
void ReportWinInetCall(LPCSTR pszCondition, LPCSTR pszFile, long nLine);
#define VERIFY_WININET_CALL(cond) \
    do { if (!(cond)) ReportWinInetCall(#cond, __FILE__, __LINE__); } while (0)

// Closes a WinInet handle, the close verified.
void CloseInternetHandle(HINTERNET hInternet);

struct InternetTraits
{
    typedef HINTERNET Type;
    static HINTERNET None() { return NULL; }
    static void Release(HINTERNET hInternet) { CloseInternetHandle(hInternet); }
};

// Scoped owner of one WinInet handle, NULL for none.
typedef Owned<InternetTraits> InternetHandle;

// Binds all sixteen entry points of the system's WinInet, or none.
bool InitializeInternet();
void UninitializeInternet();

// The binding itself, from a library named by its full path (none: no library could be named);
// InitializeInternet passes the one in the system directory.
bool BindWinInet(LPCWSTR pszLibraryPath);
