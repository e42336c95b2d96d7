// Package verification on packages, certificates and storages that make_signed_packages.py made
// on the host beside this executable, with osslsigncode's digests of them.
#include <doctest.h>

#include "trace_capture.h"
#include "checkversion/package_signature.h"

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

TEST_CASE("package signature: only an unchanged package of the local signer, chained to a "
          "trusted root, is verified")
{
    TrustTestRoot();
    const std::string signedA = "local-a.msi", unsignedLocal = "unsigned-1.0.0.msi";
    const char szNotAnchored[] = "local package is not signed, not verified ***";
    struct { std::string local, downloaded; PackageCheck check; const char* line; } cases[] = {
        {signedA, "signed-a.msi", PACKAGE_VERIFIED, "signed by Velmora Test Publisher A ***"},
        {signedA, "tampered.msi", PACKAGE_REFUSED, "content does not match its signature ***"},
        // The changed package's own digest signed in: the message digest no longer matches.
        {signedA, "forged.msi", PACKAGE_REFUSED, "signature is not intact (0x80091007) ***"},
        {signedA, "broken.msi", PACKAGE_REFUSED, "signature is not intact (0x"},
        {signedA, "signed-b.msi", PACKAGE_REFUSED, "signed by Velmora Test Publisher B, not by "
                                                   "Velmora Test Publisher A as the local "
                                                   "package ***"},
        // Self-signed in A's name.
        {signedA, "self-signed.msi", PACKAGE_REFUSED, "certificate chain is not trusted for "
                                                      "code signing (0x800B0109) ***"},
        {signedA, "unsigned.msi", PACKAGE_REFUSED, "not signed (0x"},
        {signedA, "extended.msi", PACKAGE_REFUSED, "extended signature not supported ***"},
        {signedA, "missing.msi", PACKAGE_REFUSED, "not signed (0x"},
        {unsignedLocal, "unsigned.msi", PACKAGE_NOT_ANCHORED, szNotAnchored},
        {unsignedLocal, "signed-b.msi", PACKAGE_NOT_ANCHORED, szNotAnchored},
        {"missing.msi", "signed-a.msi", PACKAGE_NOT_ANCHORED, "no local package, not verified ***"},
    };
    const char* outcomes[] = {"verified", "not verified", "refused"};
    for (auto& c : cases)
    {
        CAPTURE(c.downloaded);
        TraceCapture trace;
        std::wstring downloaded = Material(c.downloaded);
        CHECK(VerifyDownloadedPackage(Material(c.local).c_str(), downloaded.c_str()) == c.check);
        std::vector<std::string> lines = trace.Lines();
        REQUIRE(lines.size() == 3);
        CHECK(lines[0] == "*** Verify package: start: " + std::string(downloaded.begin(),
                                                                   downloaded.end()) + " ***");
        std::string step = std::string("*** Verify package: ") + c.line;
        CHECK(lines[1].substr(0, step.size()) == step);
        CHECK(lines[2] == std::string("*** Verify package: end: ") + outcomes[c.check] + " ***");
    }
}
