// Copying the companion files, on real files in temporary directories.
#include <doctest.h>

#include "trace_capture.h"
#include "checkversion/extra_files.h"
#include "setup_base/files.h"
#include "setup_base/paths.h"

#include <algorithm>
#include <string>

TEST_CASE("companion files: each mask of the list is copied on its own")
{
    TempDir source;
    const wchar_t* sources[] = {L"a", L"b", L"m1.dat", L"m2.dat", L"m3.dat"};
    for (const wchar_t* name : sources)
        WriteFileBytes(source.File(name), std::string(name, name + lstrlenW(name)));
    // Directory, backslash and mask fill the 521-character path but for its terminator.
    std::wstring fits(520 - source.Path().size() - 1, L'x');
    // 'planted': the target already holds "old" files whose names begin so; the *.dat ones are
    // held open unshared, since Wine run as root writes through a read-only file. 'target': the
    // contents of the sources' names in the target afterwards.
    struct { std::wstring list; wchar_t planted; bool result; const char* target;
             const char* line; int count; } cases[] = {
        {L"a;;b", 0, true, "a|b||||", "no file(s) found", 0},
        {L";a", 0, true, "a|||||", "ASSERT", 0},
        {L"a;b;", 0, true, "a|b||||", "ASSERT", 0},    // a list may end with its separator
        {L"m2.dat", 0, true, "|||m2.dat||", "*** Copy files: m2.dat: file found: m2.dat *** ", 1},
        {L"*.dat", 0, true, "||m1.dat|m2.dat|m3.dat|", "successfully copied", 3},
        {L"x*;a", 0, true, "a|||||", "*** Copy files: x*: no file(s) found *** ", 1},
        // Whichever file the search finds first fails, and the rest of its mask is not tried.
        {L"*.dat;b", L'm', false, "|b|old|old|old|", "is failed to copy", 1},
        {L"a", L'a', true, "a|||||", "successfully copied", 1},
        {L"a;" + fits + L";" + fits + L"x;b", 0, false, "a|b||||", ": path too long ***", 1},
    };
    for (auto& c : cases)
    {
        CAPTURE(std::string(c.target));
        TempDir target;
        std::vector<HANDLE> locks;
        for (const wchar_t* name : sources)
            if (name[0] == c.planted)
            {
                WriteFileBytes(target.File(name), "old");
                if (name[0] == L'm')
                    locks.push_back(CreateFileW(target.File(name).c_str(), GENERIC_READ, 0, NULL,
                                                OPEN_EXISTING, 0, NULL));
            }
        TraceCapture trace;
        std::wstring list = c.list;
        CHECK(CopyListedFiles(source.Path().c_str(), target.Path().c_str(), &list[0]) == c.result);
        CHECK(list == c.list);
        std::vector<std::string> lines = trace.Lines();
        CHECK(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(c.line) != std::string::npos; }) == c.count);
        std::for_each(locks.begin(), locks.end(), CloseHandle);
        std::string contents;
        for (const wchar_t* name : sources)
            contents += ReadFileBytes(target.File(name)) + "|";
        CHECK(contents == c.target);
    }
}

TEST_CASE("companion files: only the setup's own directory, however it is written, needs no copy")
{
    wchar_t szExe[MAX_PATH];
    GetModuleFileNameW(NULL, szExe, MAX_PATH);
    std::wstring other = szExe, tooLong = L"C:\\" + std::wstring(258, L'd') + L"\\p.msi";
    CharUpperW(&other[0]);
    TempDir elsewhere;
    std::wstring package = elsewhere.File(L"p.msi");
    const char* same = "*** Copy extra files: nothing to copy (new location is the same as the "
                       "old one) ***";
    // Wine ignores letter case, so the other spelling is the same directory on disk. Elsewhere
    // none of the shipped list's four masks finds a file: all that shows is that each was tried.
    struct { const wchar_t* path; bool result; const char* first; size_t count; } cases[] = {
        {NULL, false, "*** ASSERT: newFileName != NULL (", 1},
        {szExe, true, same, 1},
        {other.c_str(), true, same, 1},
        {package.c_str(), true, "*** Copy files: setup.reg: no file(s) found *** ", 4},
        {tooLong.c_str(), false, "*** Copy extra files: new location too long ***", 1},
    };
    for (auto& c : cases)
    {
        TraceCapture trace;
        CHECK(CopyExtraFiles(c.path) == c.result);
        std::vector<std::string> lines = trace.Lines();
        REQUIRE(lines.size() == c.count);
        CHECK(lines[0].rfind(c.first, 0) == 0);
    }
}

TEST_CASE("companion files: a folder that can't be listed fails the copy, an empty one does not")
{
    TempDir source, target;
    struct { std::wstring folder; bool result; const char* line; } cases[] = {
        {source.Path(), true, "*** Copy files: *.cab: no file(s) found *** "},
        {source.File(L"missing"), false, "*** Copy files: *.cab: can't list (3) ***"},
    };
    for (auto& c : cases)
    {
        TraceCapture trace;
        CHECK(CopyFiles(c.folder.c_str(), target.Path().c_str(), L"*.cab") == c.result);
        CHECK(trace.Lines() == std::vector<std::string>{c.line});
    }
}

TEST_CASE("companion files: a path cut at its name keeps the directory, a drive's root its slash")
{
    const wchar_t* cases[][2] = {{L"C:\\dir\\file.msi", L"C:\\dir"}, {L"file.msi", L""},
                                 {L"C:\\", L"C:\\"}, {L"E:\\setup.exe", L"E:\\"},
                                 {L"\\\\srv\\share\\p.msi", L"\\\\srv\\share"}};
    for (auto& c : cases)
    {
        std::wstring path = c[0];
        CutFileName(&path[0]);
        CHECK(std::wstring(path.c_str()) == c[1]);
    }
}

TEST_CASE("companion files: a name in the setup's own folder that a mask of the list matches")
{
    wchar_t szExe[MAX_PATH];
    std::wstring exe(szExe, GetModuleFileNameW(NULL, szExe, MAX_PATH));
    std::wstring own = exe.substr(0, exe.rfind(L'\\') + 1);
    TempDir other;
    // The list is "setup.reg;install.cfg;*.cab;*.mst"; letter case does not count.
    struct { std::wstring path; bool bCompanion; } cases[] = {
        {own + L"Data1.cab", true}, {own + L"DATA1.CAB", true}, {own + L"SETUP.reg", true},
        {own + L"patch.mst", true}, {own + L".cab", true}, {own + L"vlm.tch.msi", false},
        {own + L"setup.reg.msi", false}, {own + L"cab", false},
        {other.File(L"Data1.cab"), false},
    };
    for (auto& c : cases)
    {
        CAPTURE(std::string(c.path.begin(), c.path.end()));
        CHECK(IsCompanionFile(c.path.c_str()) == c.bCompanion);
    }
}

TEST_CASE("IsSameFile: one file under any of its names, never two files or a missing one")
{
    TempDir dir;
    std::wstring file = dir.File(L"a long file name.data"), other = dir.File(L"other.data");
    WriteFileBytes(file, "same");
    WriteFileBytes(other, "same");
    std::wstring link = dir.File(L"link.data"), upper = file, missing = dir.File(L"missing");
    CharUpperW(&upper[0]);
    REQUIRE(CreateHardLinkW(link.c_str(), file.c_str(), NULL));
    wchar_t szShort[MAX_PATH];
    std::wstring shortName(szShort, GetShortPathNameW(file.c_str(), szShort, MAX_PATH));
    CHECK(shortName != file);    // else the short-name row proves nothing
    struct { std::wstring path1, path2; bool bSame; } cases[] = {
        {file, file, true}, {file, upper, true}, {file, link, true}, {shortName, file, true},
        {dir.Path(), dir.Path() + L"\\.", true},
        {file, other, false}, {file, dir.Path(), false}, {file, missing, false},
        {missing, missing, false},
    };
    for (auto& c : cases)
    {
        CAPTURE(std::string(c.path1.begin(), c.path1.end()));
        CAPTURE(std::string(c.path2.begin(), c.path2.end()));
        CHECK(IsSameFile(c.path1.c_str(), c.path2.c_str()) == c.bSame);
    }
}

TEST_CASE("companion files: a hard link at a target name is refused or replaced, never written "
          "through")
{
    // The linked file is one of somebody else's, or the source itself: written through, the
    // one would take the companion's bytes and the other could be cut short.
    for (bool bLinkedToSource : {false, true})
    {
        CAPTURE(bLinkedToSource);
        TempDir source, target, elsewhere;
        std::wstring companion = source.File(L"setup.reg"), placed = target.File(L"setup.reg");
        WriteFileBytes(companion, "REGEDIT4 companion");
        std::wstring victim = bLinkedToSource ? companion : elsewhere.File(L"victim.reg");
        const std::string victimBytes = bLinkedToSource ? "REGEDIT4 companion" : "other bytes";
        WriteFileBytes(victim, victimBytes);
        REQUIRE(CreateHardLinkW(placed.c_str(), victim.c_str(), NULL));
        TraceCapture trace;
        std::wstring list = L"setup.reg";

        bool bCopied = CopyListedFiles(source.Path().c_str(), target.Path().c_str(), &list[0]);
        CHECK(ReadFileBytes(victim) == victimBytes);
        if (bCopied)
        {
            CHECK_FALSE(IsSameFile(placed.c_str(), victim.c_str()));
            CHECK(ReadFileBytes(placed) == "REGEDIT4 companion");
        }
        else
            CHECK(IsSameFile(placed.c_str(), victim.c_str()));
        CHECK(target.Files().size() == 1u);
    }
}
