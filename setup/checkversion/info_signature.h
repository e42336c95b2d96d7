// The build information's detached signature: fetched from the mirror that served the file,
// checked against the publisher's pins and the validity of string 2015. A mirror that keeps
// serving an old file would otherwise hide every later build for ever.
#pragma once

#include "update_check.h"
#include "../InetCopy/InetCopy.h"

enum SigningTime
{
    SIGNED_IN_TIME,
    SIGNED_IN_FUTURE,           // later than now beyond the clocks' allowed skew
    SIGNED_TOO_LONG_AGO,        // older than the validity
    VALIDITY_UNREADABLE,        // the validity is no number of days
};

// The signing-time rule: with a validity (decimal days; empty: no limit) the signature must not
// be older than it, nor from the future beyond a small skew. Without one, any time passes.
SigningTime CheckSigningTime(const FILETIME& ftSigned, const FILETIME& ftNow,
                             LPCWSTR pszValidityDays);

// True when the build information (cbInfo bytes) counts: its signature, the node of pszList at
// opened with ".p7s" appended, verifies, chains to a trusted root for code signing, was made
// within the validity and, with pins (string 2012), by a pinned key. Without pins a signature
// that is not there changes nothing, and one that is there must verify. Every refusal is
// traced with its reason.
bool IsBuildInformationSigned(HINTERNET hSession, CallbackParam& param, LPCWSTR pszList,
                              const ListSpan& opened, const BYTE* pbInfo, DWORD cbInfo);
