// A download staged, held and placed under the chosen name, and new files that nothing else can
// have planted, on real files. The window between two steps is opened by closing the record's
// handle where the step itself would.
#include <doctest.h>

#include "trace_capture.h"
#include "checkversion/package_digest.h"
#include "checkversion/package_hold.h"
#include "setup_base/files.h"

#include <algorithm>

namespace {

std::string SignatureMaterial(const wchar_t* pszName)
{
    wchar_t szExe[MAX_PATH];
    std::wstring path(szExe, GetModuleFileNameW(NULL, szExe, MAX_PATH));
    return ReadFileBytes(path.substr(0, path.rfind(L'\\')) + L"\\signature\\" + pszName);
}

bool HasLine(const TraceCapture& trace, const std::string& text)
{
    std::vector<std::string> lines = trace.Lines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos; });
}

// A staging file for chosen that holds bytes, its writer still open as a download leaves it.
void StageWritten(StagedPackage& staged, const std::wstring& chosen, const std::string& bytes)
{
    InitStaged(staged);
    REQUIRE(BeginStaging(chosen.c_str(), staged));
    DWORD cb = 0;
    REQUIRE(WriteFile(staged.hFile, bytes.data(), (DWORD)bytes.size(), &cb, NULL));
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

enum Swap { SWAP_NONE, SWAP_RENAMED_OVER, SWAP_HARD_LINK, SWAP_REMOVED };

} // namespace

TEST_CASE("staging: a file can't be swapped in for the staged one before it is held")
{
    // The writer shares reading only, and the hold is taken through it: nothing done by name
    // meanwhile reaches the file that is held.
    for (Swap swap : {SWAP_NONE, SWAP_RENAMED_OVER, SWAP_HARD_LINK, SWAP_REMOVED})
    {
        CAPTURE(swap);
        TempDir dir, elsewhere;
        std::wstring chosen = dir.File(L"vlm.tch.msi"), victim = elsewhere.File(L"victim");
        WriteFileBytes(victim, "somebody else's");
        TraceCapture trace;
        StagedPackage staged;
        StageWritten(staged, chosen, "written");
        std::wstring staging = staged.szStaging;
        if (swap == SWAP_RENAMED_OVER)
            CHECK_FALSE(MoveFileExW(victim.c_str(), staging.c_str(), MOVEFILE_REPLACE_EXISTING));
        if (swap == SWAP_HARD_LINK || swap == SWAP_REMOVED)
            CHECK_FALSE(DeleteFileW(staging.c_str()));

        REQUIRE(HoldStaged(staged));
        CHECK(HasLine(trace, "*** Hold package: "));
        CHECK(ReadFileBytes(staged.szHeld) == "written");
        DiscardStaged(staged);
        CHECK_FALSE(Exists(chosen));
        CHECK_FALSE(Exists(staging));
        CHECK(ReadFileBytes(victim) == "somebody else's");
    }
}

TEST_CASE("staging: a package changed between its check and its placing is not placed")
{
    const std::string checkedBytes = SignatureMaterial(L"unsigned.msi");
    const std::string otherBytes = SignatureMaterial(L"unsigned-1.0.0.msi");
    REQUIRE(!checkedBytes.empty());
    REQUIRE(checkedBytes != otherBytes);
    // 'changed': what the file holds when it is placed; 'verified': a digest was checked, which
    // a package that nothing anchored has none of. 'linked': a hard link to another file waits
    // at the chosen name, to be replaced, never written through.
    struct { std::string changed; bool bVerified; bool bLinked; bool bPlaced; } cases[] = {
        {checkedBytes, true, false, true},
        {otherBytes, true, false, false},
        {"not a package at all", true, false, false},
        {checkedBytes.substr(0, checkedBytes.size() / 2), true, false, false},
        {otherBytes, false, false, true},
        {checkedBytes, true, true, true},
    };
    for (auto& c : cases)
    {
        CAPTURE(c.changed.size());
        CAPTURE(c.bVerified);
        TempDir dir, elsewhere;
        std::wstring chosen = dir.File(L"vlm.tch.msi"), victim = elsewhere.File(L"victim");
        WriteFileBytes(victim, "somebody else's");
        if (c.bLinked)
            REQUIRE(CreateHardLinkW(chosen.c_str(), victim.c_str(), NULL));
        TraceCapture trace;
        StagedPackage staged;
        StageWritten(staged, chosen, checkedBytes);
        REQUIRE(HoldStaged(staged));
        BYTE rgbChecked[cbPackageDigest];
        REQUIRE(ComputePackageDigest(staged.szHeld, rgbChecked));
        // The hold ends where placing ends it; the file is rewritten in place, as itself.
        CloseFile(staged.hFile);
        if (c.changed != checkedBytes)
            WriteFileBytes(staged.szStaging, c.changed);

        CallbackParam param = {};
        CHECK(PlaceStaged(staged, param, chosen.c_str(), c.bVerified ? rgbChecked : NULL)
              == c.bPlaced);
        CHECK(ReadFileBytes(chosen) == (c.bPlaced ? c.changed : ""));
        CHECK(HasLine(trace, "changed after it was checked") == (c.bVerified && !c.bPlaced
                                                                  && c.changed == otherBytes));
        PackageHolds holds;
        InitHolds(holds);
        if (c.bPlaced)
            HandOverStaged(staged, holds);
        DiscardStaged(staged);
        ReleaseHolds(holds);
        CHECK(ReadFileBytes(victim) == "somebody else's");
        CHECK(dir.Files().size() == (c.bPlaced ? 1u : 0u));
    }
}

TEST_CASE("new files: two made within one clock tick get names of their own")
{
    // The first name tried comes from the clock: only a pair from one tick proves anything.
    for (bool bFirstOpen : {true, false})
    {
        CAPTURE(bFirstOpen);
        TempDir dir;
        bool bSameTick = false;
        for (int attempt = 0; attempt < 200 && !bSameTick; ++attempt)
        {
            wchar_t szFirst[MAX_PATH], szSecond[MAX_PATH];
            DWORD dwBefore = GetTickCount();
            FileHandle first(CreateNewFile(dir.Path().c_str(), L"vlm", szFirst));
            REQUIRE(first.IsOpen());
            DWORD cb = 0;
            REQUIRE(WriteFile(first.get(), "first", 5, &cb, NULL));
            if (!bFirstOpen)
                first.reset();
            FileHandle second(CreateNewFile(dir.Path().c_str(), L"vlm", szSecond));
            bSameTick = GetTickCount() == dwBefore;
            CHECK(second.IsOpen());
            CHECK(lstrcmpiW(szFirst, szSecond) != 0);
            first.reset();
            second.reset();
            CHECK(ReadFileBytes(szFirst) == "first");
            DeleteFileW(szFirst);
            DeleteFileW(szSecond);
        }
        CHECK(bSameTick);
    }
}
