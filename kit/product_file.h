// A product file: the string rows and version block that make a setup.exe another product's.
// UTF-8 INI text with two sections, [strings] (rows by number) and [version]. Portable C++ with
// no Windows in it: the build's host tool and retarget.exe read it with this same code, so both
// say the same thing about the same file.
#pragma once

#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

const int cVersionParts = 4;
const unsigned uVersionPartMax = 65535;    // the version block holds 16-bit parts

struct ProductRow
{
    unsigned uId;
    std::u16string text;
    unsigned nLine;
};

// A text field of the version block, such as CompanyName.
struct ProductField
{
    std::u16string key;
    std::u16string text;
    unsigned nLine;
};

struct ProductFile
{
    std::string name;                   // as the caller named it, for messages
    std::vector<ProductRow> rows;
    std::vector<ProductField> fields;
    unsigned aVersion[cVersionParts];
    unsigned nVersionLine;              // 0 when the file names no version
};

// Reads the text of a product file. False with "name:line: what is wrong" in error for a file
// that is not UTF-8, a line that is no "key = value", an unknown section or key, a row the
// program does not use or one too long for the program's buffer, or a version that is not four
// numbers each at most 65535.
bool ReadProductFile(const std::string& name, const std::string& text, ProductFile& product,
                     std::string& error);

// The version block's text fields that a product file may name.
const char16_t* const* VersionFieldKeys(unsigned* pcKeys);

// "name:line: what" for a message about a line of the file.
std::string AtLine(const ProductFile& product, unsigned nLine, const std::string& what);

// The version's text a.b.c.d.
std::string FormatVersionText(const unsigned aVersion[cVersionParts]);

std::string ToUtf8(const std::u16string& text);
