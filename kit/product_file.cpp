// Reading a product file: UTF-8 lines of sections and "key = value" pairs.
#include "product_file.h"
#include "string_rows.h"

namespace {

enum Section
{
    sectionNone,
    sectionStrings,
    sectionVersion
};

// The version block's text fields that a product names. FileVersion and ProductVersion follow
// "version"; InternalName and OriginalFilename mark the image as this program and stay.
const char16_t* const aszFieldKeys[] = {u"CompanyName", u"FileDescription", u"ProductName",
                                        u"LegalCopyright", u"LegalTrademarks", u"Comments"};
const size_t cchFieldMax = 1023;    // the block's lengths are 16-bit: keep it far from them

struct LineReader
{
    ProductFile& product;
    std::string& error;
    Section section;
    unsigned nLine;
};

bool Fail(LineReader& reader, const std::string& what)
{
    reader.error = AtLine(reader.product, reader.nLine, what);
    return false;
}

// A code point of UTF-8 at text[i]; false for a malformed, overlong or surrogate sequence.
bool DecodeUtf8(const std::string& text, size_t& i, char32_t& ch)
{
    unsigned char lead = (unsigned char)text[i++];
    int cTrail = lead < 0x80 ? 0 : lead >= 0xC2 && lead < 0xE0 ? 1 : lead >= 0xE0 && lead < 0xF0 ? 2
               : lead >= 0xF0 && lead < 0xF5 ? 3 : -1;
    if (cTrail < 0 || i + cTrail > text.size())
        return false;
    ch = cTrail == 0 ? lead : lead & (0x3F >> cTrail);
    for (int k = 0; k < cTrail; ++k)
    {
        unsigned char trail = (unsigned char)text[i++];
        if ((trail & 0xC0) != 0x80)
            return false;
        ch = (ch << 6) | (trail & 0x3F);
    }
    static const char32_t aMin[] = {0, 0x80, 0x800, 0x10000};
    return ch >= aMin[cTrail] && ch <= 0x10FFFF && (ch < 0xD800 || ch > 0xDFFF);
}

bool ToUtf16(const std::string& text, std::u16string& out)
{
    out.clear();
    for (size_t i = 0; i < text.size();)
    {
        char32_t ch = 0;
        if (!DecodeUtf8(text, i, ch))
            return false;
        if (ch < 0x10000)
            out += (char16_t)ch;
        else
        {
            out += (char16_t)(0xD800 + ((ch - 0x10000) >> 10));
            out += (char16_t)(0xDC00 + ((ch - 0x10000) & 0x3FF));
        }
    }
    return true;
}

bool IsBlank(char16_t ch)
{
    return ch == u' ' || ch == u'\t';
}

std::u16string Trim(const std::u16string& text)
{
    size_t iStart = 0;
    size_t iEnd = text.size();
    while (iStart < iEnd && IsBlank(text[iStart]))
        ++iStart;
    while (iEnd > iStart && IsBlank(text[iEnd - 1]))
        --iEnd;
    return text.substr(iStart, iEnd - iStart);
}

// \n, \t, \r and \\ stand for what they name; any other backslash is itself, as in the
// installer engine's "[\[]" of the question row.
std::u16string Unescape(const std::u16string& text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        char16_t next = i + 1 < text.size() ? text[i + 1] : 0;
        if (text[i] != u'\\' || (next != u'n' && next != u't' && next != u'r' && next != u'\\'))
        {
            out += text[i];
            continue;
        }
        out += next == u'n' ? u'\n' : next == u't' ? u'\t' : next == u'r' ? u'\r' : u'\\';
        ++i;
    }
    return out;
}

bool ParseNumber(const std::u16string& text, unsigned uMax, unsigned& uValue)
{
    if (text.empty() || text.size() > 5)
        return false;
    uValue = 0;
    for (char16_t ch : text)
    {
        if (ch < u'0' || ch > u'9')
            return false;
        uValue = uValue * 10 + (ch - u'0');
    }
    return uValue <= uMax;
}

bool ParseVersion(const std::u16string& text, unsigned aVersion[cVersionParts])
{
    size_t iStart = 0;
    bool bAnyPart = false;
    for (int i = 0; i < cVersionParts; ++i)
    {
        size_t iEnd = i + 1 < cVersionParts ? text.find(u'.', iStart) : text.size();
        if (iEnd == std::u16string::npos ||
            !ParseNumber(text.substr(iStart, iEnd - iStart), uVersionPartMax, aVersion[i]))
            return false;
        bAnyPart = bAnyPart || aVersion[i] != 0;
        iStart = iEnd + 1;
    }
    // All zero is what the program takes for no version at all.
    return bAnyPart;
}

bool ReadHeader(LineReader& reader, const std::u16string& line)
{
    size_t iClose = line.find(u']');
    std::u16string rest = iClose == std::u16string::npos ? u"" : Trim(line.substr(iClose + 1));
    if (iClose == std::u16string::npos || (!rest.empty() && rest[0] != u';' && rest[0] != u'#'))
        return Fail(reader, "\"" + ToUtf8(line) + "\" is no section header [name]");
    std::u16string name = Trim(line.substr(1, iClose - 1));
    if (name == u"strings")
        reader.section = sectionStrings;
    else if (name == u"version")
        reader.section = sectionVersion;
    else
        return Fail(reader, "unknown section [" + ToUtf8(name) + "]; a product file has [strings] "
                            "and [version]");
    return true;
}

bool ReadRow(LineReader& reader, const std::u16string& key, const std::u16string& value)
{
    unsigned uId = 0;
    if (!ParseNumber(key, 65535, uId))
        return Fail(reader, "\"" + ToUtf8(key) + "\" is no row number");
    const RowRule* pRule = FindRowRule(uId);
    if (pRule == nullptr)
        return Fail(reader, "row " + std::to_string(uId) + " is not one this program uses");
    for (const ProductRow& row : reader.product.rows)
        if (row.uId == uId)
            return Fail(reader, "row " + std::to_string(uId) + " is given twice (first on line " +
                                std::to_string(row.nLine) + ")");
    std::u16string text = Unescape(value);
    std::string what = CheckRowText(*pRule, text);
    if (!what.empty())
        return Fail(reader, "row " + std::to_string(uId) + " " + what);
    reader.product.rows.push_back({uId, text, reader.nLine});
    return true;
}

bool ReadVersionKey(LineReader& reader, const std::u16string& key, const std::u16string& value)
{
    ProductFile& product = reader.product;
    if (key == u"version")
    {
        if (product.nVersionLine != 0)
            return Fail(reader, "version is given twice (first on line " +
                                std::to_string(product.nVersionLine) + ")");
        if (!ParseVersion(value, product.aVersion))
            return Fail(reader, "version \"" + ToUtf8(value) + "\" is not four numbers a.b.c.d, "
                                "each at most 65535 and not all 0");
        product.nVersionLine = reader.nLine;
        return true;
    }
    bool bKnown = false;
    for (const char16_t* pszKey : aszFieldKeys)
        bKnown = bKnown || key == pszKey;
    if (!bKnown)
        return Fail(reader, "unknown key \"" + ToUtf8(key) + "\" in [version]; known: version, "
                            "CompanyName, FileDescription, ProductName, LegalCopyright, "
                            "LegalTrademarks, Comments");
    for (const ProductField& field : product.fields)
        if (field.key == key)
            return Fail(reader, ToUtf8(key) + " is given twice (first on line " +
                                std::to_string(field.nLine) + ")");
    std::u16string text = Unescape(value);
    if (text.size() > cchFieldMax)
        return Fail(reader, ToUtf8(key) + " is " + std::to_string(text.size()) +
                            " characters long, more than " + std::to_string(cchFieldMax));
    product.fields.push_back({key, text, reader.nLine});
    return true;
}

bool ReadLine(LineReader& reader, const std::u16string& raw)
{
    std::u16string line = Trim(raw);
    if (line.empty() || line[0] == u';' || line[0] == u'#')
        return true;
    if (line[0] == u'[')
        return ReadHeader(reader, line);
    size_t iEquals = line.find(u'=');
    std::u16string key = iEquals == std::u16string::npos ? u"" : Trim(line.substr(0, iEquals));
    if (key.empty())
        return Fail(reader, "\"" + ToUtf8(line) + "\" is no \"key = value\" line");
    std::u16string value = Trim(line.substr(iEquals + 1));
    if (reader.section == sectionNone)
        return Fail(reader, "\"" + ToUtf8(key) + " = ...\" comes before any [section]");
    return reader.section == sectionStrings ? ReadRow(reader, key, value)
                                            : ReadVersionKey(reader, key, value);
}

} // namespace

const char16_t* const* VersionFieldKeys(unsigned* pcKeys)
{
    *pcKeys = sizeof(aszFieldKeys) / sizeof(aszFieldKeys[0]);
    return aszFieldKeys;
}

std::string AtLine(const ProductFile& product, unsigned nLine, const std::string& what)
{
    return product.name + ":" + std::to_string(nLine) + ": " + what;
}

std::string FormatVersionText(const unsigned aVersion[cVersionParts])
{
    std::string text;
    for (int i = 0; i < cVersionParts; ++i)
        text += (i > 0 ? "." : "") + std::to_string(aVersion[i]);
    return text;
}

std::string ToUtf8(const std::u16string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        char32_t ch = text[i];
        if (ch >= 0xD800 && ch < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            ch = 0x10000 + ((ch - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (ch < 0x80)
            out += (char)ch;
        else if (ch < 0x800)
            out += {(char)(0xC0 | (ch >> 6)), (char)(0x80 | (ch & 0x3F))};
        else if (ch < 0x10000)
            out += {(char)(0xE0 | (ch >> 12)), (char)(0x80 | ((ch >> 6) & 0x3F)),
                    (char)(0x80 | (ch & 0x3F))};
        else
            out += {(char)(0xF0 | (ch >> 18)), (char)(0x80 | ((ch >> 12) & 0x3F)),
                    (char)(0x80 | ((ch >> 6) & 0x3F)), (char)(0x80 | (ch & 0x3F))};
    }
    return out;
}

bool ReadProductFile(const std::string& name, const std::string& text, ProductFile& product,
                     std::string& error)
{
    product = ProductFile();
    product.name = name;
    for (unsigned& part : product.aVersion)
        part = 0;
    product.nVersionLine = 0;
    LineReader reader = {product, error, sectionNone, 0};
    // A byte-order mark is how some editors start UTF-8.
    size_t iStart = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (iStart <= text.size())
    {
        ++reader.nLine;
        size_t iEnd = text.find('\n', iStart);
        if (iEnd == std::string::npos)
            iEnd = text.size();
        std::string bytes = text.substr(iStart, iEnd - iStart);
        if (!bytes.empty() && bytes.back() == '\r')
            bytes.pop_back();
        std::u16string line;
        if (!ToUtf16(bytes, line) || line.find(u'\0') != std::u16string::npos)
            return Fail(reader, "not UTF-8 text (save the file as UTF-8)");
        if (!ReadLine(reader, line))
            return false;
        iStart = iEnd + 1;
    }
    return true;
}
