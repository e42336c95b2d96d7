// Compiled resource files (.res): the resource compiler's output, read and written again with
// some resources replaced, for the build of a product's setup.exe.
#pragma once

#include "product_image.h"

struct ResEntry
{
    Bytes header;       // as read: the sizes, type, name, flags and language
    bool bNumeric;      // type and name are numbers
    unsigned uType;
    unsigned uName;
    unsigned short wLanguage;
    Bytes data;
};

// False for a file that ends inside an entry.
bool ReadResFile(const Bytes& file, std::vector<ResEntry>& entries);
Bytes WriteResFile(const std::vector<ResEntry>& entries);

// The entries of language 1033 with a numeric type and name, as a set to apply products to.
ResourceSet ResourcesOf(const std::vector<ResEntry>& entries);
// Puts the changed resources of the set back: in place, or as new entries at the end.
void PutResources(const ResourceSet& set, std::vector<ResEntry>& entries);
