// The rows setup.exe loads and their buffers, as its code loads them; a row added to the program
// needs its line here, or no product file can set it.
#include "string_rows.h"

#include "../setup/res/resource.h"

namespace {

const unsigned cchMessageBox = 4094;    // ShowStringBox: 4,096, loaded one short
const unsigned cchJob = 1023;           // the download jobs' texts, the dialog title
const unsigned cchQuestion = 1023;      // the question and the pins
const unsigned cchCancelButton = 30;
const unsigned cchPackageName = 258;    // MAX_PATH, loaded one short
const unsigned cchCompanionList = 4095;
const unsigned cchValidityDays = 15;    // the build information's validity in days
const unsigned cchProductProperty = 63; // the product's UpgradeCode and lowest ProductVersion

const RowRule aRules[] = {
    {IDS_SETUP_TITLE, cchJob, rowText},
    // MakeOwnKey keeps the product code only while the '-' still fits after it; the whole key
    // is checked once both rows are known.
    {IDS_PRODUCT_CODE, cchProductKeyMax - 1, rowKeyPart},
    {IDS_EDITION_CODE, cchProductKeyMax - 1, rowKeyPart},
    {IDS_SIZE_UNIT, cchJob, rowText},
    {IDS_ENGINE_RESTART, cchMessageBox, rowText},
    {IDS_HELP, cchMessageBox, rowText},
    {IDS_SEARCHING, cchJob, rowText},
    {IDS_NEW_BUILD_QUESTION, cchQuestion, rowText},
    {IDS_DOWNLOAD, cchJob, rowText},
    {IDS_SKIP, cchCancelButton, rowText},
    {IDS_CONNECTING, cchJob, rowText},
    {IDS_DESCRIPTION_SEARCH, cchJob, rowText},
    {IDS_DESCRIPTION_DOWNLOAD, cchJob, rowText},
    {IDS_REQUEST_COMPLETED, cchJob, rowText},
    {IDS_PACKAGE_NOT_VERIFIED, cchMessageBox, rowText},
    {IDS_MSI_PACKAGE, cchPackageName, rowFileName},
    {IDS_MIRROR_URLS, cchJob, rowText},
    {IDS_COMPANION_FILES, cchCompanionList, rowText},
    {IDS_PUBLISHER_PINS, cchQuestion, rowPins},
    {IDS_UPGRADE_CODE, cchProductProperty, rowText},
    {IDS_LOWEST_VERSION, cchProductProperty, rowText},
    {IDS_INFO_VALIDITY, cchValidityDays, rowText},
};
const unsigned cRules = sizeof(aRules) / sizeof(aRules[0]);

bool IsHexDigit(char16_t ch)
{
    return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f') || (ch >= u'A' && ch <= u'F');
}

// The key is matched in 8-bit text lines whose fields blanks separate.
std::string CheckKeyPart(const std::u16string& text)
{
    for (char16_t ch : text)
        if (ch <= u' ' || ch > u'~')
            return "holds a blank or a character outside printable ASCII; the product key is "
                   "written into 8-bit lines whose fields blanks separate";
    return "";
}

std::string CheckFileName(const std::u16string& text)
{
    if (text.empty())
        return "is empty; it names the package beside setup.exe";
    static const char16_t szForbidden[] = u"\\/:*?\"<>|";
    for (char16_t ch : text)
        for (const char16_t* p = szForbidden; *p != 0; ++p)
            if (ch == *p || ch < u' ')
                return "is no plain file name; it names the package beside setup.exe";
    if (text == u"." || text == u"..")
        return "is no plain file name; it names the package beside setup.exe";
    return "";
}

// Each pin: the SHA-256 of a DER SubjectPublicKeyInfo in hex. A typo would refuse every update.
std::string CheckPins(const std::u16string& text)
{
    size_t iStart = 0;
    while (!text.empty() && iStart <= text.size())
    {
        size_t iEnd = text.find(u';', iStart);
        if (iEnd == std::u16string::npos)
            iEnd = text.size();
        std::u16string pin = text.substr(iStart, iEnd - iStart);
        bool bHex = pin.size() == cchKeyPin;
        for (char16_t ch : pin)
            bHex = bHex && IsHexDigit(ch);
        if (!bHex)
            return "holds \"" + ToUtf8(pin) + "\", which is no key pin (64 hex digits: the "
                   "SHA-256 of a public key)";
        iStart = iEnd + 1;
    }
    return "";
}

} // namespace

const RowRule* FindRowRule(unsigned uId)
{
    for (const RowRule& rule : aRules)
        if (rule.uId == uId)
            return &rule;
    return nullptr;
}

const RowRule* RowRules(unsigned* pcRules)
{
    *pcRules = cRules;
    return aRules;
}

std::string CheckRowText(const RowRule& rule, const std::u16string& text)
{
    if (text.size() > rule.cchMax)
        return "is " + std::to_string(text.size()) + " characters long, more than the " +
               std::to_string(rule.cchMax) + " the program loads (the rest would be cut)";
    switch (rule.kind)
    {
    case rowKeyPart:
        return CheckKeyPart(text);
    case rowFileName:
        return CheckFileName(text);
    case rowPins:
        return CheckPins(text);
    default:
        return "";
    }
}

bool DecodeStringBlock(const Bytes& data, StringBlock& rows)
{
    rows.assign(cRowsPerBlock, std::u16string());
    size_t ib = 0;
    for (unsigned i = 0; i < cRowsPerBlock && ib + 2 <= data.size(); ++i)
    {
        size_t cch = data[ib] | (data[ib + 1] << 8);
        ib += 2;
        if (ib + 2 * cch > data.size())
            return false;
        for (size_t j = 0; j < cch; ++j, ib += 2)
            rows[i] += (char16_t)(data[ib] | (data[ib + 1] << 8));
    }
    return true;
}

Bytes EncodeStringBlock(const StringBlock& rows)
{
    Bytes data;
    for (const std::u16string& row : rows)
    {
        data.push_back((unsigned char)(row.size() & 0xFF));
        data.push_back((unsigned char)(row.size() >> 8));
        for (char16_t ch : row)
        {
            data.push_back((unsigned char)(ch & 0xFF));
            data.push_back((unsigned char)(ch >> 8));
        }
    }
    return data;
}
