// Package verification on packages, certificates and storages that make_signed_packages.py made
// on the host beside this executable, with osslsigncode's digests of them.
#include <doctest.h>

#include "trace_capture.h"
#include "checkversion/package_signature.h"
#include "checkversion/package_product.h"
#include "checkversion/signature_message.h"

#include <algorithm>
#include <sstream>

namespace {

std::wstring Material(const std::string& name)
{
    wchar_t szExe[MAX_PATH];
    std::wstring path(szExe, GetModuleFileNameW(NULL, szExe, MAX_PATH));
    return path.substr(0, path.rfind(L'\\')) + L"\\signature\\" + std::wstring(name.begin(),
                                                                            name.end());
}

// Into the machine's root store, as the prefix's administrator would; once per run.
void TrustTestRoot()
{
    static bool bTrusted = false;
    if (bTrusted)
        return;
    std::wstring command = L"regedit.exe /S \"" + Material("root.reg") + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    REQUIRE(CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi));
    REQUIRE(WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    bTrusted = true;
}

} // namespace

TEST_CASE("package signature: the digest is osslsigncode's, whatever the names and nesting")
{
    std::istringstream listing(ReadFileBytes(Material("digests.txt")));
    std::string name, expected;
    int count = 0;
    for (; listing >> name >> expected; ++count)
    {
        CAPTURE(name);
        BYTE rgbDigest[cbPackageDigest];
        REQUIRE(ComputePackageDigest(Material(name).c_str(), rgbDigest));
        char szHex[2 * cbPackageDigest + 1];
        for (DWORD i = 0; i < cbPackageDigest; ++i)
            wsprintfA(szHex + 2 * i, "%02x", rgbDigest[i]);
        CHECK(szHex == expected);
    }
    CHECK(count == 4);
}

TEST_CASE("package signature: a walk reads no more of a storage than its file holds")
{
    // Thirty storages whose links lead to each one's child twice: 32,767 visits if followed.
    TraceCapture trace;
    BYTE rgbDigest[cbPackageDigest];
    CHECK_FALSE(ComputePackageDigest(Material("storage-shared.stg").c_str(), rgbDigest));
    CHECK(trace.Lines() == std::vector<std::string>{
              "*** Verify package: storage larger than its file ***"});
}

std::wstring Pin(const std::string& signer)
{
    std::istringstream listing(ReadFileBytes(Material("pins.txt")));
    std::string name, pin;
    while (listing >> name >> pin)
    {
        if (name == signer)
            return std::wstring(pin.begin(), pin.end());
    }
    return L"";
}

TEST_CASE("package signature: only an unchanged later build of the product, signed by the "
          "anchor's publisher and chained to a trusted root, is verified")
{
    TrustTestRoot();
    const std::string signedA = "local-a.msi", unsignedLocal = "unsigned-1.0.0.msi";
    const std::wstring pinsA = L" " + Pin("b") + L"; " + Pin("a") + L" ", pinsB = Pin("b");
    std::wstring upperA = Pin("a");
    for (wchar_t& ch : upperA)
        ch = (wchar_t)towupper(ch);
    // A's pin but for one digit near its start or at its end, or one digit longer or shorter.
    std::wstring earlyA = Pin("a"), lateA = Pin("a");
    earlyA[1] = earlyA[1] == L'0' ? L'1' : L'0';
    lateA.back() = lateA.back() == L'0' ? L'1' : L'0';
    const std::wstring longerA = Pin("a") + L"0", shorterA = Pin("a").substr(1);
    const char szNotAnchored[] = "local package is not signed, not verified ***";
    const char szPinned[] = "signed by Velmora Test Publisher A, whose key is pinned ***";
    const char szSameProduct[] = "same product, ProductVersion 1.0.1 after 1.0.0 ***";
    const char *szLocalSigner = "the local signer", *szPins = "the publisher pins",
               *szNone = "none";
    struct { std::string local; std::wstring pins; std::string downloaded; PackageCheck check;
             const char* anchor; const char* line; } cases[] = {
        {signedA, L"", "signed-a.msi", PACKAGE_VERIFIED, szLocalSigner, szSameProduct},
        {signedA, L"", "tampered.msi", PACKAGE_REFUSED, szLocalSigner,
         "content does not match its signature ***"},
        // The changed package's own digest signed in: the message digest no longer matches.
        {signedA, L"", "forged.msi", PACKAGE_REFUSED, szLocalSigner,
         "signature is not intact (0x80091007) ***"},
        {signedA, L"", "broken.msi", PACKAGE_REFUSED, szLocalSigner, "signature is not intact (0x"},
        {signedA, L"", "signed-b.msi", PACKAGE_REFUSED, szLocalSigner,
         "signed by Velmora Test Publisher B, not by Velmora Test Publisher A as the local "
         "package ***"},
        // Self-signed in A's name.
        {signedA, L"", "self-signed.msi", PACKAGE_REFUSED, szLocalSigner,
         "certificate chain is not trusted for code signing (0x800B0109) ***"},
        {signedA, L"", "unsigned.msi", PACKAGE_REFUSED, szLocalSigner, "not signed (0x"},
        // A's certificate expired: a time stamp from while it was valid keeps the signature
        // good, unless the authority is not trusted; without one it is judged now.
        {signedA, L"", "expired-stamped.msi", PACKAGE_VERIFIED, szLocalSigner, szSameProduct},
        {unsignedLocal, pinsA, "expired-stamped.msi", PACKAGE_VERIFIED, szPins, szSameProduct},
        {signedA, L"", "expired.msi", PACKAGE_REFUSED, szLocalSigner,
         "certificate chain is not trusted for code signing (0x800B0101) ***"},
        {signedA, L"", "expired-self-stamped.msi", PACKAGE_REFUSED, szLocalSigner,
         "certificate chain is not trusted for code signing (0x800B0101) ***"},
        {signedA, L"", "extended.msi", PACKAGE_REFUSED, szLocalSigner,
         "extended signature not supported ***"},
        {signedA, L"", "missing.msi", PACKAGE_REFUSED, szLocalSigner, "not signed (0x"},
        // A rollback to an older build, or the same one, and another product of the publisher.
        {"signed-a.msi", L"", signedA, PACKAGE_REFUSED, szLocalSigner,
         "ProductVersion 1.0.0 is not higher than the local package's 1.0.1 ***"},
        {signedA, L"", signedA, PACKAGE_REFUSED, szLocalSigner,
         "ProductVersion 1.0.0 is not higher than the local package's 1.0.0 ***"},
        {signedA, L"", "other-product-a.msi", PACKAGE_REFUSED, szLocalSigner,
         "UpgradeCode {6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F0F} is not the local package's "
         "{6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F02} ***"},
        // A GUID written in other letters is the same product.
        {signedA, L"", "lower-case-a.msi", PACKAGE_VERIFIED, szLocalSigner, szSameProduct},
        {unsignedLocal, L"", "unsigned.msi", PACKAGE_NOT_ANCHORED, szNone, szNotAnchored},
        {unsignedLocal, L"", "signed-b.msi", PACKAGE_NOT_ANCHORED, szNone, szNotAnchored},
        {"missing.msi", L"", "signed-a.msi", PACKAGE_NOT_ANCHORED, szNone,
         "no local package, not verified ***"},
        // Pins anchor the check whatever the local package is, and outrank its signer.
        {unsignedLocal, pinsA, "signed-a.msi", PACKAGE_VERIFIED, szPins, szSameProduct},
        {"missing.msi", upperA, "signed-a.msi", PACKAGE_VERIFIED, szPins, szPinned},
        {"local-b.msi", pinsA, "signed-a.msi", PACKAGE_VERIFIED, szPins, szSameProduct},
        {unsignedLocal, pinsB, "signed-a.msi", PACKAGE_REFUSED, szPins,
         "signed by Velmora Test Publisher A, whose key "},
        {"missing.msi", pinsA, "unsigned.msi", PACKAGE_REFUSED, szPins, "not signed (0x"},
        {unsignedLocal, pinsA, "other-product-a.msi", PACKAGE_REFUSED, szPins,
         "UpgradeCode {6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F0F}"},
        {unsignedLocal, L"0123", "signed-a.msi", PACKAGE_REFUSED, szPins,
         "signed by Velmora Test Publisher A, whose key "},
        {unsignedLocal, earlyA, "signed-a.msi", PACKAGE_REFUSED, szPins,
         "signed by Velmora Test Publisher A, whose key "},
        {unsignedLocal, lateA, "signed-a.msi", PACKAGE_REFUSED, szPins,
         "signed by Velmora Test Publisher A, whose key "},
        {unsignedLocal, longerA, "signed-a.msi", PACKAGE_REFUSED, szPins,
         "signed by Velmora Test Publisher A, whose key "},
        {unsignedLocal, shorterA, "signed-a.msi", PACKAGE_REFUSED, szPins,
         "signed by Velmora Test Publisher A, whose key "},
    };
    const char* outcomes[] = {"verified", "not verified", "refused"};
    for (auto& c : cases)
    {
        CAPTURE(c.local);
        CAPTURE(c.downloaded);
        TraceCapture trace;
        std::wstring local = Material(c.local), downloaded = Material(c.downloaded);
        PackageAnchor anchor = {local.c_str(), c.pins.c_str(), NULL, NULL};
        BYTE rgbDigest[cbPackageDigest] = {};
        CHECK(VerifyDownloadedPackage(anchor, downloaded.c_str(), rgbDigest) == c.check);
        std::vector<std::string> lines = trace.Lines();
        REQUIRE(lines.size() >= 4);
        CHECK(lines[0] == "*** Verify package: start: " + std::string(downloaded.begin(),
                                                                   downloaded.end()) + " ***");
        CHECK(lines[1] == std::string("*** Verify package: anchored by ") + c.anchor + " ***");
        std::string step = std::string("*** Verify package: ") + c.line;
        CHECK(lines[lines.size() - 2].substr(0, step.size()) == step);
        CHECK(lines.back() == std::string("*** Verify package: end: ") + outcomes[c.check] +
                              " ***");
        // Only a trusted authority's stamp moves the time the chain is judged at.
        bool bStamped = c.downloaded.find("stamped") != std::string::npos;
        CHECK(std::count(lines.begin(), lines.end(),
                         "*** Verify package: judged at its time stamp ***")
              == (bStamped && c.check == PACKAGE_VERIFIED ? 1 : 0));
        // A verified package's digest comes out, for the check after it is moved.
        BYTE rgbComputed[cbPackageDigest];
        if (c.check == PACKAGE_VERIFIED && ComputePackageDigest(downloaded.c_str(), rgbComputed))
            CHECK(memcmp(rgbDigest, rgbComputed, cbPackageDigest) == 0);
    }
}

TEST_CASE("package signature: a chain is judged by its policy, then by its own status, an "
          "unknown revocation status aside")
{
    // Revocation is read from the system's cache only: offline, a status that can't be had is
    // no failure, a revoked certificate always is.
    const DWORD dwUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    struct { DWORD dwPolicyError, dwStatus, dwError; } cases[] = {
        {0, CERT_TRUST_NO_ERROR, 0},
        {0, dwUnknown, 0},
        {0, CERT_TRUST_IS_REVOKED | dwUnknown, (DWORD)CRYPT_E_REVOKED},
        {0, CERT_TRUST_IS_NOT_VALID_FOR_USAGE, (DWORD)CERT_E_WRONG_USAGE},
        {0, CERT_TRUST_IS_NOT_TIME_VALID | dwUnknown, (DWORD)CERT_E_EXPIRED},
        {0, CERT_TRUST_IS_UNTRUSTED_ROOT, (DWORD)CERT_E_CHAINING},
        {(DWORD)CERT_E_UNTRUSTEDROOT, CERT_TRUST_NO_ERROR, (DWORD)CERT_E_UNTRUSTEDROOT},
        {(DWORD)CRYPT_E_REVOKED, CERT_TRUST_IS_REVOKED, (DWORD)CRYPT_E_REVOKED},
    };
    for (auto& c : cases)
    {
        CAPTURE(c.dwStatus);
        CHECK(JudgeChain(c.dwPolicyError, c.dwStatus) == c.dwError);
    }
}

TEST_CASE("package product: the image's rows fix the product, whatever anchors the signature")
{
    TrustTestRoot();
    const std::wstring pinsA = Pin("a"), own = L"{6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F02}",
                       other = L"{6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F0F}";
    std::wstring lower = own;
    CharLowerW(&lower[0]);
    const char szPinned[] = "signed by Velmora Test Publisher A, whose key is pinned ***";
    const char szNotAnchored[] = "local package is not signed, not verified ***";
    const char szNotOwn[] = "UpgradeCode {6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F02} is not the "
                            "product's {6A3F1C2E-4B7D-4E11-9C55-2D8E0A7B1F0F} ***";
    struct { std::string local; std::wstring pins, upgradeCode, lowest; std::string downloaded;
             PackageCheck check; const char* line; } cases[] = {
        // No local package to compare with: the rows are all that fix the product.
        {"missing.msi", pinsA, own, L"1.0.1", "signed-a.msi", PACKAGE_VERIFIED, szPinned},
        {"missing.msi", pinsA, lower, L"", "signed-a.msi", PACKAGE_VERIFIED, szPinned},
        {"missing.msi", pinsA, other, L"", "signed-a.msi", PACKAGE_REFUSED, szNotOwn},
        {"missing.msi", pinsA, L"", L"1.0.2", "signed-a.msi", PACKAGE_REFUSED,
         "ProductVersion 1.0.1 is not at least the product's 1.0.2 ***"},
        {"missing.msi", pinsA, L"", L"one", "signed-a.msi", PACKAGE_REFUSED,
         "ProductVersion 1.0.1 is not at least the product's one ***"},
        {"unsigned-1.0.0.msi", pinsA, own, L"1.0.0", "signed-a.msi", PACKAGE_VERIFIED,
         "same product, ProductVersion 1.0.1 after 1.0.0 ***"},
        // Nothing anchors the signature; the rows still hold.
        {"unsigned-1.0.0.msi", L"", own, L"1.0.1", "unsigned.msi", PACKAGE_NOT_ANCHORED,
         szNotAnchored},
        {"unsigned-1.0.0.msi", L"", other, L"", "unsigned.msi", PACKAGE_REFUSED, szNotOwn},
    };
    for (auto& c : cases)
    {
        CAPTURE(c.downloaded);
        CAPTURE(std::string(c.upgradeCode.begin(), c.upgradeCode.end()));
        CAPTURE(std::string(c.lowest.begin(), c.lowest.end()));
        TraceCapture trace;
        std::wstring local = Material(c.local), downloaded = Material(c.downloaded);
        PackageAnchor anchor = {local.c_str(), c.pins.c_str(), c.upgradeCode.c_str(),
                                c.lowest.c_str()};
        BYTE rgbDigest[cbPackageDigest] = {};
        CHECK(VerifyDownloadedPackage(anchor, downloaded.c_str(), rgbDigest) == c.check);
        std::vector<std::string> lines = trace.Lines();
        REQUIRE(lines.size() >= 3);
        std::string step = std::string("*** Verify package: ") + c.line;
        CHECK(lines[lines.size() - 2] == step);
    }
}

TEST_CASE("package product: a version is higher only field by field, and only when it is one")
{
    struct { const wchar_t *later, *earlier; bool bHigher; } cases[] = {
        {L"1.0.1", L"1.0.0", true}, {L"1.0.0", L"1.0.0", false}, {L"1.0", L"1.0.0.0", false},
        {L"1.0.0.1", L"1.0.0", true}, {L"2.0.0", L"10.0.0", false}, {L"1.10.0", L"1.9.9", true},
        {L"65535.0.0", L"65534.9.9", true}, {L"65536.0.0", L"1.0.0", false},
        {L"1.0.0.0.1", L"1.0.0", false}, {L"1.0.0.1.0", L"1.0.0", false},
        {L"1.0.1", L"1.0.0.0.9", false}, {L"1.0.0.1.", L"1.0.0", false},
        {L"1.0.x", L"1.0.0", false}, {L"", L"1.0.0", false},
        {L"1.0.1", L"-1.0.0", false}, {L" 1.0.1", L"1.0.0", false},
    };
    for (auto& c : cases)
    {
        CAPTURE(std::string(c.later, c.later + lstrlenW(c.later)));
        CHECK(IsHigherVersion(c.later, c.earlier) == c.bHigher);
    }
}
