// Reads and replaces rows of the string table of a copy of setup.exe, so that a test can point
// the mirror list (2010) or the companion files (2011) somewhere else.
//   patch_strings.exe set <exe> <id>=<text> ...    replaces rows (language 1033)
//   patch_strings.exe show <exe> <id> ...          prints "<id>: <UTF-16LE as hex>" per row
//   patch_strings.exe raw <exe> <type> <name>      prints one resource's bytes as hex
// A string resource is a block of 16 rows: replacing one row rewrites its whole block, with the
// other rows copied over.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

const WORD wLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const int cRowsPerBlock = 16;

typedef std::vector<std::wstring> Block;

bool ReadResource(LPCWSTR pszExe, LPCWSTR pszType, LPCWSTR pszName, std::vector<BYTE>* pData)
{
    HMODULE hModule = LoadLibraryExW(pszExe, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (hModule == NULL)
        return false;
    HRSRC hInfo = FindResourceExW(hModule, pszType, pszName, wLanguage);
    HGLOBAL hData = hInfo != NULL ? LoadResource(hModule, hInfo) : NULL;
    const BYTE* pb = hData != NULL ? (const BYTE*)LockResource(hData) : NULL;
    if (pb != NULL)
        pData->assign(pb, pb + SizeofResource(hModule, hInfo));
    FreeLibrary(hModule);
    return pb != NULL;
}

Block ReadBlock(LPCWSTR pszExe, UINT uBlock)
{
    Block rows(cRowsPerBlock);
    std::vector<BYTE> data;
    if (!ReadResource(pszExe, RT_STRING, MAKEINTRESOURCEW(uBlock), &data))
        return rows;
    const WCHAR* pch = (const WCHAR*)data.data();
    const WCHAR* pchEnd = pch + data.size() / sizeof(WCHAR);
    for (int i = 0; i < cRowsPerBlock && pch < pchEnd; ++i)
    {
        WORD cch = *pch++;
        rows[i].assign(pch, cch);
        pch += cch;
    }
    return rows;
}

bool WriteBlock(LPCWSTR pszExe, UINT uBlock, const Block& rows)
{
    std::vector<WCHAR> data;
    for (const std::wstring& row : rows)
    {
        data.push_back((WCHAR)row.size());
        data.insert(data.end(), row.begin(), row.end());
    }
    HANDLE hUpdate = BeginUpdateResourceW(pszExe, FALSE);
    if (hUpdate == NULL)
        return false;
    if (!UpdateResourceW(hUpdate, RT_STRING, MAKEINTRESOURCEW(uBlock), wLanguage, data.data(),
                         (DWORD)(data.size() * sizeof(WCHAR))))
    {
        EndUpdateResourceW(hUpdate, TRUE);
        return false;
    }
    return EndUpdateResourceW(hUpdate, FALSE) != FALSE;
}

void PrintHex(const BYTE* pb, size_t cb)
{
    for (size_t i = 0; i < cb; ++i)
        printf("%02x", pb[i]);
    printf("\n");
}

int Set(LPCWSTR pszExe, int argc, wchar_t** argv)
{
    for (int i = 0; i < argc; ++i)
    {
        std::wstring arg = argv[i];
        size_t nEquals = arg.find(L'=');
        if (nEquals == std::wstring::npos)
            return 2;
        UINT uId = (UINT)_wtoi(arg.substr(0, nEquals).c_str());
        UINT uBlock = uId / cRowsPerBlock + 1;
        Block rows = ReadBlock(pszExe, uBlock);
        rows[uId % cRowsPerBlock] = arg.substr(nEquals + 1);
        if (!WriteBlock(pszExe, uBlock, rows))
        {
            printf("cannot update %u: %lu\n", uId, GetLastError());
            return 1;
        }
    }
    return 0;
}

int Show(LPCWSTR pszExe, int argc, wchar_t** argv)
{
    for (int i = 0; i < argc; ++i)
    {
        UINT uId = (UINT)_wtoi(argv[i]);
        Block rows = ReadBlock(pszExe, uId / cRowsPerBlock + 1);
        const std::wstring& row = rows[uId % cRowsPerBlock];
        printf("%u: ", uId);
        PrintHex((const BYTE*)row.data(), row.size() * sizeof(WCHAR));
    }
    return 0;
}

int Raw(LPCWSTR pszExe, LPCWSTR pszType, LPCWSTR pszName)
{
    std::vector<BYTE> data;
    if (!ReadResource(pszExe, MAKEINTRESOURCEW(_wtoi(pszType)), MAKEINTRESOURCEW(_wtoi(pszName)),
                      &data))
        return 1;
    PrintHex(data.data(), data.size());
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    std::wstring command = argv[1];
    if (command == L"set")
        return Set(argv[2], argc - 3, argv + 3);
    if (command == L"show")
        return Show(argv[2], argc - 3, argv + 3);
    if (command == L"raw" && argc == 5)
        return Raw(argv[2], argv[3], argv[4]);
    return 2;
}
