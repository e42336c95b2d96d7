// An entry: its data size, its header size, type and name (0xFFFF and a number, or UTF-16 text
// with its end), padding to 32 bits, the data version, memory flags, language, version and
// characteristics; then its data, padded to 32 bits.
#include "res_file.h"

#include "le_bytes.h"

namespace {

const size_t cbSizes = 8;
const size_t cbHeaderTail = 16;
const unsigned uOrdinalMark = 0xFFFF;
const unsigned short wStringFlags = 0x1030;     // moveable, pure, discardable





// A type or a name at ib; false when it runs past ibEnd. Text ones are not numbers.
bool SkipId(const Bytes& data, size_t& ib, size_t ibEnd, bool& bNumber, unsigned& uValue)
{
    if (ib + 2 > ibEnd)
        return false;
    bNumber = ReadWord(data, ib) == uOrdinalMark;
    if (bNumber)
    {
        uValue = ib + 4 <= ibEnd ? ReadWord(data, ib + 2) : 0;
        ib += 4;
        return ib <= ibEnd;
    }
    while (ib + 2 <= ibEnd && ReadWord(data, ib) != 0)
        ib += 2;
    ib += 2;
    return ib <= ibEnd;
}

bool ReadEntry(const Bytes& file, size_t& ib, ResEntry& entry)
{
    if (ib + cbSizes > file.size())
        return false;
    size_t cbData = ReadDword(file, ib);
    size_t cbHeader = ReadDword(file, ib + 4);
    size_t ibHeaderEnd = ib + cbHeader;
    if (cbHeader < cbSizes + cbHeaderTail || ibHeaderEnd > file.size() ||
        cbData > file.size() - ibHeaderEnd)
        return false;
    size_t ibAt = ib + cbSizes;
    bool bTypeNumber = false, bNameNumber = false;
    if (!SkipId(file, ibAt, ibHeaderEnd, bTypeNumber, entry.uType) ||
        !SkipId(file, ibAt, ibHeaderEnd, bNameNumber, entry.uName) ||
        Align4(ibAt) + cbHeaderTail > ibHeaderEnd)
        return false;
    entry.bNumeric = bTypeNumber && bNameNumber;
    entry.wLanguage = (unsigned short)ReadWord(file, Align4(ibAt) + 6);
    entry.header.assign(file.begin() + ib, file.begin() + ibHeaderEnd);
    entry.data.assign(file.begin() + ibHeaderEnd, file.begin() + ibHeaderEnd + cbData);
    ib = Align4(ibHeaderEnd + cbData);
    return true;
}

ResEntry NewEntry(const KitResource& resource)
{
    ResEntry entry = {Bytes(cbSizes + 8 + cbHeaderTail, 0), true, resource.uType, resource.uName,
                      wLanguageUs, resource.data};
    PutDword(entry.header, 4, entry.header.size());
    PutDword(entry.header, cbSizes, uOrdinalMark | (resource.uType << 16));
    PutDword(entry.header, cbSizes + 4, uOrdinalMark | (resource.uName << 16));
    size_t ibFlags = cbSizes + 8 + 4;
    PutDword(entry.header, ibFlags, wStringFlags | ((size_t)wLanguageUs << 16));
    return entry;
}

} // namespace

bool ReadResFile(const Bytes& file, std::vector<ResEntry>& entries)
{
    entries.clear();
    for (size_t ib = 0; ib < file.size();)
    {
        entries.push_back(ResEntry());
        if (!ReadEntry(file, ib, entries.back()))
            return false;
    }
    return true;
}

Bytes WriteResFile(const std::vector<ResEntry>& entries)
{
    Bytes file;
    for (const ResEntry& entry : entries)
    {
        size_t ibEntry = file.size();
        file.insert(file.end(), entry.header.begin(), entry.header.end());
        PutDword(file, ibEntry, entry.data.size());
        file.insert(file.end(), entry.data.begin(), entry.data.end());
        file.resize(Align4(file.size()), 0);
    }
    return file;
}

ResourceSet ResourcesOf(const std::vector<ResEntry>& entries)
{
    ResourceSet set;
    for (const ResEntry& entry : entries)
        if (entry.bNumeric && entry.wLanguage == wLanguageUs)
            set.push_back({entry.uType, entry.uName, entry.data, false});
    return set;
}

void PutResources(const ResourceSet& set, std::vector<ResEntry>& entries)
{
    for (const KitResource& resource : set)
    {
        if (!resource.bChanged)
            continue;
        bool bFound = false;
        for (ResEntry& entry : entries)
            if (entry.bNumeric && entry.wLanguage == wLanguageUs &&
                entry.uType == resource.uType && entry.uName == resource.uName)
            {
                entry.data = resource.data;
                bFound = true;
            }
        if (!bFound)
            entries.push_back(NewEntry(resource));
    }
}
