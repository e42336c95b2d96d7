// Product files: what the reader takes, what it refuses with the line that is wrong, and the
// rows' buffer limits exactly at and one past the program's buffers.
#include <doctest.h>

#include "../../kit/product_file.h"
#include "../../kit/string_rows.h"
#include "checkversion/download_jobs.h"
#include "checkversion/progress_callbacks.h"

namespace {

const char* const pszName = "p.ini";

// The reader's message, or "ok".
std::string Outcome(const std::string& text, ProductFile& product)
{
    std::string error;
    return ReadProductFile(pszName, text, product, error) ? "ok" : error;
}

std::string Outcome(const std::string& text)
{
    ProductFile product;
    return Outcome(text, product);
}

std::string Row(const ProductFile& product, unsigned uId)
{
    for (const ProductRow& row : product.rows)
        if (row.uId == uId)
            return ToUtf8(row.text) + "@" + std::to_string(row.nLine);
    return "-";
}

struct MalformedCase
{
    const char* what;
    std::string text;
    const char* error;
};

const std::string pin(64, 'a');

} // namespace

TEST_CASE("A product file gives its rows, version and fields with their lines")
{
    const std::string text =
        "\xEF\xBB\xBF; made for the kit's tests\r\n"
        "[strings]          ; rows by number\r\n"
        "502 =  Velmora 2010 安裝程式  \r\n"
        "\r\n"
        "# a comment of the other kind\n"
        "1102=line\\none\\tand [\\[]\\\\x\\q\n"
        "2012 = " + pin + ";" + std::string(64, 'F') + "\n"
        "2011 =\n"
        "[version]\n"
        "version = 9.0.65535.0\n"
        "CompanyName = Tarrowin = Ltd\n"
        "[strings]\n"
        "2010 = ftp://h/pr_dl/verinfo.txt;http://g/pr_dl/verinfo.txt\n"
        "2013 = {6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F02}\n"
        "2014 = 1.0.1";
    ProductFile product;
    REQUIRE(Outcome(text, product) == "ok");
    CHECK(Row(product, 502) == "Velmora 2010 安裝程式@3");
    CHECK(Row(product, 1102) == "line\none\tand [\\[]\\x\\q@6");
    CHECK(Row(product, 2012) == pin + ";" + std::string(64, 'F') + "@7");
    CHECK(Row(product, 2011) == "@8");
    CHECK(Row(product, 2010) == "ftp://h/pr_dl/verinfo.txt;http://g/pr_dl/verinfo.txt@13");
    CHECK(Row(product, 2013) == "{6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F02}@14");
    CHECK(Row(product, 2014) == "1.0.1@15");
    CHECK(Row(product, 507) == "-");
    CHECK(FormatVersionText(product.aVersion) == "9.0.65535.0");
    CHECK(product.nVersionLine == 10);
    REQUIRE(product.fields.size() == 1);
    CHECK(ToUtf8(product.fields[0].key) == "CompanyName");
    CHECK(ToUtf8(product.fields[0].text) == "Tarrowin = Ltd");
}

TEST_CASE("A malformed product file is refused with its line and what is wrong")
{
    const MalformedCase cases[] = {
        {"unknown section", "[strings]\n502 = a\n[edition]\n",
         "p.ini:3: unknown section [edition]; a product file has [strings] and [version]"},
        {"header with text after it", "[strings] x\n", "p.ini:1: \"[strings] x\" is no section header [name]"},
        {"unused row", "[strings]\n\n2016 = x\n", "p.ini:3: row 2016 is not one this program uses"},
        {"row that is no number", "[strings]\nIDS_HELP = x\n",
         "p.ini:2: \"IDS_HELP\" is no row number"},
        {"row given twice", "[strings]\n502 = a\n502 = b\n",
         "p.ini:3: row 502 is given twice (first on line 2)"},
        {"no key = value", "[strings]\n502 x\n", "p.ini:2: \"502 x\" is no \"key = value\" line"},
        {"no key", "[version]\n= 1.2.3.4\n", "p.ini:2: \"= 1.2.3.4\" is no \"key = value\" line"},
        {"before any section", "502 = a\n", "p.ini:1: \"502 = ...\" comes before any [section]"},
        {"three parts", "[version]\nversion = 9.0.463\n",
         "p.ini:2: version \"9.0.463\" is not four numbers a.b.c.d, each at most 65535 and not all 0"},
        {"a part past 16 bits", "[version]\nversion = 9.0.65536.1\n",
         "p.ini:2: version \"9.0.65536.1\" is not four numbers a.b.c.d, each at most 65535 and not "
         "all 0"},
        {"five parts", "[version]\nversion = 1.2.3.4.5\n",
         "p.ini:2: version \"1.2.3.4.5\" is not four numbers a.b.c.d, each at most 65535 and not "
         "all 0"},
        {"all zero", "[version]\nversion = 0.0.0.0\n",
         "p.ini:2: version \"0.0.0.0\" is not four numbers a.b.c.d, each at most 65535 and not all 0"},
        {"a sign", "[version]\nversion = 9.0.0.+4\n",
         "p.ini:2: version \"9.0.0.+4\" is not four numbers a.b.c.d, each at most 65535 and not all 0"},
        {"version twice", "[version]\nversion = 1.0.0.0\nversion = 1.0.0.1\n",
         "p.ini:3: version is given twice (first on line 2)"},
        {"the marker's field", "[version]\nOriginalFilename = A.EXE\n",
         "p.ini:2: unknown key \"OriginalFilename\" in [version]; known: version, CompanyName, "
         "FileDescription, ProductName, LegalCopyright, LegalTrademarks, Comments"},
        {"a field twice", "[version]\nProductName = a\nProductName = b\n",
         "p.ini:3: ProductName is given twice (first on line 2)"},
        {"invalid byte", "[strings]\n502 = \xC3\x28\n", "p.ini:2: not UTF-8 text (save the file as UTF-8)"},
        {"overlong form", "[strings]\n502 = \xC0\xAF\n", "p.ini:2: not UTF-8 text (save the file as UTF-8)"},
        {"surrogate", "[strings]\n\n502 = \xED\xA0\x80\n", "p.ini:3: not UTF-8 text (save the file as UTF-8)"},
        {"cut at the end", "[strings]\n502 = \xE6\x97", "p.ini:2: not UTF-8 text (save the file as UTF-8)"},
        {"latin-1", "[version]\nCompanyName = Caf\xE9\n", "p.ini:2: not UTF-8 text (save the file as UTF-8)"},
        {"NUL", std::string("[strings]\n502 = a\0b\n", 18), "p.ini:2: not UTF-8 text (save the file as UTF-8)"},
        {"blank in the key", "[strings]\n507 = V M\n",
         "p.ini:2: row 507 holds a blank or a character outside printable ASCII; the product key "
         "is written into 8-bit lines whose fields blanks separate"},
        {"non-ASCII key", "[strings]\n511 = 繁\n",
         "p.ini:2: row 511 holds a blank or a character outside printable ASCII; the product key "
         "is written into 8-bit lines whose fields blanks separate"},
        {"package path", "[strings]\n2002 = ..\\vlm.msi\n",
         "p.ini:2: row 2002 is no plain file name; it names the package beside setup.exe"},
        {"no package", "[strings]\n2002 =\n",
         "p.ini:2: row 2002 is empty; it names the package beside setup.exe"},
        {"short pin", "[strings]\n2012 = " + pin + ";abc\n",
         "p.ini:2: row 2012 holds \"abc\", which is no key pin (64 hex digits: the SHA-256 of a "
         "public key)"},
        {"pin with a trailing separator", "[strings]\n2012 = " + pin + ";\n",
         "p.ini:2: row 2012 holds \"\", which is no key pin (64 hex digits: the SHA-256 of a "
         "public key)"},
    };
    for (const MalformedCase& c : cases)
    {
        CAPTURE(c.what);
        CHECK(Outcome(c.text) == c.error);
    }
}

TEST_CASE("Every row is taken at its buffer's length and refused one past it")
{
    unsigned cRules = 0;
    const RowRule* pRules = RowRules(&cRules);
    for (unsigned i = 0; i < cRules; ++i)
    {
        const RowRule& rule = pRules[i];
        CAPTURE(rule.uId);
        std::string head = "[strings]\n" + std::to_string(rule.uId) + " = ";
        // Pins come in whole 64-digit pieces: the most that fit stay within the limit.
        std::string fits = rule.kind == rowPins ? pin : std::string(rule.cchMax, 'a');
        CHECK(Outcome(head + fits) == "ok");
        CHECK(Outcome(head + std::string(rule.cchMax + 1, 'a')) ==
              "p.ini:2: row " + std::to_string(rule.uId) + " is " +
                  std::to_string(rule.cchMax + 1) + " characters long, more than the " +
                  std::to_string(rule.cchMax) + " the program loads (the rest would be cut)");
    }
}

TEST_CASE("A row's length counts UTF-16 characters after its escapes, as the program loads it")
{
    // Row 1106 takes 30: a CJK character is one, one beyond the basic plane two, "\n" one.
    const struct { std::string text; bool bFits; } cases[] = {
        {std::string(28, 'a') + "略過", true},
        {std::string(28, 'a') + "略過過", false},
        {std::string(28, 'a') + "\xF0\x9F\x98\x80", true},
        {std::string(29, 'a') + "\xF0\x9F\x98\x80", false},
        {std::string(29, 'a') + "\\n", true},
        {std::string(29, 'a') + "\\q", false},
    };
    for (const auto& c : cases)
    {
        CAPTURE(c.text);
        CHECK((Outcome("[strings]\n1106 = " + c.text) == "ok") == c.bFits);
    }
}

TEST_CASE("The rows' limits follow the buffers that the program's headers name")
{
    // The others are constants of the loading files themselves (see kit/string_rows.cpp).
    const struct { unsigned uId; unsigned cchMax; } cases[] = {
        {2010, cchJobText - 1}, {1103, cchJobText - 1}, {1107, cchJobText - 1},
        {1108, cchJobText - 1}, {1109, cchJobText - 1}, {1110, cchJobText - 1},
        {507, cchBuildKey - 2}, {2002, MAX_PATH - 2},
    };
    for (const auto& c : cases)
    {
        CAPTURE(c.uId);
        REQUIRE(FindRowRule(c.uId) != nullptr);
        CHECK(FindRowRule(c.uId)->cchMax == c.cchMax);
    }
    CHECK(cchProductKeyMax == cchBuildKey - 1);
}
