// The build's host tool: the compiled resources of setup.exe with a product file applied.
//   product-resources PRODUCT.ini IN.res OUT.res
// Exit code 0, or 1 with the reason on stderr (for a product file: its name, line and what is
// wrong, as retarget.exe says it).
#include "product_image.h"
#include "res_file.h"

#include <stdio.h>

namespace {

bool ReadBytes(const char* pszPath, std::string& text)
{
    FILE* pFile = fopen(pszPath, "rb");
    if (pFile == nullptr)
        return false;
    char buffer[65536];
    size_t cbRead = 0;
    while ((cbRead = fread(buffer, 1, sizeof(buffer), pFile)) > 0)
        text.append(buffer, cbRead);
    bool bRead = ferror(pFile) == 0;
    fclose(pFile);
    return bRead;
}

bool WriteBytes(const char* pszPath, const Bytes& data)
{
    FILE* pFile = fopen(pszPath, "wb");
    if (pFile == nullptr)
        return false;
    bool bWritten = fwrite(data.data(), 1, data.size(), pFile) == data.size();
    return fclose(pFile) == 0 && bWritten;
}

int Fail(const std::string& message)
{
    fprintf(stderr, "%s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return Fail("usage: product-resources PRODUCT.ini IN.res OUT.res");
    std::string text, res;
    if (!ReadBytes(argv[1], text))
        return Fail(std::string(argv[1]) + ": cannot be read");
    if (!ReadBytes(argv[2], res))
        return Fail(std::string(argv[2]) + ": cannot be read");
    std::vector<ProductFile> products(1);
    std::string error;
    if (!ReadProductFile(argv[1], text, products[0], error))
        return Fail(error);
    std::vector<ResEntry> entries;
    if (!ReadResFile(Bytes(res.begin(), res.end()), entries))
        return Fail(std::string(argv[2]) + ": is no resource file");
    ResourceSet set = ResourcesOf(entries);
    std::string why;
    if (!IsThisProgram(set, why))
        return Fail(std::string(argv[2]) + ": not the resources of setup.exe: " + why);
    if (!ApplyProducts(products, set, error))
        return Fail(error);
    PutResources(set, entries);
    if (!WriteBytes(argv[3], WriteResFile(entries)))
        return Fail(std::string(argv[3]) + ": cannot be written");
    return 0;
}
