// The version block (VS_VERSIONINFO) as a tree of nodes: read, changed and written again the way
// the resource compiler lays it out, so that an unchanged block comes out byte for byte.
#pragma once

#include "product_file.h"

struct VersionNode
{
    std::u16string key;
    unsigned short wType;           // 1: the value is text
    unsigned short wValueLength;    // characters with the end for text, else bytes
    Bytes value;
    std::vector<VersionNode> children;
};

// False for data that is no version block.
bool ParseVersionBlock(const Bytes& data, VersionNode& root);
Bytes WriteVersionBlock(const VersionNode& root);

// The file version a.b.c.d of the fixed part; false when the block has none.
bool GetFileVersion(const VersionNode& root, unsigned aVersion[cVersionParts]);
// Sets the file and the product version, numbers and texts alike.
bool SetVersion(VersionNode& root, const unsigned aVersion[cVersionParts]);

// A text of the block's string table; false when it has none of the key.
bool GetVersionText(const VersionNode& root, const std::u16string& key, std::u16string& text);
// Sets (or adds) a text in every string table of the block; false when it has none.
bool SetVersionText(VersionNode& root, const std::u16string& key, const std::u16string& text);
