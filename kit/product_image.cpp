// Applying product files to a setup image's string blocks and version block.
#include "product_image.h"
#include "string_rows.h"
#include "version_block.h"

#include "../setup/res/resource.h"

namespace {

KitResource& TakeResource(ResourceSet& set, unsigned uType, unsigned uName)
{
    for (KitResource& resource : set)
        if (resource.uType == uType && resource.uName == uName)
            return resource;
    set.push_back({uType, uName, Bytes(), false});
    return set.back();
}

bool ReadRow(const ResourceSet& set, unsigned uId, std::u16string& text)
{
    const KitResource* pBlock = FindKitResource(set, uTypeString, BlockOfRow(uId));
    StringBlock rows;
    if (pBlock == nullptr || !DecodeStringBlock(pBlock->data, rows))
        return false;
    text = rows[uId % cRowsPerBlock];
    return true;
}

bool ApplyRow(const ProductRow& row, ResourceSet& set)
{
    KitResource& block = TakeResource(set, uTypeString, BlockOfRow(row.uId));
    StringBlock rows;
    if (!DecodeStringBlock(block.data, rows))
        return false;
    rows[row.uId % cRowsPerBlock] = row.text;
    block.data = EncodeStringBlock(rows);
    block.bChanged = true;
    return true;
}

bool ApplyVersion(const ProductFile& product, ResourceSet& set)
{
    if (product.nVersionLine == 0 && product.fields.empty())
        return true;
    KitResource& resource = TakeResource(set, uTypeVersion, uVersionName);
    VersionNode root;
    if (!ParseVersionBlock(resource.data, root))
        return false;
    if (product.nVersionLine != 0 && !SetVersion(root, product.aVersion))
        return false;
    for (const ProductField& field : product.fields)
        if (!SetVersionText(root, field.key, field.text))
            return false;
    resource.data = WriteVersionBlock(root);
    resource.bChanged = true;
    return true;
}

// The line of the last product that named one of the key's rows, or 0.
unsigned KeyLine(const std::vector<ProductFile>& products, const ProductFile** ppProduct)
{
    unsigned nLine = 0;
    for (const ProductFile& product : products)
        for (const ProductRow& row : product.rows)
            if (row.uId == IDS_PRODUCT_CODE || row.uId == IDS_EDITION_CODE)
            {
                nLine = row.nLine;
                *ppProduct = &product;
            }
    return nLine;
}

// MakeOwnKey joins the rows within a buffer of 32 characters: a longer key would never match.
bool CheckProductKey(const std::vector<ProductFile>& products, const ResourceSet& set,
                     std::string& error)
{
    const ProductFile* pProduct = nullptr;
    unsigned nLine = KeyLine(products, &pProduct);
    std::u16string code, edition;
    if (nLine == 0 || !ReadRow(set, IDS_PRODUCT_CODE, code) ||
        !ReadRow(set, IDS_EDITION_CODE, edition))
        return true;
    std::u16string key = code + u"-" + edition;
    if (key.size() <= cchProductKeyMax)
        return true;
    error = AtLine(*pProduct, nLine, "the product key \"" + ToUtf8(key) + "\" (rows 507 and 511 "
                   "joined with '-') is " + std::to_string(key.size()) + " characters long, "
                   "more than the " + std::to_string(cchProductKeyMax) + " the program holds");
    return false;
}

std::string Escape(const std::u16string& text)
{
    std::string out;
    for (char ch : ToUtf8(text))
        out += ch == '\\' ? "\\\\" : ch == '\n' ? "\\n" : ch == '\t' ? "\\t"
             : ch == '\r' ? "\\r" : std::string(1, ch);
    return out;
}

} // namespace

std::vector<ResourceId> NeededResources()
{
    std::vector<ResourceId> ids = {{uTypeVersion, uVersionName},
                                   {uTypeDialog, IDD_DOWNLOAD_BUILD}};
    unsigned cRules = 0;
    const RowRule* pRules = RowRules(&cRules);
    for (unsigned i = 0; i < cRules; ++i)
    {
        unsigned uBlock = BlockOfRow(pRules[i].uId);
        if (ids.back().uType != uTypeString || ids.back().uName != uBlock)
            ids.push_back({uTypeString, uBlock});
    }
    return ids;
}

const KitResource* FindKitResource(const ResourceSet& set, unsigned uType, unsigned uName)
{
    for (const KitResource& resource : set)
        if (resource.uType == uType && resource.uName == uName)
            return &resource;
    return nullptr;
}

bool IsThisProgram(const ResourceSet& set, std::string& why)
{
    const KitResource* pVersion = FindKitResource(set, uTypeVersion, uVersionName);
    VersionNode root;
    std::u16string internal, original;
    if (pVersion == nullptr || !ParseVersionBlock(pVersion->data, root) ||
        !GetVersionText(root, u"InternalName", internal) ||
        !GetVersionText(root, u"OriginalFilename", original) || internal != u"setup" ||
        original != u"SETUP.EXE")
        why = "its version block does not name it setup (SETUP.EXE)";
    else if (FindKitResource(set, uTypeDialog, IDD_DOWNLOAD_BUILD) == nullptr)
        why = "it has no progress dialog " + std::to_string(IDD_DOWNLOAD_BUILD);
    else if (FindKitResource(set, uTypeString, BlockOfRow(IDS_MIRROR_URLS)) == nullptr)
        why = "it has no mirror list (string " + std::to_string(IDS_MIRROR_URLS) + ")";
    else
        return true;
    return false;
}

bool ApplyProducts(const std::vector<ProductFile>& products, ResourceSet& set,
                   std::string& error)
{
    for (const ProductFile& product : products)
    {
        for (const ProductRow& row : product.rows)
            if (!ApplyRow(row, set))
            {
                error = AtLine(product, row.nLine, "the image's string block of row " +
                                                   std::to_string(row.uId) + " is damaged");
                return false;
            }
        if (!ApplyVersion(product, set))
        {
            error = product.name + ": the image's version block is damaged";
            return false;
        }
    }
    return CheckProductKey(products, set, error);
}

std::string DescribeAsProduct(const ResourceSet& set)
{
    std::string text = "; The string rows and the version block of a setup.exe, as a product "
                       "file.\n[strings]\n";
    unsigned cRules = 0;
    const RowRule* pRules = RowRules(&cRules);
    for (unsigned i = 0; i < cRules; ++i)
    {
        std::u16string row;
        ReadRow(set, pRules[i].uId, row);
        text += std::to_string(pRules[i].uId) + " = " + Escape(row) + "\n";
    }
    const KitResource* pVersion = FindKitResource(set, uTypeVersion, uVersionName);
    VersionNode root;
    unsigned aVersion[cVersionParts];
    if (pVersion == nullptr || !ParseVersionBlock(pVersion->data, root) ||
        !GetFileVersion(root, aVersion))
        return text;
    text += "[version]\nversion = " + FormatVersionText(aVersion) + "\n";
    unsigned cKeys = 0;
    const char16_t* const* pszKeys = VersionFieldKeys(&cKeys);
    for (unsigned i = 0; i < cKeys; ++i)
    {
        std::u16string field;
        if (GetVersionText(root, pszKeys[i], field))
            text += ToUtf8(pszKeys[i]) + " = " + Escape(field) + "\n";
    }
    return text;
}
