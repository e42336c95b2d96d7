// Files the setup holds and hands on: which paths name them, on real files in temporary
// directories.
#include <doctest.h>

#include "trace_capture.h"
#include "checkversion/package_check.h"
#include "checkversion/package_hold.h"
#include "checkversion/package_digest.h"
#include "setup_base/files.h"

#include <aclapi.h>

#include <algorithm>
#include <string>

TEST_CASE("a path is handed on only in the one spelling that Windows opens as written")
{
    // Windows drops a segment's trailing period or space ("x." is opened as "x"), and a colon
    // after the drive's names a stream: each of those spellings reaches another file.
    struct { const wchar_t* path; bool bCanonical; } cases[] = {
        {L"C:\\dir\\vlm.tch.msi", true},
        {L"\\\\server\\share\\dir\\vlm.tch.msi", true},
        {L"C:\\", true},
        {L"\\\\?\\C:\\dir\\vlm.tch.msi", false},
        {L"\\\\?\\UNC\\server\\share\\vlm.tch.msi", false},
        {L"C:\\x.\\vlm.tch.msi", false},
        {L"C:\\x \\vlm.tch.msi", false},
        {L"C:\\dir\\Data1.cab.", false},
        {L"C:\\dir\\Data1.cab ", false},
        {L"C:\\dir\\sub\\..\\Data1.cab", false},
        {L"C:\\dir\\.\\Data1.cab", false},
        {L"C:\\dir/Data1.cab", false},
        {L"C:\\dir\\Data1.cab:stream", false},
        {L"C:Data1.cab", false},
        {L"dir\\Data1.cab", false},
    };
    for (auto& c : cases)
    {
        CAPTURE(std::string(c.path, c.path + lstrlenW(c.path)));
        CHECK(IsCanonicalPath(c.path) == c.bCanonical);
    }
}

TEST_CASE("the held path of a file opens that file")
{
    TempDir dir;
    std::wstring file = dir.File(L"held.msi");
    WriteFileBytes(file, "package");
    FileHandle held(HoldFile(file.c_str(), true));
    REQUIRE(held.IsOpen());
    wchar_t szHeld[MAX_PATH];
    REQUIRE(GetHeldPath(held.get(), szHeld, MAX_PATH));
    CHECK(IsCanonicalPath(szHeld));
    CHECK(IsSameFile(szHeld, file.c_str()));
    CHECK_FALSE(GetHeldPath(held.get(), szHeld, lstrlenW(szHeld)));
}

TEST_CASE("only NTFS and ReFS keep a renamed file's ID; elsewhere the content tells the file")
{
    struct { const wchar_t* fileSystem; bool bKeeps; } cases[] = {
        {L"NTFS", true}, {L"ReFS", true}, {L"FAT", false}, {L"FAT32", false}, {L"exFAT", false},
        {L"", false}, {L"UDF", false},
    };
    for (auto& c : cases)
    {
        CAPTURE(std::string(c.fileSystem, c.fileSystem + lstrlenW(c.fileSystem)));
        CHECK(KeepsFileIds(c.fileSystem) == c.bKeeps);
    }
}

namespace {

std::string SignatureMaterial(const char* pszName)
{
    wchar_t szExe[MAX_PATH];
    std::wstring path(szExe, GetModuleFileNameW(NULL, szExe, MAX_PATH));
    std::string name(pszName);
    return ReadFileBytes(path.substr(0, path.rfind(L'\\')) + L"\\signature\\"
                         + std::wstring(name.begin(), name.end()));
}

// A download staged in dir and written whole, held for the checks.
void StageDownload(StagedPackage& staged, const std::wstring& chosen, const std::string& data)
{
    InitStaged(staged);
    REQUIRE(BeginStaging(chosen.c_str(), staged));
    DWORD cbWritten = 0;
    REQUIRE(WriteFile(staged.hFile, data.data(), (DWORD)data.size(), &cbWritten, NULL));
    REQUIRE(HoldStaged(staged));
}

} // namespace

TEST_CASE("a staged download is the setup's alone and held through the handle that wrote it")
{
    TempDir dir;
    StagedPackage staged;
    StageDownload(staged, dir.File(L"chosen.msi"), "package");
    // Nobody else may write it, and readers must leave it be.
    CHECK(CreateFileW(staged.szStaging, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                      OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE);
    CHECK(GetLastError() == ERROR_SHARING_VIOLATION);
    CHECK(ReadFileBytes(staged.szHeld) == "package");

    DiscardStaged(staged);
    CHECK(dir.Files().empty());
}

TEST_CASE("the staging file's DACL lets its user do anything, the system read, nobody else in")
{
    // Wine keeps no DACL of a file on this file system (it makes one up from the Unix mode), so
    // the descriptor the file is created with is what can be checked.
    PrivateSecurity security;
    REQUIRE(MakePrivateSecurity(security));
    CHECK(IsValidSecurityDescriptor(security.attributes.lpSecurityDescriptor));
    CHECK(security.descriptor.Control == (SE_DACL_PRESENT | SE_DACL_PROTECTED));
    PACL pDacl = security.descriptor.Dacl;
    REQUIRE(pDacl->AceCount == 2);
    HANDLE hToken = NULL;
    BYTE rgbUser[128];
    DWORD cb = 0;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken));
    REQUIRE(GetTokenInformation(hToken, TokenUser, rgbUser, sizeof(rgbUser), &cb));
    CloseHandle(hToken);
    BYTE rgbSystem[SECURITY_MAX_SID_SIZE];
    cb = sizeof(rgbSystem);
    REQUIRE(CreateWellKnownSid(WinLocalSystemSid, NULL, rgbSystem, &cb));
    struct { PSID pSid; DWORD dwMask; } expected[] = {
        {((TOKEN_USER*)rgbUser)->User.Sid, GENERIC_ALL}, {rgbSystem, GENERIC_READ}};
    for (DWORD i = 0; i < 2; ++i)
    {
        ACCESS_ALLOWED_ACE* pAce = NULL;
        REQUIRE(GetAce(pDacl, i, (void**)&pAce));
        CHECK(pAce->Mask == expected[i].dwMask);
        CHECK(EqualSid(&pAce->SidStart, expected[i].pSid));
    }
}

TEST_CASE("a placed download is told by its ID, or by its content where a rename may change it")
{
    const std::string package = SignatureMaterial("unsigned.msi");
    BYTE rgbWrong[cbPackageDigest] = {1};
    // 'digest': none, or a wrong one. Where the file can't be told for the download it stays,
    // whatever it is: a name alone is never removed.
    struct { bool bKeepsIds; bool bWrongDigest; bool bPlaced; bool bLeft; } cases[] = {
        {true, false, true, true},
        {true, true, false, false},
        {false, false, true, true},
        {false, true, false, true},
    };
    for (auto& c : cases)
    {
        CAPTURE(c.bKeepsIds);
        CAPTURE(c.bWrongDigest);
        TempDir dir;
        std::wstring chosen = dir.File(L"chosen.msi");
        StagedPackage staged;
        StageDownload(staged, chosen, package);
        staged.bKeepsIds = c.bKeepsIds;
        CallbackParam param = {};
        CHECK(PlaceStaged(staged, param, chosen.c_str(), c.bWrongDigest ? rgbWrong : NULL)
              == c.bPlaced);
        CHECK((GetFileAttributesW(chosen.c_str()) != INVALID_FILE_ATTRIBUTES) == c.bLeft);
        if (c.bPlaced)
            CHECK(IsSameFile(staged.szHeld, chosen.c_str()));
        // A placed download that is not handed over, after a later step failed, goes.
        DiscardStaged(staged);
        CHECK(dir.Files().size() == (c.bLeft && !c.bPlaced ? 1u : 0u));
    }
}

TEST_CASE("a check that a Cancel leaves behind ends by itself, then removes the download")
{
    // The check's first trace line waits while the test holds the trace: it outlasts the
    // worker's moment of grace after the Cancel, as a large package would.
    const std::string local = SignatureMaterial("unsigned-1.0.0.msi");
    struct { bool bBlocked; PackageCheck check; bool bLeft; } cases[] = {
        {false, PACKAGE_NOT_ANCHORED, true},
        {true, PACKAGE_REFUSED, false},
    };
    for (auto& c : cases)
    {
        CAPTURE(c.bBlocked);
        TempDir dir;
        std::wstring package = dir.File(L"vlm1.tmp"), localPath = dir.File(L"vlm.tch.msi");
        WriteFileBytes(package, SignatureMaterial("unsigned.msi"));
        WriteFileBytes(localPath, local);
        FileIdentity identity;
        {
            FileHandle file(HoldFile(package.c_str(), true));
            REQUIRE(GetHandleIdentity(file.get(), identity));
        }
        TraceCapture trace;
        CallbackParam param = {};
        param.lCancelled = 1;
        BYTE rgbDigest[cbPackageDigest];
        Tracer* pTracer = c.bBlocked ? LockTrace() : NULL;
        CHECK(CheckAside(param, localPath.c_str(), package.c_str(), &identity, rgbDigest)
              == c.check);
        if (pTracer != NULL)
            UnlockTrace(pTracer);
        for (int i = 0; i < 200 && (GetFileAttributesW(package.c_str()) != INVALID_FILE_ATTRIBUTES)
                                       != c.bLeft; ++i)
            Sleep(50);
        CHECK((GetFileAttributesW(package.c_str()) != INVALID_FILE_ATTRIBUTES) == c.bLeft);
        std::vector<std::string> lines = trace.Lines();
        CHECK(std::count(lines.begin(), lines.end(),
                         "*** Verify package: left behind after cancel ***")
              == (c.bBlocked ? 1 : 0));
    }
}
