// Product files applied to the resources of a setup image: the string blocks and the version
// block, however the caller reads and writes them (a compiled .res file in the build, the
// image's own resources in retarget.exe).
#pragma once

#include "product_file.h"

const unsigned uTypeDialog = 5;
const unsigned uTypeString = 6;
const unsigned uTypeVersion = 16;
const unsigned uVersionName = 1;
const unsigned short wLanguageUs = 1033;    // the only language of the program's resources

struct KitResource
{
    unsigned uType;
    unsigned uName;
    Bytes data;
    bool bChanged;
};

// The resources of language 1033 with a numeric type and name.
typedef std::vector<KitResource> ResourceSet;

struct ResourceId
{
    unsigned uType;
    unsigned uName;
};

// What an image must give for a retarget: the blocks of the program's rows, the version block
// and the dialog that marks the image as this program.
std::vector<ResourceId> NeededResources();

const KitResource* FindKitResource(const ResourceSet& set, unsigned uType, unsigned uName);

// True when the resources are this program's: a version block that names it (InternalName
// "setup", OriginalFilename "SETUP.EXE", which no product file changes), the progress dialog
// and the block of its mirror list. Else false with the reason in why.
bool IsThisProgram(const ResourceSet& set, std::string& why);

// Applies the products in order (a later one's rows and fields win) and checks what the rows
// make together; false with "name:line: what is wrong" in error.
bool ApplyProducts(const std::vector<ProductFile>& products, ResourceSet& set,
                   std::string& error);

// The rows and the version block of the resources as a product file's text.
std::string DescribeAsProduct(const ResourceSet& set);
