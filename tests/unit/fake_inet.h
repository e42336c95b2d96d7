// Fake WinInet entry points for the transfer layer: scripted answers per URL, every call
// recorded. FakeInternet installs them into WinInetApi for one test and restores the table.
#pragma once

#include "WinInet/WinInet.h"

#include <map>
#include <string>
#include <vector>

struct UrlScript
{
    bool bPassiveOpens = false;       // InternetOpenUrlW succeeds with the passive flag word
    bool bActiveOpens = false;        // ... with the active flag word
    DWORD dwOpenError = 12029;        // last error of a failed open
    std::vector<DWORD> statuses;      // successive HTTP status answers; the last one repeats;
                                      // none: the status query fails (an FTP handle)
    std::wstring contentRange;        // the headers of the answer; empty: not sent
    std::wstring etag;
};

UrlScript Unreachable();
UrlScript FtpServer(bool bPassive, bool bActive);
UrlScript HttpServer(std::vector<DWORD> statuses);

struct OpenCall
{
    std::wstring url;
    DWORD dwFlags;
    std::wstring headers;
};

struct RemoteFile
{
    std::string bytes;
    DWORD cbChunk = 32768;            // most bytes one read returns
    int nFailingRead = -1;            // index of the read that fails; -1: none
    DWORD dwFtpSize = INVALID_FILE_SIZE;
    bool bHasContentLength = false;
    std::wstring contentLength;
};

struct FakeState
{
    std::map<std::wstring, UrlScript> urls;
    std::vector<OpenCall> opens;
    std::vector<HINTERNET> closed;
    int nStatusQueries = 0;
    std::vector<DWORD> dialogAnswers;    // successive InternetErrorDlg results; the last repeats
    int nDialogs = 0;
    bool bProxy = true;                  // the session goes through a proxy
    int nResends = 0;
    RemoteFile remote;
    int nReads = 0;
    size_t cbRemoteRead = 0;
    std::wstring lastResponse = L"550 No such file.";
    // FTP on a connection of the setup's own: the commands sent, the reply to each verb
    // ("500 Unknown command." when none is scripted), and whether the file opens.
    std::vector<std::wstring> connects;           // "host port user"
    std::vector<std::wstring> ftpCommands;
    std::map<std::wstring, std::wstring> ftpReplies;
    bool bFtpFileOpens = true;
};

extern FakeState g_fake;

class FakeInternet
{
public:
    FakeInternet();
    ~FakeInternet();

    FakeInternet(const FakeInternet&) = delete;
    FakeInternet& operator=(const FakeInternet&) = delete;

private:
    WinInetApiTable m_saved;
};

// The handle the fake hands out for an opened remote file that is not one of the URLs, and for
// an FTP connection.
extern const HINTERNET hFakeRemote;
extern const HINTERNET hFakeConnect;

// Trace messages with the line numbers of check reports replaced by '#', so that expected
// traces do not break when the source moves.
std::vector<std::string> WithoutLineNumbers(const std::vector<std::string>& lines);

// Makes blocks come from a small heap that has room for exactly nBlocks more blocks of
// cbBlock bytes (and nothing larger), so that the routines' own allocations fail on cue.
// Blocks handed to the code under test before the swap must not be freed while it lasts.
class ExhaustedHeap
{
public:
    ExhaustedHeap(int nBlocks, DWORD cbBlock);
    ~ExhaustedHeap();
    void* Alloc(DWORD cb);    // from the small heap, before it is filled up

    ExhaustedHeap(const ExhaustedHeap&) = delete;
    ExhaustedHeap& operator=(const ExhaustedHeap&) = delete;

    void Fill();              // takes the rest of the room, leaving the promised blocks

private:
    HANDLE m_hHeap;
    HANDLE m_hSaved;
    int m_nBlocks;
    DWORD m_cbBlock;
};
