// The DOS header names where the PE signature is; after it the file header (20 bytes) and the
// optional header, whose magic says 32 or 64 bits and so where its data directories start.
#include "pe_image.h"

#include "le_bytes.h"

namespace {

const size_t ibNewHeaderOffset = 0x3C;
const size_t cbFileHeader = 20;
const size_t ibOptionalSize = 16;           // in the file header
const size_t ibChecksum = 64;               // in the optional header, either kind
const unsigned uMagicPe32 = 0x10B;
const unsigned uMagicPe32Plus = 0x20B;
const size_t ibDirectories32 = 96;
const size_t ibDirectories64 = 112;
const unsigned uSecurityDirectory = 4;
const size_t cbDirectory = 8;




struct PeLayout
{
    size_t ibOptional;
    size_t ibSecurity;      // 0 when the image has no such directory
};

bool FindLayout(const Bytes& image, PeLayout& layout)
{
    if (image.size() < ibNewHeaderOffset + 4 || image[0] != 'M' || image[1] != 'Z')
        return false;
    size_t ibPe = ReadDword(image, ibNewHeaderOffset);
    if (ibPe > image.size() || image.size() - ibPe < 4 + cbFileHeader + ibDirectories64 ||
        ReadDword(image, ibPe) != 0x00004550)
        return false;
    layout.ibOptional = ibPe + 4 + cbFileHeader;
    size_t cbOptional = ReadWord(image, ibPe + 4 + ibOptionalSize);
    unsigned uMagic = ReadWord(image, layout.ibOptional);
    size_t ibDirectories = uMagic == uMagicPe32 ? ibDirectories32
                         : uMagic == uMagicPe32Plus ? ibDirectories64 : 0;
    if (ibDirectories == 0 || cbOptional > image.size() - layout.ibOptional)
        return false;
    size_t cDirectories = ReadDword(image, layout.ibOptional + ibDirectories - 4);
    size_t ibEntry = ibDirectories + uSecurityDirectory * cbDirectory;
    bool bHasEntry = cDirectories > uSecurityDirectory && ibEntry + cbDirectory <= cbOptional;
    layout.ibSecurity = bHasEntry ? layout.ibOptional + ibEntry : 0;
    return true;
}

} // namespace

bool HasSignature(const Bytes& image)
{
    PeLayout layout;
    return FindLayout(image, layout) && layout.ibSecurity != 0 &&
           (ReadDword(image, layout.ibSecurity) != 0 || ReadDword(image, layout.ibSecurity + 4) != 0);
}

bool DropSignature(Bytes& image, bool& bDropped, std::string& why)
{
    bDropped = false;
    PeLayout layout;
    if (!FindLayout(image, layout))
    {
        why = "not a Windows executable";
        return false;
    }
    if (!HasSignature(image))
        return true;
    // The directory holds a file offset here, not an address in memory.
    size_t ibTable = ReadDword(image, layout.ibSecurity);
    size_t cbTable = ReadDword(image, layout.ibSecurity + 4);
    if (ibTable == 0 || ibTable > image.size() || cbTable > image.size() - ibTable ||
        ibTable < layout.ibOptional)
    {
        why = "its certificate table lies outside the file";
        return false;
    }
    image.resize(ibTable);
    PutDword(image, layout.ibSecurity, 0);
    PutDword(image, layout.ibSecurity + 4, 0);
    bDropped = true;
    return true;
}

bool UpdateChecksum(Bytes& image)
{
    PeLayout layout;
    if (!FindLayout(image, layout))
        return false;
    size_t ibField = layout.ibOptional + ibChecksum;
    PutDword(image, ibField, 0);
    // 16-bit words with their carries folded back in, then the file's length.
    unsigned long long uSum = 0;
    for (size_t ib = 0; ib < image.size(); ib += 2)
    {
        uSum += ib + 1 < image.size() ? ReadWord(image, ib) : image[ib];
        uSum = (uSum & 0xFFFF) + (uSum >> 16);
    }
    uSum = (uSum & 0xFFFF) + (uSum >> 16);
    PutDword(image, ibField, (unsigned)(uSum + image.size()));
    return true;
}
