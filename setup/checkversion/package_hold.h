// A download on its way to the place the person chose: written under a name of the setup's own
// in the chosen folder, checked while it is held, and only then given the chosen name. A refused
// or broken download leaves nothing at the chosen name and every other file as it was.
#pragma once

#include "update_check.h"
#include "../setup_base/files.h"

struct StagedPackage
{
    HANDLE hFolder;             // the chosen folder, held against rename and replacement
    HANDLE hFile;               // the staging file: written, then held for the checks
    bool bWriting;              // hFile is the writer, with delete access
    bool bKeepsIds;             // the folder's file system keeps a file's ID through a rename
    bool bPlaced;               // the file has the chosen name, under szHeld
    FileIdentity written;       // the file that was written, to know it again
    WCHAR szStaging[MAX_PATH];
    WCHAR szHeld[MAX_PATH];     // the held file's path, every link resolved
};

void InitStaged(StagedPackage& staged);

// Holds the folder of pszChosen and creates a new staging file in it, open for writing, that is
// the setup's alone.
bool BeginStaging(LPCWSTR pszChosen, StagedPackage& staged);

// After the download: closes the writer and holds the same file for reading, under szHeld.
bool HoldStaged(StagedPackage& staged);

// After the checks: the staging file takes the chosen name and is held again. With pbChecked,
// its content must still have that digest: between the two holds nothing kept it unchanged.
// Where the file system may give a renamed file another ID, the content is what tells the file
// again: a digest is then taken first when none is given. A placed file that turns out changed
// is removed, one that can't be told for the download is left as it is.
// The digests are taken aside (package_check.h): a Cancel meanwhile leaves the file unplaced.
bool PlaceStaged(StagedPackage& staged, CallbackParam& param, LPCWSTR pszChosen,
                 const BYTE* pbChecked);

// Hands the holds of a placed package over; the staged record holds nothing afterwards.
void HandOverStaged(StagedPackage& staged, PackageHolds& holds);

// Closes what is held and removes the staging file, or the placed one that was not handed over,
// if it is still the download. Safe to call twice.
void DiscardStaged(StagedPackage& staged);
