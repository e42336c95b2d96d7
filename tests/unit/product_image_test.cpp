// Product files applied to the program's own resources (this test executable carries setup.rc),
// the version block written back as it was read, a signature dropped, and the running build's
// own version read from its version block.
#include <doctest.h>

#include "../../kit/kit_io.h"
#include "../../kit/pe_image.h"
#include "../../kit/string_rows.h"
#include "../../kit/version_block.h"
#include "checkversion/own_build.h"

namespace {

std::wstring OwnPath()
{
    WCHAR szPath[MAX_PATH];
    GetModuleFileNameW(NULL, szPath, MAX_PATH);
    return szPath;
}

ResourceSet OwnResources()
{
    ResourceSet set;
    std::string why;
    REQUIRE(LoadImageResources(OwnPath().c_str(), set, why));
    return set;
}

// The applied products' error, or "ok".
std::string Apply(const std::string& text, ResourceSet& set)
{
    std::vector<ProductFile> products(1);
    std::string error;
    REQUIRE(ReadProductFile("p.ini", text, products[0], error));
    return ApplyProducts(products, set, error) ? "ok" : error;
}

std::string RowOf(const ResourceSet& set, unsigned uId)
{
    StringBlock rows;
    const KitResource* pBlock = FindKitResource(set, uTypeString, BlockOfRow(uId));
    REQUIRE((pBlock != nullptr && DecodeStringBlock(pBlock->data, rows)));
    return ToUtf8(rows[uId % cRowsPerBlock]);
}

VersionNode VersionOf(const ResourceSet& set)
{
    VersionNode root;
    const KitResource* pVersion = FindKitResource(set, uTypeVersion, uVersionName);
    REQUIRE((pVersion != nullptr && ParseVersionBlock(pVersion->data, root)));
    return root;
}

} // namespace

TEST_CASE("A product changes its rows and keeps every other row of their blocks")
{
    ResourceSet set = OwnResources();
    std::string why;
    REQUIRE(IsThisProgram(set, why));
    REQUIRE(Apply("[strings]\n2010 = http://m/pr_dl/verinfo.txt\n502 = Kit\n", set) == "ok");
    CHECK(RowOf(set, 2010) == "http://m/pr_dl/verinfo.txt");
    CHECK(RowOf(set, 502) == "Kit");
    CHECK(RowOf(set, 2002) == "vlm.tch.msi");
    CHECK(RowOf(set, 2011) == "setup.reg;install.cfg;*.cab;*.mst");
    CHECK(RowOf(set, 507) == "VLM");
}

TEST_CASE("The product key that rows 507 and 511 make must fit the program's 31 characters")
{
    const struct { std::string text; const char* outcome; } cases[] = {
        {"[strings]\n507 = " + std::string(27, 'K') + "\n", "ok"},
        {"[strings]\n507 = " + std::string(28, 'K') + "\n",
         "p.ini:2: the product key \"KKKKKKKKKKKKKKKKKKKKKKKKKKKK-TCH\" (rows 507 and 511 joined "
         "with '-') is 32 characters long, more than the 31 the program holds"},
        {"[strings]\n507 = " + std::string(15, 'K') + "\n511 = " + std::string(15, 'E') + "\n",
         "ok"},
        {"[strings]\n511 = " + std::string(15, 'E') + "\n\n507 = " + std::string(16, 'K') + "\n",
         "p.ini:4: the product key \"KKKKKKKKKKKKKKKK-EEEEEEEEEEEEEEE\" (rows 507 and 511 joined "
         "with '-') is 32 characters long, more than the 31 the program holds"},
    };
    for (const auto& c : cases)
    {
        CAPTURE(c.text);
        ResourceSet set = OwnResources();
        CHECK(Apply(c.text, set) == c.outcome);
    }
}

TEST_CASE("The version block is written back byte for byte, and with a product's version")
{
    ResourceSet set = OwnResources();
    const Bytes original = FindKitResource(set, uTypeVersion, uVersionName)->data;
    CHECK(WriteVersionBlock(VersionOf(set)) == original);

    REQUIRE(Apply("[version]\nversion = 1.2.3.4\nCompanyName = Kit Maker\nComments = new\n",
                  set) == "ok");
    VersionNode root = VersionOf(set);
    unsigned aVersion[cVersionParts];
    REQUIRE(GetFileVersion(root, aVersion));
    CHECK(FormatVersionText(aVersion) == "1.2.3.4");
    for (const char16_t* key : {u"FileVersion", u"ProductVersion", u"CompanyName", u"Comments",
                                u"OriginalFilename", u"InternalName"})
    {
        std::u16string text;
        CAPTURE(ToUtf8(key));
        REQUIRE(GetVersionText(root, key, text));
        const char* expected = key == std::u16string(u"CompanyName") ? "Kit Maker"
                             : key == std::u16string(u"Comments") ? "new"
                             : key == std::u16string(u"OriginalFilename") ? "SETUP.EXE"
                             : key == std::u16string(u"InternalName") ? "setup" : "1.2.3.4";
        CHECK(ToUtf8(text) == expected);
    }
    std::string why;
    CHECK(IsThisProgram(set, why));
}

TEST_CASE("An image's description read back as a product file changes nothing")
{
    ResourceSet set = OwnResources();
    ResourceSet same = set;
    REQUIRE(Apply(DescribeAsProduct(set), same) == "ok");
    for (const KitResource& resource : same)
    {
        CAPTURE(resource.uName);
        CHECK(resource.data == FindKitResource(set, resource.uType, resource.uName)->data);
    }
}

TEST_CASE("Resources without the program's marks are not this program's")
{
    ResourceSet set = OwnResources();
    std::string why;
    ResourceSet renamed = set;
    VersionNode root = VersionOf(renamed);
    REQUIRE(SetVersionText(root, u"OriginalFilename", u"OTHER.EXE"));
    for (KitResource& resource : renamed)
        if (resource.uType == uTypeVersion)
            resource.data = WriteVersionBlock(root);
    CHECK_FALSE(IsThisProgram(renamed, why));
    CHECK(why == "its version block does not name it setup (SETUP.EXE)");
    for (unsigned uType : {uTypeDialog, uTypeString, uTypeVersion})
    {
        ResourceSet without;
        for (const KitResource& resource : set)
            if (resource.uType != uType)
                without.push_back(resource);
        CAPTURE(uType);
        CHECK_FALSE(IsThisProgram(without, why));
    }
}

TEST_CASE("A signature is dropped where its table begins; the checksum is the linker's own")
{
    Bytes image;
    REQUIRE(ReadWholeFile(OwnPath().c_str(), image));
    Bytes checked = image;
    REQUIRE(UpdateChecksum(checked));
    CHECK(checked == image);

    bool bDropped = true;
    std::string why;
    Bytes unsigned_ = image;
    CHECK(DropSignature(unsigned_, bDropped, why));
    CHECK_FALSE(bDropped);
    CHECK(unsigned_ == image);

    // A certificate table at the end, named by the security directory (its 5th entry).
    size_t ibPe = image[0x3C] | (image[0x3D] << 8);
    bool b64 = image[ibPe + 24] == 0x0B && image[ibPe + 25] == 0x02;
    size_t ibEntry = ibPe + 4 + 20 + (b64 ? 112 : 96) + 4 * 8;
    Bytes signed_ = image;
    signed_.resize(signed_.size() + 24, 0x5A);
    for (int i = 0; i < 4; ++i)
    {
        signed_[ibEntry + i] = (unsigned char)(image.size() >> (8 * i));
        signed_[ibEntry + 4 + i] = (unsigned char)(24 >> (8 * i));
    }
    CHECK(HasSignature(signed_));
    Bytes outside = signed_;
    outside.resize(image.size() + 8);
    CHECK(DropSignature(signed_, bDropped, why));
    CHECK(bDropped);
    CHECK(signed_ == image);
    CHECK_FALSE(DropSignature(outside, bDropped, why));
    CHECK(why == "its certificate table lies outside the file");
    Bytes text(200, 'x');
    CHECK_FALSE(DropSignature(text, bDropped, why));
    CHECK(why == "not a Windows executable");
}

TEST_CASE("The running build's own version comes from its version block")
{
    const struct { bool bPackage; DWORD aParts[4]; } cases[] = {
        {true, {9, 0, 0, 463}},
        {false, {9, 0, 0, 0}},
    };
    for (const auto& c : cases)
    {
        CAPTURE(c.bPackage);
        BuildVersion version = OwnBuildVersion(c.bPackage);
        CHECK(version.dwMajor == c.aParts[0]);
        CHECK(version.dwMinor == c.aParts[1]);
        CHECK(version.dwRelease == c.aParts[2]);
        CHECK(version.dwBuild == c.aParts[3]);
    }
}
