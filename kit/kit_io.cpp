// Files, standard handles and resources for retarget.exe.
#include "kit_io.h"

namespace {

const DWORD cbReadBlock = 65536;

std::wstring WideOf(const std::string& text)
{
    int cch = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), NULL, 0);
    std::wstring wide(cch, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], cch);
    return wide;
}

std::string ErrorText(const char* pszWhat, DWORD dwError)
{
    return std::string(pszWhat) + " (" + std::to_string(dwError) + ")";
}

template <typename Buffer>
bool ReadInto(LPCWSTR pszPath, Buffer& buffer)
{
    HANDLE hFile = CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                               NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    buffer.clear();
    char block[cbReadBlock];
    DWORD cbRead = 0;
    BOOL bRead = FALSE;
    while ((bRead = ReadFile(hFile, block, cbReadBlock, &cbRead, NULL)) && cbRead > 0)
        buffer.insert(buffer.end(), block, block + cbRead);
    DWORD dwError = GetLastError();
    CloseHandle(hFile);
    SetLastError(dwError);
    return bRead != FALSE;
}

} // namespace

std::string Utf8Of(const std::wstring& text)
{
    int cb = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string utf8(cb, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &utf8[0], cb, NULL, NULL);
    return utf8;
}

void WriteText(DWORD dwStdHandle, const std::string& text)
{
    HANDLE hOut = GetStdHandle(dwStdHandle);
    DWORD dwMode = 0;
    DWORD dwWritten = 0;
    if (GetConsoleMode(hOut, &dwMode))
    {
        std::wstring wide = WideOf(text);
        WriteConsoleW(hOut, wide.data(), (DWORD)wide.size(), &dwWritten, NULL);
    }
    else
        WriteFile(hOut, text.data(), (DWORD)text.size(), &dwWritten, NULL);
}

bool ReadWholeFile(LPCWSTR pszPath, std::string& text)
{
    return ReadInto(pszPath, text);
}

bool ReadWholeFile(LPCWSTR pszPath, Bytes& data)
{
    return ReadInto(pszPath, data);
}

bool WriteWholeFile(LPCWSTR pszPath, const Bytes& data)
{
    HANDLE hFile = CreateFileW(pszPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    DWORD cbWritten = 0;
    BOOL bWritten = WriteFile(hFile, data.data(), (DWORD)data.size(), &cbWritten, NULL);
    DWORD dwError = GetLastError();
    BOOL bClosed = CloseHandle(hFile);
    SetLastError(dwError);
    return bWritten && bClosed && cbWritten == data.size();
}

bool LoadImageResources(LPCWSTR pszImage, ResourceSet& set, std::string& why)
{
    HMODULE hModule = LoadLibraryExW(pszImage, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (hModule == NULL)
    {
        DWORD dwError = GetLastError();
        why = dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND
                  ? ErrorText("cannot be read", dwError)
                  : ErrorText("not a Windows executable", dwError);
        return false;
    }
    set.clear();
    for (const ResourceId& id : NeededResources())
    {
        HRSRC hInfo = FindResourceExW(hModule, MAKEINTRESOURCEW(id.uType),
                                      MAKEINTRESOURCEW(id.uName), wLanguageUs);
        HGLOBAL hData = hInfo != NULL ? LoadResource(hModule, hInfo) : NULL;
        const BYTE* pb = hData != NULL ? (const BYTE*)LockResource(hData) : NULL;
        if (pb != NULL)
            set.push_back({id.uType, id.uName, Bytes(pb, pb + SizeofResource(hModule, hInfo)),
                           false});
    }
    FreeLibrary(hModule);
    return true;
}

bool UpdateImageResources(LPCWSTR pszImage, const ResourceSet& set, std::string& why)
{
    HANDLE hUpdate = BeginUpdateResourceW(pszImage, FALSE);
    if (hUpdate == NULL)
    {
        why = ErrorText("no resource update", GetLastError());
        return false;
    }
    for (const KitResource& resource : set)
    {
        if (resource.bChanged &&
            !UpdateResourceW(hUpdate, MAKEINTRESOURCEW(resource.uType),
                             MAKEINTRESOURCEW(resource.uName), wLanguageUs,
                             (LPVOID)resource.data.data(), (DWORD)resource.data.size()))
        {
            why = ErrorText("resource not updated", GetLastError());
            EndUpdateResourceW(hUpdate, TRUE);
            return false;
        }
    }
    if (!EndUpdateResourceW(hUpdate, FALSE))
    {
        why = ErrorText("resources not written", GetLastError());
        return false;
    }
    return true;
}
