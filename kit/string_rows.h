// The string rows that setup.exe loads, each with the most characters its loading buffer takes,
// and the string-table blocks that hold them.
#pragma once

#include "product_file.h"

enum RowKind
{
    rowText,
    rowKeyPart,     // half of the product key: a word of printable ASCII
    rowFileName,    // the package's file name beside setup.exe
    rowPins         // ';'-separated key pins, 64 hex digits each
};

struct RowRule
{
    unsigned uId;
    unsigned cchMax;        // characters, the loading buffer's end not counted
    RowKind kind;
};

const unsigned cRowsPerBlock = 16;
// The product key "<507>-<511>" lives in a buffer of 32 characters with its end.
const unsigned cchProductKeyMax = 31;
const unsigned cchKeyPin = 64;

// The rule of a row the program loads, or none.
const RowRule* FindRowRule(unsigned uId);
const RowRule* RowRules(unsigned* pcRules);

// A row's block: rows 16 * (block - 1) to 16 * block - 1 make one resource.
inline unsigned BlockOfRow(unsigned uId)
{
    return uId / cRowsPerBlock + 1;
}

typedef std::vector<std::u16string> StringBlock;

// The 16 rows of a block's resource data (length-prefixed UTF-16); false for data that ends
// inside a row.
bool DecodeStringBlock(const Bytes& data, StringBlock& rows);
Bytes EncodeStringBlock(const StringBlock& rows);

// What is wrong with a row's text for its rule, or an empty text when nothing is.
std::string CheckRowText(const RowRule& rule, const std::u16string& text);
