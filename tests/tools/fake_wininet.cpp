// A stand-in for wininet.dll with the export names alone: for binding tests and planting.
// Built twice: complete with a marker export (the plant), and without its last export.
#define FAKE_EXPORT(name) extern "C" __declspec(dllexport) int __stdcall name() { return 0; }

FAKE_EXPORT(InternetOpenW)
FAKE_EXPORT(HttpQueryInfoW)
FAKE_EXPORT(InternetOpenUrlW)
FAKE_EXPORT(InternetCrackUrlW)
FAKE_EXPORT(InternetGetLastResponseInfoW)
FAKE_EXPORT(HttpSendRequestW)
FAKE_EXPORT(InternetSetOptionW)
FAKE_EXPORT(FtpGetFileSize)
FAKE_EXPORT(InternetReadFile)
FAKE_EXPORT(InternetCloseHandle)
FAKE_EXPORT(InternetGetConnectedState)
FAKE_EXPORT(InternetQueryOptionW)
FAKE_EXPORT(InternetConnectW)
FAKE_EXPORT(FtpCommandW)
FAKE_EXPORT(FtpOpenFileW)
#ifndef FAKE_WININET_PARTIAL
FAKE_EXPORT(InternetErrorDlg)
FAKE_EXPORT(PlantedMarker)
#endif
