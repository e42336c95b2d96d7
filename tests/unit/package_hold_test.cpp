// Files the setup holds and hands on: which paths name them, on real files in temporary
// directories.
#include <doctest.h>

#include "trace_capture.h"
#include "setup_base/files.h"

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
