// Run-time binding of WinInet: every internet call of the setup goes through this table.
#pragma once

#include <windows.h>
#include <wininet.h>

// Slot types come from the SDK's own declarations, so a wrong signature does not compile.
// Tests fill the slots with fake entry points to drive the transfer layer without a network.
const int cWinInetEntryPoints = 13;

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
        };
        FARPROC rgpfnSlots[cWinInetEntryPoints];
    };

    HMODULE hWinInet;
};

extern WinInetApiTable WinInetApi;

// Scoped owner of one WinInet handle, closed (the close verified) on its one way out.
class InternetHandle
{
public:
    explicit InternetHandle(HINTERNET hInternet = NULL) : m_hInternet(hInternet) {}
    ~InternetHandle() { reset(); }

    HINTERNET get() const { return m_hInternet; }
    HINTERNET* out() { return &m_hInternet; }    // for the call that fills it, while it holds none
    void reset(HINTERNET hInternet = NULL);
    // Hands the handle over; the owner holds none afterwards.
    HINTERNET release();

    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;

private:
    HINTERNET m_hInternet;
};

// Binds all thirteen entry points of the system's WinInet, or none.
bool InitializeInternet();
void UninitializeInternet();

// The binding itself, from a library named by its full path (none: no library could be named);
// InitializeInternet passes the one in the system directory.
bool BindWinInet(LPCWSTR pszLibraryPath);
