// The package digest: every stream and storage of a package's compound file, in the order its
// signer hashed them, the signature streams left out.
#include "package_digest.h"
#include "signature_api.h"
#include "setup_base/setup_base.h"

static_assert(cbPackageDigest == cbSha256, "the digest is a SHA-256 hash");

namespace {

const DWORD cbReadBlock = 32768;
// MSI packages nest a storage or two; a deeper one is a file made to exhaust the stack.
const int nMaxStorageDepth = 16;
// A package has a stream per table and per binary, a few thousand at most. The elements are
// sorted by insertion, so a file that lists far more is one made to keep the check busy.
const DWORD cMaxElements = 16384;
// Each element is a 128-byte entry of the file's directory.
const DWORD cbDirectoryEntry = 128;

struct Element
{
    Element* pNext;
    STATSTG stat;
};

// Names are ordered as the signer hashed them: by their UTF-16LE bytes, so by each code unit's
// low byte before its high one, and a name before any longer one it begins.
int NameOrder(WCHAR ch)
{
    return (ch & 0xFF) << 8 | ch >> 8;
}

bool IsBefore(LPCWSTR psz1, LPCWSTR psz2)
{
    while (*psz1 == *psz2 && *psz1 != L'\0')
    {
        ++psz1;
        ++psz2;
    }
    return NameOrder(*psz1) < NameOrder(*psz2);
}

void FreeElements(Element* pElement)
{
    while (pElement != NULL)
    {
        Element* pNext = pElement->pNext;
        Api.CoTaskMemFree(pElement->stat.pwcsName);
        FreeBlock(pElement);
        pElement = pNext;
    }
}

// What a walk over a package may still read: a file whose storages share their streams or
// children, or whose streams claim more than the file holds, is refused before it costs hours.
struct DigestWalk
{
    HCRYPTHASH hHash;
    BYTE* pbBlock;                  // cbReadBlock bytes
    ULONGLONG cbLeft;               // bytes of stream the file can hold
    DWORD cElementsLeft;
};

bool FailOverBudget()
{
    TracePrint("*** Verify package: storage larger than its file ***");
    return false;
}

// The storage's elements in hashing order. Whatever was read stays in the list, to be freed
// by the caller, on failure too.
bool ListElements(IStorage* pStorage, DigestWalk& walk, Element** ppFirst)
{
    ComPtr<IEnumSTATSTG> pEnum;
    HRESULT hr = pStorage->EnumElements(0, NULL, 0, pEnum.out());
    if (FAILED(hr))
        return FailToRead(hr);
    for (;;)
    {
        Element* pElement = AllocItems<Element>(1);
        if (pElement == NULL)
        {
            hr = E_OUTOFMEMORY;
            break;
        }
        hr = pEnum->Next(1, &pElement->stat, NULL);
        if (hr != S_OK)
        {
            FreeBlock(pElement);
            break;
        }
        if (walk.cElementsLeft == 0)
        {
            Api.CoTaskMemFree(pElement->stat.pwcsName);
            FreeBlock(pElement);
            return FailOverBudget();
        }
        --walk.cElementsLeft;
        Element** ppAt = ppFirst;
        while (*ppAt != NULL && IsBefore((*ppAt)->stat.pwcsName, pElement->stat.pwcsName))
            ppAt = &(*ppAt)->pNext;
        pElement->pNext = *ppAt;
        *ppAt = pElement;
    }
    return hr == S_FALSE || FailToRead(hr);
}

bool HashStream(IStorage* pStorage, LPCWSTR pszName, DigestWalk& walk)
{
    ComPtr<IStream> pStream;
    HRESULT hr = pStorage->OpenStream(pszName, NULL, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                      pStream.out());
    if (FAILED(hr))
        return FailToRead(hr);
    bool bHashed = true;
    ULONG cbRead = 0;
    do
    {
        hr = pStream->Read(walk.pbBlock, cbReadBlock, &cbRead);
        if (SUCCEEDED(hr) && cbRead > walk.cbLeft)
            bHashed = FailOverBudget();
        else if (SUCCEEDED(hr))
        {
            walk.cbLeft -= cbRead;
            bHashed = cbRead == 0 || HashData(walk.hHash, walk.pbBlock, cbRead);
        }
        else
            bHashed = FailToRead(hr);
    } while (bHashed && cbRead == cbReadBlock);
    return bHashed;
}

// Every stream and sub-storage in name order, then the storage's class id. The root's signature
// streams are what is signed, not part of it.
bool HashStorage(IStorage* pStorage, DigestWalk& walk, int nDepth)
{
    if (nDepth > nMaxStorageDepth)
    {
        TracePrint("*** Verify package: storages nested too deeply ***");
        return false;
    }
    Element* pFirst = NULL;
    bool bHashed = ListElements(pStorage, walk, &pFirst);
    for (Element* pElement = pFirst; bHashed && pElement != NULL; pElement = pElement->pNext)
    {
        LPCWSTR pszName = pElement->stat.pwcsName;
        if (nDepth == 0 && CompareStrings(pszName, szExtendedSignatureStream) == 0)
        {
            // Its digest also covers the storage's metadata, which this walk does not read.
            TracePrint("*** Verify package: extended signature not supported ***");
            bHashed = false;
        }
        else if (nDepth == 0 && CompareStrings(pszName, szSignatureStream) == 0)
            continue;
        else if (pElement->stat.type == STGTY_STREAM)
            bHashed = HashStream(pStorage, pszName, walk);
        else
        {
            ComPtr<IStorage> pChild;
            HRESULT hr = pStorage->OpenStorage(pszName, NULL, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                               NULL, 0, pChild.out());
            bHashed = SUCCEEDED(hr) ? HashStorage(pChild.get(), walk, nDepth + 1)
                                    : FailToRead(hr);
        }
    }
    FreeElements(pFirst);
    if (!bHashed)
        return false;
    STATSTG stat;
    HRESULT hr = pStorage->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr))
        return FailToRead(hr);
    return HashData(walk.hHash, (const BYTE*)&stat.clsid, sizeof(stat.clsid));
}

} // namespace

bool DigestPackage(LPCWSTR pszPackage, BYTE* pbDigest)
{
    WIN32_FILE_ATTRIBUTE_DATA file;
    if (!GetFileAttributesExW(pszPackage, GetFileExInfoStandard, &file))
        return FailToRead(HRESULT_FROM_WIN32(GetLastError()));
    ULONGLONG cbFile = ((ULONGLONG)file.nFileSizeHigh << 32) | file.nFileSizeLow;
    ComPtr<IStorage> pRoot;
    HRESULT hr = Api.StgOpenStorage(pszPackage, NULL, STGM_READ | STGM_SHARE_DENY_WRITE, NULL,
                                    0, pRoot.out());
    if (FAILED(hr))
        return FailToRead(hr);
    HeapPtr<BYTE> block(AllocItems<BYTE>(cbReadBlock));
    HashHandle hash;
    DigestWalk walk = {hash.get(), block.get(), cbFile,
                       cbFile / cbDirectoryEntry < cMaxElements
                           ? (DWORD)(cbFile / cbDirectoryEntry) : cMaxElements};
    return block.get() != NULL && walk.hHash != 0 && HashStorage(pRoot.get(), walk, 0)
        && GetHashValue(walk.hHash, pbDigest);
}

bool ComputePackageDigest(LPCWSTR pszPackage, BYTE* pbDigest)
{
    bool bDone = BindApi() && DigestPackage(pszPackage, pbDigest);
    UnbindApi();
    return bDone;
}
