// How often a package download that broke off goes on, after how long, and from which mirror.
#pragma once

#include "update_check.h"

// A download that a server keeps cutting ends after so many resumes: the person waits for
// the local install meanwhile.
const int nResumesMax = 8;
const DWORD dwFirstBackoffMs = 500;
const DWORD dwLastBackoffMs = 4000;

struct ResumeCount
{
    int nCharged;           // resumes charged so far
    DWORD dwBackoffMs;      // the next wait
};

void InitResumeCount(ResumeCount& count);

// Charges a resume: one, or two after a break that gained no byte since the last one (a server
// that breaks at once would use the resumes up only half as fast). False, and nothing charged,
// when that would go past nResumesMax.
bool ChargeResume(ResumeCount& count, bool bGained);

// Waits the next back-off, and doubles it up to dwLastBackoffMs; false as soon as the check is
// cancelled.
bool WaitBackoff(ResumeCount& count, const CallbackParam& param);

// Drops the first node of the ';'-separated pszList that is pszUrl, and copies the first
// non-empty node that is left into pszUrl (cchUrlListMax + 1 characters); false when none is.
bool NextMirror(LPWSTR pszList, LPWSTR pszUrl);
