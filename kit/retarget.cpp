// Makes an existing setup.exe another product's, without a compiler: its string rows and version
// block from product files, and no signature left over from the image it was made from.
//   retarget.exe SETUP.exe PRODUCT.ini [MORE.ini ...] OUT.exe
//   retarget.exe --show SETUP.exe [PRODUCT.ini ...]
// The first writes OUT.exe (a later product file's rows win); the second prints the image's rows
// and version block, with the product files applied, as a product file. Exit code 0, or 1 with
// the reason on stderr; a product file's faults read as the build's own.
#include "kit_io.h"
#include "pe_image.h"
#include "product_image.h"

namespace {

const int nExitFailed = 1;
const WCHAR szPartialSuffix[] = L".partial";

int Fail(const std::string& message)
{
    WriteText(STD_ERROR_HANDLE, message + "\n");
    return nExitFailed;
}

bool ReadProducts(int argc, wchar_t** argv, std::vector<ProductFile>& products,
                  std::string& error)
{
    for (int i = 0; i < argc; ++i)
    {
        std::string name = Utf8Of(argv[i]);
        std::string text;
        products.push_back(ProductFile());
        if (!ReadWholeFile(argv[i], text))
        {
            error = name + ": cannot be read (" + std::to_string(GetLastError()) + ")";
            return false;
        }
        if (!ReadProductFile(name, text, products.back(), error))
            return false;
    }
    return true;
}

// The image's resources with the products applied; false with the reason in error.
bool LoadAndApply(LPCWSTR pszImage, const std::vector<ProductFile>& products, ResourceSet& set,
                  std::string& error)
{
    std::string why;
    if (!LoadImageResources(pszImage, set, why))
        error = Utf8Of(pszImage) + ": " + why;
    else if (!IsThisProgram(set, why))
        error = Utf8Of(pszImage) + ": not this setup program: " + why;
    else
        return ApplyProducts(products, set, error);
    return false;
}

// The changed resources read back from the written image, as they were meant.
bool IsWrittenAsMeant(LPCWSTR pszImage, const ResourceSet& set)
{
    ResourceSet written;
    std::string why;
    if (!LoadImageResources(pszImage, written, why))
        return false;
    for (const KitResource& resource : set)
    {
        const KitResource* pWritten = FindKitResource(written, resource.uType, resource.uName);
        if (resource.bChanged && (pWritten == nullptr || pWritten->data != resource.data))
            return false;
    }
    return true;
}

// Writes OUT through a file of its own beside it, so that a failure leaves OUT as it was.
bool WriteRetargeted(LPCWSTR pszImage, const ResourceSet& set, LPCWSTR pszOut, bool& bDropped,
                     std::string& error)
{
    std::wstring partial = std::wstring(pszOut) + szPartialSuffix;
    Bytes image;
    std::string why;
    bool bDone = false;
    if (!ReadWholeFile(pszImage, image))
        error = Utf8Of(pszImage) + ": cannot be read (" + std::to_string(GetLastError()) + ")";
    else if (!DropSignature(image, bDropped, why))
        error = Utf8Of(pszImage) + ": " + why;
    else if (!WriteWholeFile(partial.c_str(), image) ||
             !UpdateImageResources(partial.c_str(), set, why))
        error = Utf8Of(partial) + ": cannot be written (" + why + ")";
    else if (!IsWrittenAsMeant(partial.c_str(), set) || !ReadWholeFile(partial.c_str(), image) ||
             HasSignature(image) || !UpdateChecksum(image) ||
             !WriteWholeFile(partial.c_str(), image))
        error = Utf8Of(partial) + ": the resources did not read back as written";
    else if (!MoveFileExW(partial.c_str(), pszOut, MOVEFILE_REPLACE_EXISTING))
        error = Utf8Of(pszOut) + ": cannot be written (" + std::to_string(GetLastError()) + ")";
    else
        bDone = true;
    if (!bDone)
        DeleteFileW(partial.c_str());
    return bDone;
}

int Show(int argc, wchar_t** argv)
{
    std::vector<ProductFile> products;
    ResourceSet set;
    std::string error;
    if (!ReadProducts(argc - 1, argv + 1, products, error) ||
        !LoadAndApply(argv[0], products, set, error))
        return Fail(error);
    WriteText(STD_OUTPUT_HANDLE, DescribeAsProduct(set));
    return 0;
}

// The last argument is written over: one that names no .exe is more likely a product file
// whose output was forgotten.
bool NamesExecutable(LPCWSTR pszPath)
{
    int cch = lstrlenW(pszPath);
    return cch > 4 && CompareStringOrdinal(pszPath + cch - 4, 4, L".exe", 4, TRUE) == CSTR_EQUAL;
}

int Retarget(int argc, wchar_t** argv)
{
    std::vector<ProductFile> products;
    ResourceSet set;
    std::string error;
    bool bDropped = false;
    LPCWSTR pszOut = argv[argc - 1];
    if (!NamesExecutable(pszOut))
        return Fail(Utf8Of(pszOut) + ": the image to write must be named *.exe");
    if (!ReadProducts(argc - 2, argv + 1, products, error) ||
        !LoadAndApply(argv[0], products, set, error) ||
        !WriteRetargeted(argv[0], set, pszOut, bDropped, error))
        return Fail(error);
    WriteText(STD_OUTPUT_HANDLE, Utf8Of(pszOut) + ": written" +
                                 (bDropped ? "; the signature of the image it was made from is "
                                             "removed, sign it again" : "") + "\n");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 3 && lstrcmpW(argv[1], L"--show") == 0)
        return Show(argc - 2, argv + 2);
    if (argc >= 4 && argv[1][0] != L'-')
        return Retarget(argc - 1, argv + 1);
    return Fail("usage: retarget.exe SETUP.exe PRODUCT.ini [MORE.ini ...] OUT.exe\n"
                "       retarget.exe --show SETUP.exe [PRODUCT.ini ...]");
}
